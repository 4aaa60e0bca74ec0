// The few socket calls that differ between Windows Sockets and POSIX.
// Everything else in the HTTP client is written once against these.
#pragma once

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
#  include <cerrno>
#  include <fcntl.h>
#  include <netinet/in.h>
#  include <netinet/tcp.h>
#  include <netdb.h>
#  include <poll.h>
#  include <sys/select.h>
#  include <sys/socket.h>
#  include <sys/time.h>
#  include <unistd.h>
#endif

#include <utility>

namespace net {

#if defined(_WIN32)
using socket_t = SOCKET;
constexpr socket_t invalid_socket = INVALID_SOCKET;
// send() on Windows never raises a signal.
constexpr int send_flags = 0;

inline int startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}
inline int shutdown_layer() { return WSACleanup(); }
inline void close_socket(socket_t s) { closesocket(s); }
inline int last_error() { return WSAGetLastError(); }
inline bool connect_in_progress(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }
inline bool set_non_blocking(socket_t s, bool on)
{
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}
inline void set_io_timeouts(socket_t s, int milliseconds)
{
    DWORD value = static_cast<DWORD>(milliseconds);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&value), sizeof value);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&value), sizeof value);
}
inline void set_receive_timeout(socket_t s, int milliseconds)
{
    DWORD value = static_cast<DWORD>(milliseconds);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&value), sizeof value);
}
inline void set_no_delay(socket_t s)
{
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}
// Waits for a non-blocking connect: ready for writing, not in the exception set.
inline bool wait_connected(socket_t s, int milliseconds)
{
    fd_set write_set, except_set;
    FD_ZERO(&write_set);
    FD_ZERO(&except_set);
    FD_SET(s, &write_set);
    FD_SET(s, &except_set);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (select(0, nullptr, &write_set, &except_set, &limit) <= 0) return false;
    return FD_ISSET(s, &write_set) && !FD_ISSET(s, &except_set);
}
inline int pending_error(socket_t s)
{
    int value = 0;
    int size = sizeof value;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&value), &size) != 0) return -1;
    return value;
}
// Waits until s can be read (or written, for_writing) without blocking.
inline bool wait_ready(socket_t s, bool for_writing, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr, &limit) > 0;
}
inline bool interrupted(int) { return false; }
#else
using socket_t = int;
constexpr socket_t invalid_socket = -1;
// A peer that closes early must not kill the host with SIGPIPE.
constexpr int send_flags = MSG_NOSIGNAL;

inline int startup() { return 0; }
inline int shutdown_layer() { return 0; }
inline void close_socket(socket_t s) { ::close(s); }
inline int last_error() { return errno; }
inline bool connect_in_progress(int error) { return error == EINPROGRESS || error == EWOULDBLOCK; }
inline bool set_non_blocking(socket_t s, bool on)
{
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}
inline timeval to_timeval(int milliseconds)
{
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    return value;
}
inline void set_io_timeouts(socket_t s, int milliseconds)
{
    timeval value = to_timeval(milliseconds);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}
inline void set_receive_timeout(socket_t s, int milliseconds)
{
    timeval value = to_timeval(milliseconds);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}
inline void set_no_delay(socket_t s)
{
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
// Waits for a non-blocking connect. poll() rather than select(): a host with
// more than FD_SETSIZE descriptors open must not overflow an fd_set.
inline bool wait_connected(socket_t s, int milliseconds)
{
    pollfd entry{s, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & POLLOUT) != 0;
}
inline int pending_error(socket_t s)
{
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &size) != 0) return -1;
    return value;
}
// Waits until s can be read (or written, for_writing) without blocking; a
// peer that closed or failed counts as ready, for the next call to find out.
inline bool wait_ready(socket_t s, bool for_writing, int milliseconds)
{
    pollfd entry{s, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}
inline bool interrupted(int error) { return error == EINTR; }
#endif

// Owns one socket; closes it on every path.
class socket_handle {
public:
    explicit socket_handle(socket_t s = invalid_socket) : s_(s) {}
    ~socket_handle()
    {
        if (s_ != invalid_socket) close_socket(s_);
    }
    socket_handle(socket_handle &&other) noexcept : s_(std::exchange(other.s_, invalid_socket)) {}
    socket_handle &operator=(socket_handle &&other) noexcept
    {
        std::swap(s_, other.s_);
        return *this;
    }
    socket_handle(const socket_handle &) = delete;
    socket_handle &operator=(const socket_handle &) = delete;
    socket_t get() const { return s_; }
    bool valid() const { return s_ != invalid_socket; }

private:
    socket_t s_;
};

}  // namespace net
