#include "sim_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using steady = std::chrono::steady_clock;

constexpr auto start_limit = std::chrono::seconds(30);
constexpr auto stop_limit = std::chrono::seconds(30);

struct pipe_pair {
    int read = -1;
    int write = -1;
    pipe_pair()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
};

std::string name_of(const std::string &entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> changed_environment(const std::vector<std::string> &changes)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string &change : changes) replaced = replaced || name_of(change) == name_of(entry);
        if (!replaced) env.push_back(entry);
    }
    for (const std::string &change : changes) {
        if (change.find('=') != std::string::npos) env.push_back(change);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> list;
    for (std::string &t : texts) list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

void close_fd(int &fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Appends what fd holds now; closes it at its end.
void drain(int &fd, std::string &into)
{
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) into.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN)) close_fd(fd);
}

int exit_status(int wait_status)
{
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

int socket_to(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The body of a chunked answer; what it holds up to where the coding breaks.
std::string unchunked(const std::string &coded)
{
    std::string body;
    size_t at = 0;
    for (;;) {
        const size_t line_end = coded.find("\r\n", at);
        if (line_end == std::string::npos) return body;
        const size_t size = std::strtoul(coded.c_str() + at, nullptr, 16);
        at = line_end + 2;
        if (size == 0 || at + size > coded.size()) return body;
        body.append(coded, at, size);
        at += size + 2;
    }
}

http_answer split_answer(const std::string &raw)
{
    http_answer answer;
    answer.raw = raw;
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return answer;
    answer.status = std::atoi(raw.c_str() + 9);
    answer.body = raw.substr(head_end + 4);
    const std::string head = raw.substr(0, head_end);
    const size_t type = head.find("\r\nContent-Type: ");
    if (type != std::string::npos) {
        const size_t start = type + 16;
        answer.content_type = head.substr(start, head.find("\r\n", start) - start);
    }
    if ((head + "\r\n").find("\r\nTransfer-Encoding: chunked\r\n") != std::string::npos)
        answer.body = unchunked(answer.body);
    return answer;
}

void send_all(int fd, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
}

std::string fingerprint_of(X509 *cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "";
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

struct ssl_owner {
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    SSL *ssl = nullptr;
    ~ssl_owner()
    {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
};

// The client's context as the options ask; false when OpenSSL refuses them.
bool set_up_client(SSL_CTX *context, const tls_client_options &options)
{
    if (options.max_version != 0 && SSL_CTX_set_max_proto_version(context, options.max_version) != 1) return false;
    if (options.max_version != 0 && options.max_version < TLS1_2_VERSION) {
        // The system's settings would keep the client from offering them at all.
        SSL_CTX_set_security_level(context, 0);
        if (SSL_CTX_set_min_proto_version(context, TLS1_VERSION) != 1) return false;
    }
    if (options.ca_file.empty()) return true;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context, options.ca_file.c_str(), nullptr) != 1) return false;
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(context);
    // Names count only as subject alternative names, as browsers take them.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (!options.host_name.empty() && X509_VERIFY_PARAM_set1_host(param, options.host_name.c_str(), 0) != 1)
        return false;
    return options.ip_address.empty() || X509_VERIFY_PARAM_set1_ip_asc(param, options.ip_address.c_str()) == 1;
}

}  // namespace

child_process::child_process(const std::string &path, const std::vector<std::string> &args,
                             const std::vector<std::string> &env_changes, bool capture_stderr)
{
    pipe_pair in, out, err;
    if (in.read < 0 || out.read < 0 || (capture_stderr && err.read < 0)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    if (capture_stderr) posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
    std::vector<std::string> argv_texts = {path};
    argv_texts.insert(argv_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = changed_environment(env_changes);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, pointers(argv_texts).data(),
                    pointers(env_texts).data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in.read);
    ::close(out.write);
    if (err.write >= 0) ::close(err.write);
    in_ = in.write;
    out_fd_ = out.read;
    err_fd_ = capture_stderr ? err.read : -1;
    if (!capture_stderr && err.read >= 0) ::close(err.read);
}

child_process::~child_process()
{
    if (pid_ > 0) finish(SIGKILL, std::chrono::milliseconds(stop_limit));
    close_fd(in_);
    close_fd(out_fd_);
    close_fd(err_fd_);
}

void child_process::send_input(const std::string &text)
{
    // A program that exits without reading must not end the test by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    size_t sent = 0;
    while (in_ >= 0 && sent < text.size()) {
        const ssize_t n = ::write(in_, text.data() + sent, text.size() - sent);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) sent += static_cast<size_t>(n);
    }
    close_fd(in_);
}

void child_process::pump(int wait_ms)
{
    pollfd fds[2];
    nfds_t count = 0;
    if (out_fd_ >= 0) fds[count++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[count++] = {err_fd_, POLLIN, 0};
    if (count == 0 || ::poll(fds, count, wait_ms) <= 0) return;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == out_fd_) drain(out_fd_, out_);
        else drain(err_fd_, err_);
    }
}

bool child_process::wait_for_lines(size_t count, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    while (static_cast<size_t>(std::count(out_.begin(), out_.end(), '\n')) < count) {
        if (out_fd_ < 0 || steady::now() >= deadline) return false;
        pump(50);
    }
    return true;
}

bool child_process::wait_for_output(const std::string &text, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    while (out_.find(text) == std::string::npos) {
        if (out_fd_ < 0 || steady::now() >= deadline) return false;
        pump(50);
    }
    return true;
}

int child_process::finish(int signal, std::chrono::milliseconds limit)
{
    if (pid_ <= 0) return -1;
    close_fd(in_);
    if (signal != 0) ::kill(pid_, signal);
    const auto deadline = steady::now() + limit;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && steady::now() < deadline) pump(50);
    int wait_status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(pid_, &wait_status, WNOHANG)) == 0 && steady::now() < deadline)
        ::usleep(10000);
    int status = reaped == pid_ ? exit_status(wait_status) : -1;
    if (reaped == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &wait_status, 0);
    }
    pid_ = -1;
    return status;
}

program_result run_program(const std::string &path, const std::vector<std::string> &args,
                           const std::vector<std::string> &env_changes, const std::string &input)
{
    child_process program(path, args, env_changes, true);
    program.send_input(input);
    program_result result;
    result.status = program.finish(0, std::chrono::milliseconds(std::chrono::seconds(60)));
    result.out = program.out();
    result.err = program.err();
    return result;
}

namespace {

// The terminal's side that a program gets; -1 when none could be made.
int open_terminal(std::string &name)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || !::ptsname(master)) {
        ::close(master);
        return -1;
    }
    name = ::ptsname(master);
    return master;
}

std::string without_carriage_returns(std::string text)
{
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

}  // namespace

program_result run_on_terminal(const std::string &path, const std::vector<std::string> &args,
                               const std::vector<std::string> &env_changes,
                               const std::vector<std::pair<std::string, std::string>> &dialogue)
{
    program_result result;
    std::string terminal;
    int master = open_terminal(terminal);
    if (master < 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<std::string> argv_texts = {path};
    argv_texts.insert(argv_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = changed_environment(env_changes);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, pointers(argv_texts).data(),
                                    pointers(env_texts).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        ::close(master);
        return result;
    }
    // Once the program has ended and the terminal's last user is gone, reading
    // it fails (EIO): that is its end.
    const auto deadline = steady::now() + std::chrono::seconds(60);
    size_t step = 0;
    std::string shown;
    while (master >= 0 && steady::now() < deadline) {
        if (step < dialogue.size() && shown.find(dialogue[step].first) != std::string::npos) {
            const std::string &typed = dialogue[step++].second;
            if (::write(master, typed.data(), typed.size()) < 0) break;
            continue;
        }
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        drain(master, shown);
    }
    close_fd(master);
    int wait_status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(pid, &wait_status, WNOHANG)) == 0 && steady::now() < deadline) ::usleep(10000);
    result.status = reaped == pid ? exit_status(wait_status) : -1;
    if (reaped == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &wait_status, 0);
    }
    result.out = without_carriage_returns(shown);
    return result;
}

sim_process::sim_process(std::vector<std::string> options)
    : process_(SIM_SERVER_PATH, [&] {
          options.insert(options.begin(), {"--port", "0"});
          return options;
      }(), {}, false),
      https_(std::find(options.begin(), options.end(), "--https") != options.end())
{
    const std::string prefix = "listening on 127.0.0.1:";
    if (!process_.wait_for_output("\n", std::chrono::milliseconds(start_limit))) return;
    if (process_.out().compare(0, prefix.size(), prefix) == 0) port_ = std::atoi(process_.out().c_str() + prefix.size());
    if (!https_) return;
    const std::string second = "certificate SHA-256 fingerprint ";
    if (!process_.wait_for_lines(2, std::chrono::milliseconds(start_limit))) return;
    const size_t start = process_.out().find('\n') + 1;
    if (process_.out().compare(start, second.size(), second) == 0)
        fingerprint_ = process_.out().substr(start + second.size(), process_.out().find('\n', start) - start - second.size());
}

int sim_process::stop(int signal)
{
    if (!stopped_) exit_status_ = process_.finish(signal, std::chrono::milliseconds(stop_limit));
    stopped_ = true;
    return exit_status_;
}

http_answer http_exchange(int port, const std::string &request)
{
    const int fd = socket_to(port);
    if (fd < 0) return {};
    send_all(fd, request);
    std::string raw;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) raw.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return split_answer(raw);
}

tls_exchange_result tls_exchange(int port, const std::string &request, const tls_client_options &options)
{
    tls_exchange_result result;
    ssl_owner owner;
    if (!owner.context || !set_up_client(owner.context, options)) return result;
    const int fd = socket_to(port);
    if (fd < 0) return result;
    owner.ssl = SSL_new(owner.context);
    if (owner.ssl && SSL_set_fd(owner.ssl, fd) == 1 &&
        (options.host_name.empty() || SSL_set_tlsext_host_name(owner.ssl, options.host_name.c_str()) == 1) &&
        SSL_connect(owner.ssl) == 1) {
        result.handshake = true;
        result.protocol = SSL_get_version(owner.ssl);
        X509 *peer = SSL_get1_peer_certificate(owner.ssl);
        result.fingerprint = fingerprint_of(peer);
        X509_free(peer);
        size_t sent = 0;
        while (sent < request.size()) {
            const int n = SSL_write(owner.ssl, request.data() + sent, static_cast<int>(request.size() - sent));
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        std::string raw;
        char buffer[4096];
        int n = 0;
        while ((n = SSL_read(owner.ssl, buffer, sizeof buffer)) > 0) raw.append(buffer, static_cast<size_t>(n));
        result.answer = split_answer(raw);
    }
    ERR_clear_error();
    ::close(fd);
    return result;
}

http_answer sim_process::exchange(const std::string &request) const
{
    return https_ ? tls_exchange(port_, request).answer : http_exchange(port_, request);
}

http_answer sim_process::get(const std::string &target) const
{
    return exchange("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

http_answer sim_process::post(const std::string &target, const std::string &content_type, const std::string &body,
                              const std::string &extra_headers) const
{
    return exchange("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                    "Content-Type: " + content_type + "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n" + extra_headers + "\r\n" + body);
}

bool sim_process::advance(int seconds) const
{
    return get("/sim/advance?seconds=" + std::to_string(seconds)).body.compare(0, 15, R"({"success":true)") == 0;
}
