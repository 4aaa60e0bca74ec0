// A simulated Download Station on 127.0.0.1: the NAS's Web API for every
// request the library sends, with tasks that live on a simulated clock.
// Prints "listening on 127.0.0.1:PORT" as its first line and stops cleanly on
// SIGINT or SIGTERM.
#include "web_api.h"

#include <CLI/CLI.hpp>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <thread>

namespace {

constexpr size_t largest_request_body = size_t{32} << 20;

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

api_request to_api_request(const httplib::Request &req)
{
    api_request request;
    request.path = req.path;
    for (const auto &[name, value] : req.params) request.params.emplace_back(name, value);
    request.cookie_sid = cookie_sid(req.get_header_value("Cookie"));
    request.multipart = req.is_multipart_form_data();
    for (const auto &[name, part] : req.files) {
        if (name != "file") request.params.emplace_back(name, part.content);
        else if (!request.file) request.file = upload{part.filename, part.content};
    }
    return request;
}

const char *failure_body() { return R"({"success":false,"error":{"code":101}})"; }

void serve_station(httplib::Server &server, web_api &api)
{
    auto handle = [&api](const httplib::Request &req, httplib::Response &res) {
        if (req.path == "/sim/advance") {
            res.set_content(api.advance_clock(req.get_param_value("seconds")), "application/json");
            return;
        }
        res.set_content(api.answer(to_api_request(req)), "application/json");
    };
    server.Get(".*", handle);
    server.Post(".*", handle);
    // Whatever the HTTP layer itself refuses (bad request line, a body too
    // large, another HTTP method) still gets an envelope.
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        res.set_content(failure_body(), "application/json");
    });
    server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.status = 500;
        res.set_content(R"({"success":false,"error":{"code":100}})", "application/json");
    });
    server.set_payload_max_length(largest_request_body);
    // One request per connection, as the library makes them: a peer that
    // sends a bad request is not kept waiting for a second one.
    server.set_keep_alive_max_count(1);
}

void log_requests(httplib::Server &server)
{
    server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
        std::fprintf(stderr, "%s %s %s %s -> %.60s\n", req.method.c_str(), req.path.c_str(),
                     req.get_param_value("api").c_str(), req.get_param_value("method").c_str(),
                     res.body.c_str());
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

}  // namespace

int main(int argc, char **argv)
{
    const sigset_t stop_signals = block_stop_signals();
    station_options options;
    options.epoch_ms = static_cast<int64_t>(std::time(nullptr)) * 1000;
    int port = 0;
    int64_t epoch = -1;
    int64_t session_idle = 0;
    bool verbose = false;

    CLI::App app{"A simulated Synology Download Station on 127.0.0.1, for trying the library "
                 "without a NAS. GET /sim/advance?seconds=N moves its clock forward."};
    // A later option wins, so scripts can override their defaults.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--port", port, "Port to listen on; 0 takes a free one")->check(CLI::Range(0, 65535));
    app.add_option("--user", options.account, "The account that may log in")->capture_default_str();
    app.add_option("--password", options.password, "Its password")->capture_default_str();
    app.add_option("--speed", options.speed, "Simulated seconds per real second; 0 stops the clock")
        ->check(CLI::NonNegativeNumber)->capture_default_str();
    app.add_option("--seed", options.seed, "Seed of the sizes, speeds and failures")->capture_default_str();
    app.add_option("--error-rate", options.error_rate, "Chance that a new task fails part way")
        ->check(CLI::Range(0.0, 1.0))->capture_default_str();
    app.add_option("--epoch", epoch, "Simulated time at start, seconds since 1970 (default: now)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--session-idle", session_idle, "Seconds of simulated time after which an idle "
                   "session expires; 0 never")->check(CLI::NonNegativeNumber);
    app.add_flag("--verbose", verbose, "Log every request on stderr");
    CLI11_PARSE(app, argc, argv);
    if (epoch >= 0) options.epoch_ms = epoch * 1000;
    options.session_idle_ms = session_idle * 1000;

    // A client that goes away mid-answer must not end the station.
    std::signal(SIGPIPE, SIG_IGN);
    web_api api(options);
    httplib::Server server;
    serve_station(server, api);
    if (verbose) log_requests(server);
    const int bound = bind_loopback(server, port);
    if (bound < 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", bound);
    std::fflush(stdout);
    {
        stopper stop_on_signal(server, stop_signals);
        server.listen_after_bind();
    }
    return 0;
}
