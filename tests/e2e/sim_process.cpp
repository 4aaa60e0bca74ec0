#include "sim_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
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

http_answer split_answer(const std::string &raw)
{
    http_answer answer;
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
    return answer;
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
      }(), {}, false)
{
    const std::string prefix = "listening on 127.0.0.1:";
    if (!process_.wait_for_output("\n", std::chrono::milliseconds(start_limit))) return;
    if (process_.out().compare(0, prefix.size(), prefix) == 0) port_ = std::atoi(process_.out().c_str() + prefix.size());
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
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) raw.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return split_answer(raw);
}

http_answer sim_process::get(const std::string &target) const
{
    return http_exchange(port_, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

http_answer sim_process::post(const std::string &target, const std::string &content_type, const std::string &body,
                              const std::string &extra_headers) const
{
    return http_exchange(port_, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                    "Content-Type: " + content_type + "\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n" + extra_headers + "\r\n" + body);
}

bool sim_process::advance(int seconds) const
{
    return get("/sim/advance?seconds=" + std::to_string(seconds)).body.compare(0, 15, R"({"success":true)") == 0;
}
