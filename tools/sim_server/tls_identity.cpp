#include "tls_identity.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace {

constexpr long valid_seconds = 365L * 24 * 3600;

struct close_file {
    void operator()(FILE *file) const { std::fclose(file); }
};
struct free_bio {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct free_bignum {
    void operator()(BIGNUM *number) const { BN_free(number); }
};

// OpenSSL's own reason for its latest failure, when it has one.
std::string openssl_reason(const char *what)
{
    char reason[256] = "";
    if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    return *reason ? std::string(what) + ": " + reason : std::string(what);
}

bool add_extension(X509 *cert, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A random positive 64-bit serial number, as RFC 5280 asks for.
bool set_random_serial(X509 *cert)
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7F;
    std::unique_ptr<BIGNUM, free_bignum> serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool fill_certificate(X509 *cert, EVP_PKEY *key)
{
    X509_NAME *name = X509_get_subject_name(cert);
    return X509_set_version(cert, 2) == 1 && set_random_serial(cert) &&
           X509_gmtime_adj(X509_getm_notBefore(cert), 0) && X509_gmtime_adj(X509_getm_notAfter(cert), valid_seconds) &&
           X509_set_pubkey(cert, key) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"),
                                      -1, -1, 0) == 1 &&
           X509_set_issuer_name(cert, name) == 1 &&
           add_extension(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") &&
           add_extension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
           add_extension(cert, NID_ext_key_usage, "serverAuth") &&
           X509_sign(cert, key, EVP_sha256()) > 0;
}

}  // namespace

std::optional<tls_identity> tls_identity::self_signed(std::string &error)
{
    tls_identity identity;
    identity.key_.reset(EVP_EC_gen("P-256"));
    identity.cert_.reset(X509_new());
    if (!identity.key_ || !identity.cert_ || !fill_certificate(identity.cert_.get(), identity.key_.get())) {
        error = openssl_reason("cannot make a certificate");
        return std::nullopt;
    }
    return identity;
}

std::optional<tls_identity> tls_identity::from_files(const std::string &cert_file, const std::string &key_file,
                                                     std::string &error)
{
    tls_identity identity;
    std::unique_ptr<FILE, close_file> cert_in(std::fopen(cert_file.c_str(), "rb"));
    if (cert_in) identity.cert_.reset(PEM_read_X509(cert_in.get(), nullptr, nullptr, nullptr));
    if (!identity.cert_) {
        error = openssl_reason(("cannot read a PEM certificate from " + cert_file).c_str());
        return std::nullopt;
    }
    std::unique_ptr<FILE, close_file> key_in(std::fopen(key_file.c_str(), "rb"));
    if (key_in) identity.key_.reset(PEM_read_PrivateKey(key_in.get(), nullptr, nullptr, nullptr));
    if (!identity.key_) {
        error = openssl_reason(("cannot read a PEM private key from " + key_file).c_str());
        return std::nullopt;
    }
    if (X509_check_private_key(identity.cert_.get(), identity.key_.get()) != 1) {
        ERR_clear_error();
        error = "the key in " + key_file + " does not belong to the certificate in " + cert_file;
        return std::nullopt;
    }
    return identity;
}

std::string tls_identity::fingerprint_sha256() const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert_.get(), EVP_sha256(), digest, &length) != 1) return "";
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::string tls_identity::certificate_pem() const
{
    std::unique_ptr<BIO, free_bio> out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_X509(out.get(), cert_.get()) != 1) return "";
    char *data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

bool tls_identity::set_up(SSL_CTX &context) const
{
    return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1 &&
           SSL_CTX_use_certificate(&context, cert_.get()) == 1 &&
           SSL_CTX_use_PrivateKey(&context, key_.get()) == 1 && SSL_CTX_check_private_key(&context) == 1;
}
