// A simulated Download Station on 127.0.0.1: the NAS's Web API for every
// request the library sends, with tasks that live on a simulated clock.
// Prints "listening on 127.0.0.1:PORT" as its first line (with --https a
// second line with the certificate's SHA-256 fingerprint) and stops cleanly
// on SIGINT or SIGTERM.
#include "tls_identity.h"
#include "totp.h"
#include "web_api.h"

#include <CLI/CLI.hpp>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t largest_request_body = size_t{32} << 20;
// As the station's web server labels its answers.
constexpr const char *station_content_type = "application/json; charset=\"UTF-8\"";

// The id= of a Cookie header ("id=abc; did=xyz").
std::string cookie_sid(const std::string &cookie)
{
    size_t at = 0;
    while (at < cookie.size()) {
        while (at < cookie.size() && (cookie[at] == ' ' || cookie[at] == ';')) ++at;
        const size_t end = std::min(cookie.find(';', at), cookie.size());
        if (cookie.compare(at, 3, "id=") == 0) return cookie.substr(at + 3, end - at - 3);
        at = end;
    }
    return "";
}

// The path, the query's fields and the session cookie; a body is read apart.
api_request to_api_request(const httplib::Request &req)
{
    api_request request;
    request.path = req.path;
    for (const auto &[name, value] : req.params) request.params.emplace_back(name, value);
    request.cookie_sid = cookie_sid(req.get_header_value("Cookie"));
    return request;
}

// A posted body: a form's fields, or a multipart body's parts in their order
// (its plain fields count as fields too). False when the body could not be
// read whole (cut short, or larger than the station takes).
bool read_body(const httplib::Request &req, const httplib::ContentReader &read, api_request &request)
{
    if (req.is_multipart_form_data()) {
        request.multipart = true;
        const bool whole = read(
            [&](const httplib::MultipartFormData &part) {
                request.parts.push_back({part.name, part.filename, ""});
                return true;
            },
            [&](const char *data, size_t length) {
                if (!request.parts.empty()) request.parts.back().content.append(data, length);
                return true;
            });
        for (const form_part &part : request.parts) {
            if (part.file_name.empty()) request.params.emplace_back(part.name, part.content);
        }
        return whole;
    }
    std::string body;
    const bool whole = read([&](const char *data, size_t length) {
        body.append(data, length);
        return true;
    });
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0) return whole;
    httplib::Params form;
    httplib::detail::parse_query_text(body, form);
    for (const auto &[name, value] : form) request.params.emplace_back(name, value);
    return whole;
}

const char *unreadable_request() { return R"({"error":{"code":101},"success":false})"; }

// The station's web server sends its answers in chunks.
void send_station_answer(httplib::Response &res, std::string body)
{
    auto text = std::make_shared<const std::string>(std::move(body));
    res.set_chunked_content_provider(station_content_type, [text](size_t, httplib::DataSink &sink) {
        sink.write(text->data(), text->size());
        sink.done();
        return true;
    });
}

void log_answer(const httplib::Request &req, const std::string &answer)
{
    std::fprintf(stderr, "%s %s %s %s -> %.60s\n", req.method.c_str(), req.path.c_str(),
                 req.get_param_value("api").c_str(), req.get_param_value("method").c_str(), answer.c_str());
}

void serve_station(httplib::Server &server, web_api &api, bool verbose)
{
    auto answer = [&api, verbose](const httplib::Request &req, httplib::Response &res, const api_request &request) {
        std::string text = api.answer(request);
        if (verbose) log_answer(req, text);
        send_station_answer(res, std::move(text));
    };
    server.Get(".*", [&api, answer](const httplib::Request &req, httplib::Response &res) {
        // The control endpoints: plain answers of their own.
        if (req.path == "/sim/advance") {
            res.set_content(api.advance_clock(req.get_param_value("seconds")), "application/json");
            return;
        }
        if (req.path == "/sim/otp") {
            res.set_content(api.current_otp(), "application/json");
            return;
        }
        answer(req, res, to_api_request(req));
    });
    server.Post(".*", [answer](const httplib::Request &req, httplib::Response &res,
                               const httplib::ContentReader &read) {
        api_request request = to_api_request(req);
        if (read_body(req, read, request)) answer(req, res, request);
        else send_station_answer(res, unreadable_request());
    });
    // Whatever the HTTP layer itself refuses (bad request line, a body too
    // large, another HTTP method) still gets an envelope.
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (!res.has_header("Content-Type")) send_station_answer(res, unreadable_request());
    });
    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.status = 500;
        send_station_answer(res, R"({"error":{"code":100},"success":false})");
    });
    server.set_payload_max_length(largest_request_body);
    // One request per connection, as the library makes them: a peer that
    // sends a bad request is not kept waiting for a second one.
    server.set_keep_alive_max_count(1);
    // SO_REUSEADDR alone: a port another process listens on stays refused
    // (cpp-httplib's default would also set SO_REUSEPORT and share it).
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

// SIGINT and SIGTERM, blocked from the start in every thread, so that only
// the stopper takes them and one that comes early waits for it.
sigset_t block_stop_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Waits for a stop signal and stops the server; a signal that comes before
// the server runs is kept until it does.
class stopper {
public:
    stopper(httplib::Server &server, const sigset_t &signals) : server_(server), signals_(signals)
    {
        thread_ = std::thread([this] { wait(); });
    }

    // After the server has returned from listening for any reason.
    ~stopper()
    {
        server_done_ = true;
        if (!signalled_) pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

private:
    void wait()
    {
        int signal = 0;
        sigwait(&signals_, &signal);
        signalled_ = true;
        while (!server_done_) {
            if (server_.is_running()) server_.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    httplib::Server &server_;
    sigset_t signals_;
    std::atomic<bool> signalled_{false};
    std::atomic<bool> server_done_{false};
    std::thread thread_;
};

// The port bound, or -1.
int bind_loopback(httplib::Server &server, int port)
{
    if (port == 0) return server.bind_to_any_port("127.0.0.1");
    return server.bind_to_port("127.0.0.1", port) ? port : -1;
}

// Why 127.0.0.1:port cannot be listened on, as a bind of its own finds
// ("address already in use").
std::string why_not_listening(int port)
{
    int error = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
    } else {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
            error = errno;
        ::close(fd);
    }
    std::string reason = error != 0 ? std::strerror(error) : "refused";
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

// A folder as tasks name it: no leading or trailing "/".
std::string task_folder(std::string folder)
{
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    folder.erase(0, folder.find_first_not_of('/'));
    return folder;
}

struct https_options {
    bool enabled = false;
    std::string cert_file;
    std::string key_file;
    std::string write_cert_file;
};

// The identity to serve, its certificate written out when asked; nothing
// after saying why on stderr.
std::optional<tls_identity> prepare_identity(const https_options &https)
{
    std::string error;
    auto identity = https.cert_file.empty() ? tls_identity::self_signed(error)
                                            : tls_identity::from_files(https.cert_file, https.key_file, error);
    if (identity && !https.write_cert_file.empty()) {
        std::ofstream out(https.write_cert_file, std::ios::binary);
        out << identity->certificate_pem();
        if (!out.flush()) error = "cannot write the certificate to " + https.write_cert_file;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return std::nullopt;
    }
    return identity;
}

}  // namespace

int main(int argc, char **argv)
{
    const sigset_t stop_signals = block_stop_signals();
    station_options options;
    options.epoch_ms = static_cast<int64_t>(std::time(nullptr)) * 1000;
    int port = 0;
    int64_t epoch = -1;
    int64_t session_idle = 0;
    std::string version = "current";
    std::string otp_secret;
    https_options https;
    bool verbose = false;

    CLI::App app{"A simulated Synology Download Station on 127.0.0.1, for trying the library "
                 "without a NAS. GET /sim/advance?seconds=N moves its clock forward; GET /sim/otp "
                 "gives the second factor's code valid now."};
    // A later option wins, so scripts can override their defaults.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--port", port, "Port to listen on; 0 takes a free one")->check(CLI::Range(0, 65535));
    app.add_option("--station-version", version,
                   "current: Download Station 3.8.16 and later, which takes torrent files only through "
                   "SYNO.DownloadStation2.Task; legacy: earlier ones, which take them through "
                   "SYNO.DownloadStation.Task and know no SYNO.DownloadStation2")
        ->check(CLI::IsMember({"legacy", "current"}))->capture_default_str();
    app.add_option("--user", options.account, "The account that may log in")->capture_default_str();
    app.add_option("--password", options.password, "Its password")->capture_default_str();
    app.add_option("--otp-secret", otp_secret, "The account's 2-step verification secret (Base32): logins "
                   "then need the time-based code (RFC 6238, 6 digits every 30 s of simulated time) "
                   "unless they come from a device trusted at an earlier login")
        ->check(CLI::Validator([](std::string &text) { return base32_decoded(text) ? "" : "not Base32: " + text; },
                               "BASE32"));
    app.add_option("--default-destination", options.default_destination,
                   "The folder new tasks go to when they name none (as tasks name it, e.g. video/new); "
                   "\"\" for none: such tasks are then refused with 406")
        ->transform(CLI::Validator(
            [](std::string &folder) {
                folder = task_folder(folder);
                return folder.empty() || station().is_folder("/" + folder) ? "" : "no such folder: /" + folder;
            },
            "FOLDER"))
        ->capture_default_str();
    app.add_option("--speed", options.speed, "Simulated seconds per real second; 0 stops the clock")
        ->check(CLI::NonNegativeNumber)->capture_default_str();
    app.add_option("--seed", options.seed, "Seed of the sizes, speeds and failures")->capture_default_str();
    app.add_option("--error-rate", options.error_rate, "Chance that a new task fails part way")
        ->check(CLI::Range(0.0, 1.0))->capture_default_str();
    app.add_flag("--numbers-as-text", options.numbers_as_text, "Write task sizes, speeds and creation times "
                 "as JSON strings of digits, as the station's guide shows them");
    app.add_option("--epoch", epoch, "Simulated time at start, seconds since 1970 (default: now)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--session-idle", session_idle, "Seconds of simulated time after which an idle "
                   "session expires; 0 never")->check(CLI::NonNegativeNumber);
    auto *https_flag = app.add_flag("--https", https.enabled, "Serve HTTPS only (TLS 1.2 or later), with a "
                                    "self-signed certificate for localhost and 127.0.0.1 made at start "
                                    "unless --cert and --key are given; prints its SHA-256 fingerprint "
                                    "on the second line");
    auto *cert_option = app.add_option("--cert", https.cert_file, "PEM certificate to serve with --https")
                            ->check(CLI::ExistingFile)->needs(https_flag);
    auto *key_option = app.add_option("--key", https.key_file, "PEM private key of --cert")
                           ->check(CLI::ExistingFile)->needs(https_flag);
    cert_option->needs(key_option);
    key_option->needs(cert_option);
    app.add_option("--write-cert", https.write_cert_file, "Write the served certificate (PEM) to this file, "
                   "e.g. for a client to trust")->needs(https_flag);
    app.add_flag("--verbose", verbose, "Log every request on stderr");
    CLI11_PARSE(app, argc, argv);
    if (epoch >= 0) options.epoch_ms = epoch * 1000;
    options.session_idle_ms = session_idle * 1000;
    options.version = version == "legacy" ? station_version::legacy : station_version::current;
    if (!otp_secret.empty()) options.otp_key = base32_decoded(otp_secret);

    std::optional<tls_identity> identity;
    if (https.enabled && !(identity = prepare_identity(https))) return 1;
    std::unique_ptr<httplib::Server> server;
    if (identity) {
        server = std::make_unique<httplib::SSLServer>([&](SSL_CTX &context) { return identity->set_up(context); });
        if (!server->is_valid()) {
            std::fprintf(stderr, "cannot serve TLS with this certificate\n");
            return 1;
        }
    } else {
        server = std::make_unique<httplib::Server>();
    }

    // A client that goes away mid-answer must not end the station.
    std::signal(SIGPIPE, SIG_IGN);
    web_api api(options);
    serve_station(*server, api, verbose);
    const int bound = bind_loopback(*server, port);
    if (bound < 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d: %s\n", port, why_not_listening(port).c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", bound);
    if (identity) std::printf("certificate SHA-256 fingerprint %s\n", identity->fingerprint_sha256().c_str());
    std::fflush(stdout);
    {
        stopper stop_on_signal(*server, stop_signals);
        server->listen_after_bind();
    }
    return 0;
}
