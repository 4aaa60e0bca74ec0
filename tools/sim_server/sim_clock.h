// The station's simulated time, in milliseconds since 1970: it runs at a
// chosen multiple of real time (0 stops it) and jumps forward on request,
// so tests move it by exact amounts and never sleep.
#pragma once

#include <chrono>
#include <cstdint>

class sim_clock {
public:
    sim_clock(int64_t epoch_ms, double speed) : epoch_ms_(epoch_ms), speed_(speed) {}

    int64_t now_ms() const
    {
        const auto real = std::chrono::steady_clock::now() - start_;
        const double real_ms = std::chrono::duration<double, std::milli>(real).count();
        return epoch_ms_ + advanced_ms_ + static_cast<int64_t>(real_ms * speed_);
    }

    void advance(int64_t ms) { advanced_ms_ += ms; }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    int64_t epoch_ms_;
    double speed_;
    int64_t advanced_ms_ = 0;
};
