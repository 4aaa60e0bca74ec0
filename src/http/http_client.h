// One HTTP/1.1 exchange over a fresh TCP connection, and percent-encoding.
// Knows nothing of the Web API above it.
#pragma once

#include <cstddef>
#include <string>

struct http_response {
    int status_code;   // number of the status line; 0 when the answer is not "HTTP/1."
    char *headers;     // the head without its boundary, NUL-terminated; may be null
    char *body;        // the body, chunked coding removed, NUL-terminated; may be null
    size_t body_len;   // authoritative: the body may hold NUL bytes
};

// The time-out of an exchange that names none (0 or below), in seconds.
constexpr int http_default_timeout_sec = 10;

// Common web servers refuse a request line (method, target, "HTTP/1.1" and
// CR LF) longer than this, and the station sits behind one.
constexpr size_t http_request_line_limit = 8192;
// The length of the request line http_request sends for method and a
// target of target_len bytes.
size_t http_request_line_length(const char *method, size_t target_len);

// Transport messages are written into a caller's buffer of this size.
constexpr size_t http_error_capacity = 256;

// Answers larger than this are refused: the largest real answer, a long task
// list, is a few MiB.
constexpr size_t http_answer_limit = size_t{64} << 20;

// How an exchange is secured; plain TCP unless tls is set.
struct http_security {
    bool tls = false;
    // false: encrypt without checking who answers (no chain, name or
    // fingerprint check). Ignored when fingerprint_sha256 is set.
    bool verify = true;
    // A PEM file of trusted certificates, in place of the system's store.
    std::string ca_file;
    // 64 lower-case hex digits: exactly the certificate with this SHA-256
    // fingerprint is trusted, without chain or name checks; any other is
    // refused.
    std::string fingerprint_sha256;
};

// What an exchange saw of the station's certificate. Filled as soon as the
// handshake has received it, so also when the certificate is then refused.
struct http_peer {
    // "AB:CD:...": 32 bytes as upper-case hex pairs joined by ":", as
    // browsers and openssl x509 -fingerprint show it; "" when none was seen.
    std::string fingerprint_sha256;
};

// Performs one exchange. Returns 0 when an answer arrived and was split
// (whatever its status number), -1 with a message in error otherwise.
// method and path default to "GET" and "/"; a time-out of 0 or below means
// 10 seconds. The connect time-out applies per address; sending and
// receiving together are bounded by twice the time-out.
int http_request(const char *method, const char *host, int port, const char *path,
                 const char *cookie, const char *content_type, const char *body,
                 size_t body_len, int timeout_sec, http_response *response, char *error,
                 size_t error_size);
// The same over the given security (null: plain). peer, when given, receives
// what the handshake saw of the certificate. Over TLS the handshake counts
// with sending and receiving toward twice the time-out; nothing is sent
// before the station's certificate is accepted.
int http_request(const char *method, const char *host, int port, const char *path,
                 const char *cookie, const char *content_type, const char *body,
                 size_t body_len, int timeout_sec, http_response *response, char *error,
                 size_t error_size, const http_security *security, http_peer *peer);

// Releases headers and body and zeroes the record; null and repeated calls are harmless.
void http_response_free(http_response *response);

// Splits a received answer into the record: head boundary, status number,
// chunked decoding. Returns 0, or -1 with a message. Pure: no I/O.
int http_parse_response(const char *data, size_t len, http_response *response, char *error,
                        size_t error_size);

// Removes chunked transfer coding from raw into out, which holds at least
// raw_len bytes. Returns the decoded length. A chunk cut short by the end of
// the data yields what arrived.
size_t http_decode_chunked(const char *raw, size_t raw_len, char *out);

// Percent-encodes text (null counts as empty) into a new heap text the caller
// frees with free(); null only when memory runs out. Unreserved bytes
// A-Z a-z 0-9 - . _ ~ pass; every other byte becomes %XX with upper-case digits.
char *http_url_encode(const char *text);

// Starts the platform's network layer: 0 when just started, 1 when already
// started, else the platform's error code.
int http_init(void);
// Stops it: 0 when it was not started, else the shut-down call's result.
int http_cleanup(void);

// Owns one response record for a scope.
struct scoped_response : http_response {
    scoped_response() : http_response{} {}
    ~scoped_response() { http_response_free(this); }
    scoped_response(const scoped_response &) = delete;
    scoped_response &operator=(const scoped_response &) = delete;
};
