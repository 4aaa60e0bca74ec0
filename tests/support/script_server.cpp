#include "script_server.h"

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX  // std::min and std::max, not the macros
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <netinet/in.h>
#  include <poll.h>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int tick_ms = 20;
constexpr int request_read_limit_ms = 60000;

using socket_type = script_server::socket_type;

// The few calls that differ between Windows Sockets and POSIX.
#if defined(_WIN32)
constexpr socket_type no_socket = INVALID_SOCKET;
constexpr int send_flags = 0;
using address_size = int;

void start_sockets()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
}
void stop_sockets() { WSACleanup(); }
void close_socket(socket_type s) { closesocket(s); }

// True when s can be read (or accepted from) within milliseconds.
bool readable(socket_type s, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit{0, milliseconds * 1000};
    return select(0, &set, nullptr, nullptr, &limit) > 0;
}
#else
constexpr socket_type no_socket = -1;
// A client that closes early must not kill the test with SIGPIPE.
constexpr int send_flags = MSG_NOSIGNAL;
using address_size = socklen_t;

void start_sockets() {}
void stop_sockets() {}
void close_socket(socket_type s) { ::close(s); }

bool readable(socket_type s, int milliseconds)
{
    pollfd entry{s, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
}
#endif

bool send_all(socket_type s, const char *data, size_t len)
{
    while (len > 0) {
        auto sent = ::send(s, data, static_cast<int>(len > INT_MAX ? INT_MAX : len), send_flags);
        if (sent <= 0) return false;
        data += sent;
        len -= static_cast<size_t>(sent);
    }
    return true;
}

size_t content_length(const std::string &head)
{
    std::string lower;
    for (char c : head) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoull(head.c_str() + at + 17, nullptr, 10);
}

}  // namespace

script_server::script_server()
{
    start_sockets();
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ == no_socket) {
        stop_sockets();
        throw std::runtime_error("socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 64) != 0) {
        close_socket(listener_);
        stop_sockets();
        throw std::runtime_error("bind/listen failed");
    }
    address_size len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

script_server::~script_server()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    close_socket(listener_);
    stop_sockets();
}

void script_server::push(step s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(s));
}

std::string script_server::json_response(const std::string &body, int status)
{
    return "HTTP/1.1 " + std::to_string(status) + " OK\r\nContent-Type: application/json\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void script_server::answer(std::string raw) { push({step::send_bytes, std::move(raw), ms(0)}); }
void script_server::answer_json(const std::string &body, int status) { answer(json_response(body, status)); }
void script_server::close_without_answer() { push({step::close_at_once, {}, ms(0)}); }
void script_server::stay_silent(ms how_long) { push({step::silence, {}, how_long}); }
void script_server::trickle(std::string raw, ms interval) { push({step::trickle, std::move(raw), interval}); }
void script_server::reset_after(std::string partial) { push({step::reset, std::move(partial), ms(0)}); }
void script_server::endless(std::string head) { push({step::endless, std::move(head), ms(0)}); }

void script_server::answer_after(ms delay, std::string raw) { push({step::late, std::move(raw), delay}); }
void script_server::answer_when_released(std::string raw) { push({step::held, std::move(raw), ms(0)}); }
void script_server::release() { released_ = true; }
void script_server::close_before_reading() { push({step::close_unread, {}, ms(0)}); }

void script_server::answer_always(std::string raw)
{
    std::lock_guard<std::mutex> lock(mutex_);
    has_default_ = true;
    default_ = {step::send_bytes, std::move(raw), ms(0)};
}

std::vector<std::string> script_server::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string script_server::last_request() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? std::string() : requests_.back();
}

size_t script_server::connection_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void script_server::clear_requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void script_server::pause(ms how_long) const
{
    auto until = std::chrono::steady_clock::now() + how_long;
    while (!stopping() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(ms(std::min<long long>(tick_ms, how_long.count())));
}

void script_server::serve()
{
    while (!stopping()) {
        if (!readable(listener_, tick_ms)) continue;
        socket_type client = ::accept(listener_, nullptr, nullptr);
        if (client == no_socket) continue;
        step s;
        bool scripted = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!script_.empty()) {
                s = std::move(script_.front());
                script_.pop_front();
                scripted = true;
            } else if (has_default_) {
                s = default_;
                scripted = true;
            }
        }
        if (!scripted) s.kind = step::close_at_once;
        std::string request = s.kind == step::close_unread ? std::string() : read_request(client);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(std::move(request));
        }
        handle(client, s);
    }
}

// Reads the head and as much body as Content-Length announces.
std::string script_server::read_request(socket_type client)
{
    std::string data;
    size_t wanted = std::string::npos;
    auto give_up = std::chrono::steady_clock::now() + ms(request_read_limit_ms);
    char buffer[65536];
    while (!stopping() && std::chrono::steady_clock::now() < give_up) {
        if (wanted == std::string::npos) {
            size_t head_end = data.find("\r\n\r\n");
            if (head_end != std::string::npos) wanted = head_end + 4 + content_length(data.substr(0, head_end + 2));
        }
        if (wanted != std::string::npos && data.size() >= wanted) break;
        if (!readable(client, tick_ms)) continue;
        auto got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        data.append(buffer, static_cast<size_t>(got));
    }
    return data;
}

void script_server::handle(socket_type client, const step &s)
{
    switch (s.kind) {
    case step::send_bytes:
        send_all(client, s.bytes.data(), s.bytes.size());
        break;
    case step::close_at_once:
        break;
    case step::close_unread: {
        ::shutdown(client, 1);  // SHUT_WR, SD_SEND: the peer sees the end at once
        char buffer[65536];
        for (size_t taken = 0; taken < (size_t{1} << 20) && readable(client, 1000);) {
            auto got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            taken += static_cast<size_t>(got);
        }
        break;
    }
    case step::late:
        pause(s.interval);
        send_all(client, s.bytes.data(), s.bytes.size());
        break;
    case step::held:
        while (!stopping() && !released_) std::this_thread::sleep_for(ms(tick_ms));
        send_all(client, s.bytes.data(), s.bytes.size());
        break;
    case step::silence:
        pause(s.interval);
        break;
    case step::trickle:
        for (char c : s.bytes) {
            if (stopping() || !send_all(client, &c, 1)) break;
            pause(s.interval);
        }
        break;
    case step::reset: {
        send_all(client, s.bytes.data(), s.bytes.size());
        linger hard{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
        break;
    }
    case step::endless: {
        if (!send_all(client, s.bytes.data(), s.bytes.size())) break;
        std::string filler(65536, 'x');
        while (!stopping() && send_all(client, filler.data(), filler.size())) {
        }
        break;
    }
    }
    close_socket(client);
}
