// Deterministic numbers for the simulated station: the same seed and the same
// requests give the same session ids, task sizes, speeds and failures.
#pragma once

#include <cstdint>
#include <string>

class sim_random {
public:
    explicit sim_random(uint64_t seed) : state_(seed) {}

    // splitmix64: small, and the same on every platform and standard library
    // (std::uniform_int_distribution is not).
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A number from low to high, both included (low <= high).
    int64_t between(int64_t low, int64_t high)
    {
        const uint64_t span = static_cast<uint64_t>(high - low) + 1;
        return low + static_cast<int64_t>(next() % span);
    }

    // True with the probability p (0 never, 1 always).
    bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }

    // A text of the given length from [A-Za-z0-9_-], as session ids are.
    std::string word(size_t length)
    {
        static const char letters[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
        std::string text;
        text.reserve(length);
        for (size_t i = 0; i < length; ++i) text += letters[next() % (sizeof letters - 1)];
        return text;
    }

private:
    uint64_t state_;
};
