// TLS over an exchange's connected socket. One implementation per platform
// (tls_openssl.cpp, tls_schannel.cpp); what they check and the messages they
// give are written once (tls_common.cpp), so both refuse the same
// certificates with the same words.
#pragma once

#include "http_client.h"
#include "net_platform.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace tls {

using steady = std::chrono::steady_clock;

// The caller's message buffer (http_error_capacity bytes, or fewer).
struct message {
    char *text;
    size_t size;
    __attribute__((format(printf, 2, 3))) void set(const char *format, ...) const;
};

class channel;
void close(channel *c);
struct channel_closer {
    void operator()(channel *c) const { close(c); }
};
// Owns one TLS session; closing it sends nothing and leaves the socket open.
using channel_ptr = std::unique_ptr<channel, channel_closer>;

// The exchange's deadline, and the time-out figure its messages name.
struct bound {
    steady::time_point deadline;
    int seconds;
};

// Opens TLS over s, checks the station's certificate as security asks and
// returns the channel; null with a message when the handshake fails, is not
// done by the deadline, or the certificate is refused. peer, when given,
// receives the certificate's fingerprint as soon as it arrives, so also when
// it is then refused. Nothing of the request has been sent by then.
channel_ptr open(net::socket_t s, const char *host, const http_security &security, bound limit,
                 http_peer *peer, const message &error);

// Sends every byte, or false once the deadline has passed or the peer fails.
bool send_all(channel &c, const char *data, size_t len, steady::time_point deadline);

// Receives what arrives: the count of bytes (at most capacity), 0 at the end
// of the answer (the station's closing alert, or a close without one:
// stations close that way), receive_failed when the station was silent for
// wait_ms or the connection failed, receive_out_of_time when the deadline
// passed while a record was still arriving.
constexpr long receive_failed = -1;
constexpr long receive_out_of_time = -2;
long receive(channel &c, char *buffer, size_t capacity, int wait_ms, steady::time_point deadline);

// What both platforms share.

// Milliseconds left until the deadline; 0 once it has passed.
int remaining_ms(steady::time_point deadline);

// How a certificate is judged.
enum class trust {
    none,         // verify: false; nothing is checked
    fingerprint,  // exactly the certificate with the given SHA-256
    chain,        // a chain to a trusted root (the system's or the CA file's), and the name
};
trust trust_of(const http_security &security);

// What a chain check found. Reported in this order, the first that applies.
struct findings {
    bool self_signed = false;     // a lone self-signed certificate that no one trusts
    bool unknown_issuer = false;  // a chain that does not reach a trusted root
    bool out_of_date = false;     // expired or not yet valid
    bool name_mismatch = false;   // not issued for the host
    std::string other;            // anything else, in the platform's words
};
// Writes why the certificate is refused; false when nothing was found.
bool refused(const findings &found, const char *host, const message &error);

constexpr size_t sha256_size = 32;
// "AB:CD:...": upper-case hex pairs joined by ":".
std::string colon_fingerprint(const unsigned char (&digest)[sha256_size]);
// Whether the digest is the one given as 64 lower-case hex digits; writes the
// refusal when it is not.
bool fingerprint_accepted(const unsigned char (&digest)[sha256_size], const std::string &wanted,
                          const message &error);

// A numeric IPv4 or IPv6 address: sent no server name, checked against the
// certificate's IP address entries.
bool is_ip_literal(const char *host);
// Whether what the station sent first is a plain HTTP answer.
bool looks_like_http(const char *bytes, size_t len);

void report_plain_answer(const message &error);
void report_handshake_time(const message &error, int seconds);
void report_handshake_failure(const message &error, const char *reason);
void report_unreadable_ca_file(const message &error, const std::string &path);

}  // namespace tls
