// The parts of TLS that do not depend on the platform: how a certificate is
// judged and the words of every refusal.
#include "tls.h"

#if !defined(_WIN32)
#  include <arpa/inet.h>
#endif

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tls {

void message::set(const char *format, ...) const
{
    if (!text || size == 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, size, format, args);
    va_end(args);
}

int remaining_ms(steady::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
}

trust trust_of(const http_security &security)
{
    if (!security.fingerprint_sha256.empty()) return trust::fingerprint;
    return security.verify ? trust::chain : trust::none;
}

bool refused(const findings &found, const char *host, const message &error)
{
    if (found.self_signed)
        error.set("Certificate not trusted: self-signed (pass its fingerprint or a CA file)");
    else if (found.unknown_issuer)
        error.set("Certificate not trusted: unknown issuer (pass a CA file or the station's fingerprint)");
    else if (found.out_of_date)
        error.set("Certificate expired or not yet valid");
    else if (found.name_mismatch)
        error.set("Certificate name mismatch: not issued for %s", host);
    else if (!found.other.empty())
        error.set("TLS handshake failed: %s", found.other.c_str());
    else
        return false;
    return true;
}

namespace {

// The digest as hex pairs in the given digits, separator between them.
std::string hex_pairs(const unsigned char (&digest)[sha256_size], const char (&digits)[17], const char *separator)
{
    std::string text;
    for (unsigned char byte : digest) {
        if (!text.empty()) text += separator;
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace

std::string colon_fingerprint(const unsigned char (&digest)[sha256_size])
{
    return hex_pairs(digest, "0123456789ABCDEF", ":");
}

bool fingerprint_accepted(const unsigned char (&digest)[sha256_size], const std::string &wanted,
                          const message &error)
{
    if (hex_pairs(digest, "0123456789abcdef", "") == wanted) return true;
    error.set("Certificate fingerprint mismatch: the station presented %s", colon_fingerprint(digest).c_str());
    return false;
}

bool is_ip_literal(const char *host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

bool looks_like_http(const char *bytes, size_t len)
{
    return len >= 5 && std::memcmp(bytes, "HTTP/", 5) == 0;
}

void report_plain_answer(const message &error)
{
    error.set("The station answered without TLS: connect without https");
}

void report_handshake_time(const message &error, int seconds)
{
    error.set("TLS handshake not complete within %d seconds", seconds);
}

void report_handshake_failure(const message &error, const char *reason)
{
    error.set("TLS handshake failed: %s", reason);
}

void report_unreadable_ca_file(const message &error, const std::string &path)
{
    error.set("Cannot read CA file: %s", path.c_str());
}

}  // namespace tls
