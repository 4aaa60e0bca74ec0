// Time-based one-time passwords as authenticator apps make them (RFC 6238):
// HMAC-SHA1 over the number of 30-second steps since 1970, six digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The bytes a Base32 text (RFC 4648, either letter case, "=" padding at the
// end) stands for; nothing for any other text or an empty one.
std::optional<std::string> base32_decoded(std::string_view text);

class totp {
public:
    explicit totp(std::string key) : key_(std::move(key)) {}

    // The code of the step that holds the time.
    std::string code_at(int64_t unix_seconds) const;
    // A code of the step before, the step of, or the step after the time, as
    // authenticators and clocks drift apart by a little.
    bool accepts(std::string_view code, int64_t unix_seconds) const;

private:
    std::string code_of_step(int64_t step) const;

    std::string key_;
};
