#include "tls_loopback_server.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

struct tls_loopback_server::tls_state {
    struct context_deleter {
        void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
    };
    std::unique_ptr<SSL_CTX, context_deleter> context;
};

namespace {

struct key_deleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct certificate_deleter {
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
struct ssl_deleter {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};

// A self-signed certificate for the key, valid for a day.
std::unique_ptr<X509, certificate_deleter> self_signed(EVP_PKEY *key)
{
    std::unique_ptr<X509, certificate_deleter> certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("bench station"),
                               -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key, EVP_sha256()) == 0) throw std::runtime_error("X509_sign failed");
    return certificate;
}

std::string hex_fingerprint(X509 *certificate)
{
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(certificate, EVP_sha256(), digest, &size);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

tls_loopback_server::tls_loopback_server(std::string sign_in_answer, std::string answer)
    : sign_in_answer_(std::move(sign_in_answer)), answer_(std::move(answer)), tls_(new tls_state)
{
    std::unique_ptr<EVP_PKEY, key_deleter> key(EVP_RSA_gen(2048));
    if (!key) throw std::runtime_error("EVP_RSA_gen failed");
    auto certificate = self_signed(key.get());
    fingerprint_ = hex_fingerprint(certificate.get());
    tls_->context.reset(SSL_CTX_new(TLS_server_method()));
    if (!tls_->context || SSL_CTX_use_certificate(tls_->context.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(tls_->context.get(), key.get()) != 1)
        throw std::runtime_error("server context failed");

    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error("listen failed");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

tls_loopback_server::~tls_loopback_server()
{
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

void tls_loopback_server::serve()
{
    while (!stopping_) {
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        answer_one(client);
        ::close(client);
    }
}

void tls_loopback_server::answer_one(int client)
{
    std::unique_ptr<SSL, ssl_deleter> ssl(SSL_new(tls_->context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), client) != 1 || SSL_accept(ssl.get()) != 1) return;
    std::string request;
    char buffer[16384];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = SSL_read(ssl.get(), buffer, sizeof buffer);
        if (got <= 0) return;
        request.append(buffer, static_cast<size_t>(got));
    }
    const std::string &answer =
        request.find("api=SYNO.API.Auth") != std::string::npos ? sign_in_answer_ : answer_;
    size_t written = 0;
    if (SSL_write_ex(ssl.get(), answer.data(), answer.size(), &written) == 1) SSL_shutdown(ssl.get());
}
