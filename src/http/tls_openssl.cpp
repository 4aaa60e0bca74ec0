// TLS with OpenSSL. The socket is made non-blocking, so that every wait is a
// poll bounded by the exchange's deadline: a station that sends its
// handshake or its records a byte at a time cannot stretch one call. OpenSSL
// reaches the socket through a BIO of this file's own, which sends with
// MSG_NOSIGNAL: a station that closes early must not kill the host with
// SIGPIPE.
#include "tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tls {

class channel {
public:
    net::socket_t socket = net::invalid_socket;
    SSL *ssl = nullptr;
    findings found;
    std::string presented;  // the leaf's fingerprint, "AB:CD:..."
    unsigned char digest[sha256_size] = {};
    char first_bytes[5] = {};
    size_t first_len = 0;
    bool station_closed = false;

    channel() = default;
    ~channel()
    {
        SSL_free(ssl);
        // Nothing of this exchange stays in the calling thread's error queue,
        // where a host that uses OpenSSL itself would find it.
        ERR_clear_error();
    }
    channel(const channel &) = delete;
    channel &operator=(const channel &) = delete;
};

void close(channel *c) { delete c; }

namespace {

struct context_deleter {
    void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
};
using context_ptr = std::unique_ptr<SSL_CTX, context_deleter>;
struct bio_deleter {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct store_deleter {
    void operator()(X509_STORE *store) const { X509_STORE_free(store); }
};

enum class waited { ready, out_of_time, failed };

// Waits for what the last call asked for, until the deadline.
waited wait_for(const channel &c, int result, steady::time_point deadline)
{
    const int reason = SSL_get_error(c.ssl, result);
    if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) return waited::failed;
    const bool ready = net::wait_ready(c.socket, reason == SSL_ERROR_WANT_WRITE, remaining_ms(deadline));
    return ready ? waited::ready : waited::out_of_time;
}

void note_error(findings &found, int error)
{
    switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        found.self_signed = true;
        break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        found.unknown_issuer = true;
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        found.out_of_date = true;
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        found.name_mismatch = true;
        break;
    default:
        if (found.other.empty()) found.other = X509_verify_cert_error_string(error);
    }
}

// Called for each certificate and each problem. Takes the leaf's
// fingerprint as soon as it is there, notes every problem and lets the
// handshake go on: the certificate is judged once, afterwards, on all that
// was found, as on Windows.
int note_certificate(int ok, X509_STORE_CTX *store)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *c = static_cast<channel *>(SSL_get_app_data(ssl));
    X509 *leaf = X509_STORE_CTX_get0_cert(store);
    unsigned int size = sizeof c->digest;
    if (c->presented.empty() && leaf && X509_digest(leaf, EVP_sha256(), c->digest, &size) == 1)
        c->presented = colon_fingerprint(c->digest);
    if (!ok) note_error(c->found, X509_STORE_CTX_get_error(store));
    return 1;
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int write_to_station(BIO *bio, const char *data, size_t len, size_t *written)
{
    auto *c = static_cast<channel *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(c->socket, data, len, net::send_flags);
    if (sent >= 0) {
        *written = static_cast<size_t>(sent);
        return 1;
    }
    if (would_block(errno)) BIO_set_retry_write(bio);
    return 0;
}

// Also keeps the first bytes the station sent, to tell a plain HTTP answer
// from a broken handshake.
int read_from_station(BIO *bio, char *data, size_t len, size_t *got)
{
    auto *c = static_cast<channel *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(c->socket, data, len, 0);
    if (received > 0) {
        const size_t kept = std::min(static_cast<size_t>(received), sizeof c->first_bytes - c->first_len);
        std::memcpy(c->first_bytes + c->first_len, data, kept);
        c->first_len += kept;
        *got = static_cast<size_t>(received);
        return 1;
    }
    if (received == 0) c->station_closed = true;
    else if (would_block(errno)) BIO_set_retry_read(bio);
    return 0;
}

// OpenSSL asks whether the station has closed (so that a close without the
// closing alert ends the answer) and flushes; nothing else applies.
long control_station_bio(BIO *bio, int command, long, void *)
{
    if (command == BIO_CTRL_EOF) return static_cast<channel *>(BIO_get_data(bio))->station_closed ? 1 : 0;
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

// Made once, kept for the process's life.
const BIO_METHOD *station_bio_method()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "station socket");
        if (m && (BIO_meth_set_write_ex(m, write_to_station) != 1 ||
                  BIO_meth_set_read_ex(m, read_from_station) != 1 ||
                  BIO_meth_set_ctrl(m, control_station_bio) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

context_ptr new_context(X509_STORE *trusted)
{
    context_ptr context(SSL_CTX_new(TLS_client_method()));
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // Stations close without TLS's closing alert; the answer ends there.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (trusted) SSL_CTX_set_cert_store(context.get(), trusted);
    return context;
}

// Contexts shared by every exchange, made at first use and kept for the
// process's life: the system's store is read once, as reading it costs more
// than a handshake.
SSL_CTX *bare_context()
{
    static SSL_CTX *const context = new_context(nullptr).release();
    return context;
}

SSL_CTX *system_store_context()
{
    static SSL_CTX *const context = [] {
        context_ptr made = new_context(nullptr);
        if (made && SSL_CTX_set_default_verify_paths(made.get()) != 1) made.reset();
        return made.release();
    }();
    return context;
}

// A context that trusts the certificates of one PEM file and no others.
context_ptr context_trusting(const std::string &path)
{
    std::unique_ptr<BIO, bio_deleter> file(BIO_new_file(path.c_str(), "r"));
    if (!file) {
        ERR_clear_error();
        return nullptr;
    }
    std::unique_ptr<X509_STORE, store_deleter> store(X509_STORE_new());
    if (!store) return nullptr;
    int count = 0;
    while (X509 *certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store.get(), certificate) == 1) ++count;
        X509_free(certificate);
    }
    ERR_clear_error();  // the read that found no more certificates
    if (count == 0) return nullptr;
    context_ptr context = new_context(store.get());
    if (context) store.release();
    return context;
}

// Takes a reference to the context the exchange needs; null after writing why
// there is none.
context_ptr context_for(const http_security &security, const message &error)
{
    context_ptr context;
    if (trust_of(security) == trust::chain && !security.ca_file.empty()) {
        context = context_trusting(security.ca_file);
        if (!context) report_unreadable_ca_file(error, security.ca_file);
        return context;
    }
    SSL_CTX *shared = trust_of(security) == trust::chain ? system_store_context() : bare_context();
    if (shared && SSL_CTX_up_ref(shared) == 1) context.reset(shared);
    if (!context) report_handshake_failure(error, "TLS could not be set up");
    return context;
}

bool prepare(channel &c, SSL_CTX *context, const char *host, const http_security &security)
{
    c.ssl = SSL_new(context);
    const BIO_METHOD *method = station_bio_method();
    BIO *station = method ? BIO_new(method) : nullptr;
    if (!c.ssl || !station) {
        BIO_free(station);
        return false;
    }
    BIO_set_data(station, &c);
    BIO_set_init(station, 1);
    SSL_set_bio(c.ssl, station, station);
    SSL_set_app_data(c.ssl, &c);
    SSL_set_verify(c.ssl, SSL_VERIFY_PEER, note_certificate);
    const bool ip = is_ip_literal(host);
    if (!ip && SSL_set_tlsext_host_name(c.ssl, host) != 1) return false;
    if (trust_of(security) != trust::chain) return true;
    if (ip) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl), host) == 1;
    return SSL_set1_host(c.ssl, host) == 1;
}

// The short reason of a failed handshake.
std::string failure_reason(const channel &c, int result)
{
    const int reason = SSL_get_error(c.ssl, result);
    const unsigned long code = ERR_peek_last_error();
    if (reason == SSL_ERROR_SSL && code != 0) {
        if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return "the station closed the connection";
        if (const char *text = ERR_reason_error_string(code)) return text;
    }
    if (reason == SSL_ERROR_SYSCALL && errno != 0) return std::strerror(errno);
    return "the station closed the connection";
}

bool handshake(channel &c, bound limit, const message &error)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_connect(c.ssl);
        if (result == 1) return true;
        const waited outcome = wait_for(c, result, limit.deadline);
        if (outcome == waited::ready) continue;
        if (looks_like_http(c.first_bytes, c.first_len)) {
            report_plain_answer(error);
        } else if (outcome == waited::out_of_time) {
            report_handshake_time(error, limit.seconds);
        } else {
            report_handshake_failure(error, failure_reason(c, result).c_str());
        }
        return false;
    }
}

bool certificate_accepted(const channel &c, const char *host, const http_security &security,
                          const message &error)
{
    switch (trust_of(security)) {
    case trust::none:
        return true;
    case trust::fingerprint:
        if (c.presented.empty()) {
            report_handshake_failure(error, "the station presented no certificate");
            return false;
        }
        return fingerprint_accepted(c.digest, security.fingerprint_sha256, error);
    case trust::chain:
        break;
    }
    if (refused(c.found, host, error)) return false;
    if (SSL_get_verify_result(c.ssl) == X509_V_OK && !c.presented.empty()) return true;
    report_handshake_failure(error, "the certificate could not be checked");
    return false;
}

}  // namespace

channel_ptr open(net::socket_t s, const char *host, const http_security &security, bound limit,
                 http_peer *peer, const message &error)
{
    context_ptr context = context_for(security, error);
    if (!context) return nullptr;
    channel_ptr c(new channel);
    c->socket = s;
    if (!net::set_non_blocking(s, true) || !prepare(*c, context.get(), host, security)) {
        report_handshake_failure(error, "TLS could not be set up");
        return nullptr;
    }
    const bool done = handshake(*c, limit, error);
    if (peer) peer->fingerprint_sha256 = c->presented;
    if (!done || !certificate_accepted(*c, host, security, error)) return nullptr;
    return c;
}

bool send_all(channel &c, const char *data, size_t len, steady::time_point deadline)
{
    while (len > 0) {
        if (steady::now() >= deadline) return false;
        size_t sent = 0;
        ERR_clear_error();
        const int result = SSL_write_ex(c.ssl, data, len, &sent);
        if (result == 1) {
            data += sent;
            len -= sent;
        } else if (wait_for(c, result, deadline) != waited::ready) {
            return false;
        }
    }
    return true;
}

long receive(channel &c, char *buffer, size_t capacity, int wait_ms, steady::time_point deadline)
{
    for (;;) {
        size_t got = 0;
        ERR_clear_error();
        const int result = SSL_read_ex(c.ssl, buffer, capacity, &got);
        if (result == 1) return static_cast<long>(got);
        const int reason = SSL_get_error(c.ssl, result);
        if (reason == SSL_ERROR_ZERO_RETURN) return 0;
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) return receive_failed;
        const int wait = std::min(wait_ms, remaining_ms(deadline));
        if (net::wait_ready(c.socket, reason == SSL_ERROR_WANT_WRITE, wait)) continue;
        return remaining_ms(deadline) == 0 ? receive_out_of_time : receive_failed;
    }
}

}  // namespace tls
