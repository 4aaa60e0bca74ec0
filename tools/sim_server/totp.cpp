#include "totp.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>

namespace {

constexpr int64_t step_seconds = 30;

int base32_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    return -1;
}

}  // namespace

std::optional<std::string> base32_decoded(std::string_view text)
{
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    std::string bytes;
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        const int value = base32_value(c);
        if (value < 0) return std::nullopt;
        bits = (bits << 5) | static_cast<uint32_t>(value);
        held += 5;
        if (held >= 8) {
            held -= 8;
            bytes += static_cast<char>((bits >> held) & 0xFF);
        }
    }
    return bytes;
}

std::string totp::code_of_step(int64_t step) const
{
    unsigned char counter[8];
    for (int i = 7; i >= 0; --i) {
        counter[i] = static_cast<unsigned char>(step & 0xFF);
        step >>= 8;
    }
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_length = 0;
    HMAC(EVP_sha1(), key_.data(), static_cast<int>(key_.size()), counter, sizeof counter, mac, &mac_length);
    // Dynamic truncation: four bytes from where the last nibble points.
    const unsigned offset = mac[mac_length - 1] & 0x0F;
    const uint32_t number = (static_cast<uint32_t>(mac[offset] & 0x7F) << 24) |
                            (static_cast<uint32_t>(mac[offset + 1]) << 16) |
                            (static_cast<uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
    char code[7];
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(number % 1000000));
    return code;
}

std::string totp::code_at(int64_t unix_seconds) const { return code_of_step(unix_seconds / step_seconds); }

bool totp::accepts(std::string_view code, int64_t unix_seconds) const
{
    const int64_t step = unix_seconds / step_seconds;
    for (int64_t near = step - 1; near <= step + 1; ++near) {
        if (code == code_of_step(near)) return true;
    }
    return false;
}
