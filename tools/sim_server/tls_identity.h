// The certificate and private key the simulated station serves HTTPS with:
// made at start (self-signed for localhost and 127.0.0.1) or read from files.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

class tls_identity {
public:
    // A new P-256 key and a self-signed certificate with CN localhost and the
    // subject alternative names DNS:localhost and IP:127.0.0.1, valid from
    // now for a year. Nothing, and why in error, when OpenSSL fails.
    static std::optional<tls_identity> self_signed(std::string &error);
    // A PEM certificate and the PEM private key that belongs to it.
    static std::optional<tls_identity> from_files(const std::string &cert_file, const std::string &key_file,
                                                  std::string &error);

    // The SHA-256 digest of the certificate as "openssl x509 -fingerprint"
    // writes it: upper-case hex pairs joined by ":".
    std::string fingerprint_sha256() const;
    std::string certificate_pem() const;
    // Serves this identity over TLS 1.2 or later.
    bool set_up(SSL_CTX &context) const;

private:
    struct free_x509 {
        void operator()(X509 *cert) const { X509_free(cert); }
    };
    struct free_key {
        void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
    };

    std::unique_ptr<X509, free_x509> cert_;
    std::unique_ptr<EVP_PKEY, free_key> key_;
};
