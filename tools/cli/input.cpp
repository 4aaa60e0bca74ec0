#include "input.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// isspace in the C locale, which the library trims by.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trimmed(std::string_view line)
{
    while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    return line;
}

// How long a wait for input lasts before the interrupt flag is looked at.
constexpr int interrupt_poll_ms = 100;
constexpr size_t read_size = 65536;

}  // namespace

void catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    // No SA_RESTART: a read waiting for input returns. SA_RESETHAND: the
    // second Ctrl-C ends ds.
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

std::vector<std::string> split_urls(std::string_view text)
{
    std::vector<std::string> urls;
    while (!text.empty()) {
        size_t end = 0;
        while (end < text.size() && !is_line_end(text[end])) ++end;
        const std::string_view line = trimmed(text.substr(0, end));
        if (!line.empty()) urls.emplace_back(line);
        text.remove_prefix(end < text.size() ? end + 1 : end);
    }
    return urls;
}

url_source::url_source(const std::string &path) : path_(path)
{
    if (path == "-") {
        fd_ = STDIN_FILENO;
        path_ = "standard input";
        return;
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    owned_ = fd_ >= 0;
    struct stat file {};
    if (fd_ < 0) error_ = "cannot read " + path_ + ": " + std::strerror(errno);
    // Told before any URL is added, not at the first read.
    else if (::fstat(fd_, &file) == 0 && S_ISDIR(file.st_mode)) error_ = "cannot read " + path_ + ": " + std::strerror(EISDIR);
}

url_source::~url_source()
{
    if (owned_) ::close(fd_);
}

bool url_source::fill(result &why)
{
    for (;;) {
        if (interrupted()) {
            why = stopped;
            return false;
        }
        pollfd ready{fd_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, interrupt_poll_ms);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        char buffer[read_size];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.erase(0, consumed_);
            consumed_ = 0;
            pending_.append(buffer, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            error_ = "cannot read " + path_ + ": " + std::strerror(errno);
            why = failed;
            return false;
        }
        at_end_ = true;
        why = end;
        return false;
    }
}

url_source::result url_source::next(std::string &out)
{
    if (!error_.empty()) return failed;
    for (;;) {
        size_t line_end = consumed_;
        while (line_end < pending_.size() && !is_line_end(pending_[line_end])) ++line_end;
        // The last line needs no line end.
        if (line_end < pending_.size() || (at_end_ && consumed_ < pending_.size())) {
            out.assign(trimmed(std::string_view(pending_).substr(consumed_, line_end - consumed_)));
            consumed_ = line_end < pending_.size() ? line_end + 1 : line_end;
            if (!out.empty()) return url;
            continue;
        }
        if (at_end_) return end;
        result why = end;
        if (!fill(why)) {
            if (why == end) continue;
            return why;
        }
    }
}
