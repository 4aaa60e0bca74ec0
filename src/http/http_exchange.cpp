// Resolve, connect with a time-out, secure the connection when asked, send,
// receive until the server closes. Socket calls are made here (through
// net_platform.h) and, over TLS, in the platform's TLS file.
#include "http_client.h"
#include "net_platform.h"
#include "tls.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t first_buffer_size = size_t{64} << 10;
// Each receive is offered all the free space; the buffer doubles before a
// receive that would have less than this much room.
constexpr size_t least_receive_room = size_t{16} << 10;

// The caller's message buffer.
using error_text = tls::message;

struct addrinfo_deleter {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using addr_list = std::unique_ptr<addrinfo, addrinfo_deleter>;

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using heap_bytes = std::unique_ptr<char, free_deleter>;

// Bytes that would end a request line or header early, or hide a second one.
bool has_control_byte(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p)
        if (*p < 0x20 || *p == 0x7F) return true;
    return false;
}

// The request line and headers must stay what they say: a value holding CR,
// LF or another control byte is refused, never sent. The path and the host
// also may not hold a space, which would end the request target.
const char *unsafe_head_field(const char *method, const char *host, const char *path,
                              const char *cookie, const char *content_type)
{
    if (has_control_byte(method) || std::strchr(method, ' ')) return "method";
    if (has_control_byte(host) || std::strchr(host, ' ')) return "host";
    if (has_control_byte(path) || std::strchr(path, ' ')) return "path";
    if (cookie && has_control_byte(cookie)) return "cookie";
    if (content_type && has_control_byte(content_type)) return "content type";
    return nullptr;
}

addr_list resolve(const char *host, int port, const error_text &error)
{
    char port_text[16];
    std::snprintf(port_text, sizeof port_text, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host, port_text, &hints, &list);
    addr_list owned(list);
    if (rc != 0 || !list) {
        error.set("DNS lookup failed for %s: %s", host, gai_strerror(rc));
        return nullptr;
    }
    return owned;
}

// Tries each address in turn, each with the full time-out.
net::socket_handle connect_with_timeout(const addrinfo *list, int timeout_sec)
{
    for (const addrinfo *a = list; a; a = a->ai_next) {
        net::socket_handle s(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!s.valid()) continue;
        if (!net::set_non_blocking(s.get(), true)) continue;
        if (connect(s.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return s;
        if (!net::connect_in_progress(net::last_error())) continue;
        if (net::wait_connected(s.get(), timeout_sec * 1000) && net::pending_error(s.get()) == 0)
            return s;
    }
    return net::socket_handle();
}

constexpr const char request_line_end[] = " HTTP/1.1\r\n";
// The client's name and protocol level as stations and their logs know it;
// it does not follow the library's release number.
constexpr const char user_agent_line[] = "User-Agent: brellock-synology-downloadstation/1.0\r\n";

std::string format_head(const char *method, const char *host, int port, const char *path,
                        const char *cookie, const char *content_type, size_t body_len)
{
    std::string head;
    head.reserve(256 + std::strlen(path) + (cookie ? std::strlen(cookie) : 0));
    head.append(method).append(" ").append(path).append(request_line_end);
    head.append("Host: ").append(host).append(":").append(std::to_string(port)).append("\r\n");
    head.append(user_agent_line);
    head.append("Connection: close\r\n");
    if (cookie) head.append("Cookie: ").append(cookie).append("\r\n");
    if (content_type) head.append("Content-Type: ").append(content_type).append("\r\n");
    if (body_len != 0) head.append("Content-Length: ").append(std::to_string(body_len)).append("\r\n");
    head.append("\r\n");
    return head;
}

int io_size(size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// The exchange's connection: the socket alone, or TLS over it.
class connection {
public:
    explicit connection(net::socket_handle s) : socket_(std::move(s)) {}

    bool secure(const char *host, const http_security &security, tls::bound limit, http_peer *peer,
                const error_text &error)
    {
        tls_ = tls::open(socket_.get(), host, security, limit, peer, error);
        return tls_ != nullptr;
    }

    // Sends every byte, repeating after partial sends; gives up at the deadline.
    bool send_all(const char *data, size_t len, steady::time_point deadline)
    {
        if (tls_) return tls::send_all(*tls_, data, len, deadline);
        while (len > 0) {
            auto sent = send(socket_.get(), data, io_size(len), net::send_flags);
            if (sent < 0 && net::interrupted(net::last_error()) && steady::now() < deadline) continue;
            if (sent <= 0 || steady::now() >= deadline) return false;
            data += sent;
            len -= static_cast<size_t>(sent);
        }
        return true;
    }

    // One receive: the count of bytes, 0 at the end, tls::receive_failed
    // when it failed or the station was silent for wait_ms (only the last
    // stretch shortens the socket's own time-out), tls::receive_out_of_time
    // when a TLS record still arriving met the deadline. An interrupted
    // receive is made again.
    long receive(char *buffer, size_t capacity, int wait_ms, bool last_stretch, steady::time_point deadline)
    {
        if (tls_) return tls::receive(*tls_, buffer, capacity, wait_ms, deadline);
        if (last_stretch) net::set_receive_timeout(socket_.get(), wait_ms);
        for (;;) {
            auto got = recv(socket_.get(), buffer, io_size(capacity), 0);
            if (got < 0 && net::interrupted(net::last_error())) continue;
            return got < 0 ? tls::receive_failed : static_cast<long>(got);
        }
    }

    void close()
    {
        tls_.reset();
        socket_ = net::socket_handle();
    }

private:
    // Declared first, so the TLS session goes before its socket.
    net::socket_handle socket_;
    tls::channel_ptr tls_;
};

struct received {
    heap_bytes data;
    size_t len = 0;
};

// Reads until the server closes, a receive fails or times out (what arrived
// is kept), the deadline passes or the answer outgrows http_answer_limit
// (both fail). Content-Length is ignored on purpose: the answer ends when
// the server closes the connection.
bool receive_all(connection &c, int timeout_ms, steady::time_point deadline, received &out,
                 const error_text &error)
{
    size_t capacity = first_buffer_size;
    out.data.reset(static_cast<char *>(std::malloc(capacity)));
    if (!out.data) {
        error.set("Out of memory allocating response buffer");
        return false;
    }
    bool out_of_time = false;
    for (;;) {
        if (capacity - out.len - 1 < least_receive_room) {
            // Never much beyond the limit: an endless answer costs about the limit, no more.
            size_t wanted = std::min(capacity * 2, http_answer_limit + 2 * least_receive_room);
            char *grown = static_cast<char *>(std::realloc(out.data.get(), wanted));
            if (!grown) {
                error.set("Out of memory expanding response buffer");
                return false;
            }
            out.data.release();
            out.data.reset(grown);
            capacity = wanted;
        }
        const int left = tls::remaining_ms(deadline);
        // The last stretch waits only for what is left of the bound, and a
        // receive that times out there has reached it.
        const bool last_stretch = left < timeout_ms;
        if (left == 0) {
            out_of_time = true;
            break;
        }
        const long got = c.receive(out.data.get() + out.len, capacity - out.len - 1,
                                   last_stretch ? left : timeout_ms, last_stretch, deadline);
        if (got == tls::receive_out_of_time || (got < 0 && last_stretch)) out_of_time = true;
        if (got <= 0) break;
        out.len += static_cast<size_t>(got);
        if (out.len > http_answer_limit) {
            error.set("Response too large (over %d MiB)", static_cast<int>(http_answer_limit >> 20));
            return false;
        }
    }
    if (out_of_time) {
        error.set("Response not complete within %d seconds", 2 * (timeout_ms / 1000));
        return false;
    }
    out.data.get()[out.len] = '\0';
    return true;
}

}  // namespace

size_t http_request_line_length(const char *method, size_t target_len)
{
    return std::strlen(method) + 1 + target_len + sizeof request_line_end - 1;
}

int http_request(const char *method, const char *host, int port, const char *path,
                 const char *cookie, const char *content_type, const char *body,
                 size_t body_len, int timeout_sec, http_response *response, char *error,
                 size_t error_size)
{
    return http_request(method, host, port, path, cookie, content_type, body, body_len, timeout_sec,
                        response, error, error_size, nullptr, nullptr);
}

int http_request(const char *method, const char *host, int port, const char *path,
                 const char *cookie, const char *content_type, const char *body,
                 size_t body_len, int timeout_sec, http_response *response, char *error,
                 size_t error_size, const http_security *security, http_peer *peer)
{
    if (peer) peer->fingerprint_sha256.clear();
    http_init();
    *response = http_response{};
    const error_text err{error, error_size};
    if (error && error_size > 0) error[0] = '\0';
    if (!host || port < 1) {
        err.set("Invalid host or port");
        return -1;
    }
    if (!method) method = "GET";
    if (!path) path = "/";
    if (const char *field = unsafe_head_field(method, host, path, cookie, content_type)) {
        err.set("Invalid character in request %s", field);
        return -1;
    }
    if (timeout_sec <= 0) timeout_sec = http_default_timeout_sec;

    addr_list addresses = resolve(host, port, err);
    if (!addresses) return -1;
    net::socket_handle s = connect_with_timeout(addresses.get(), timeout_sec);
    if (!s.valid()) {
        err.set("Failed to connect to %s:%d", host, port);
        return -1;
    }
    addresses.reset();
    net::set_non_blocking(s.get(), false);
    net::set_no_delay(s.get());
    const int timeout_ms = timeout_sec * 1000;
    net::set_io_timeouts(s.get(), timeout_ms);
    // However the server behaves, the handshake, sending and receiving end
    // within twice the time-out, so a call never takes much more than three
    // time-outs.
    const auto deadline = steady::now() + std::chrono::milliseconds(2LL * timeout_ms);
    connection c(std::move(s));
    if (security && security->tls && !c.secure(host, *security, {deadline, 2 * timeout_sec}, peer, err))
        return -1;

    const std::string head = format_head(method, host, port, path, cookie, content_type, body_len);
    if (!c.send_all(head.data(), head.size(), deadline)) {
        err.set("Failed to send request headers");
        return -1;
    }
    if (body && body_len != 0 && !c.send_all(body, body_len, deadline)) {
        err.set("Failed to send request body");
        return -1;
    }
    received answer;
    if (!receive_all(c, timeout_ms, deadline, answer, err)) return -1;
    c.close();
    return http_parse_response(answer.data.get(), answer.len, response, error, error_size);
}
