// What the tests ask of the operating system itself, written once for POSIX
// and once for Windows. Free of any test framework.
#pragma once

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX  // std::min and std::max, not the macros
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <psapi.h>
#else
#  include <sys/resource.h>
#endif

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

// What a process may have held at most after an answer refused at the 64
// MiB limit: the limit and a little more, in KiB. AddressSanitizer keeps the
// blocks that realloc gave up in quarantine and ThreadSanitizer counts its
// shadow memory, so both are allowed that weight.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long answer_limit_peak_kib = 400L * 1024;
#else
constexpr long answer_limit_peak_kib = 160L * 1024;
#endif

// The most memory the process has held so far, in KiB.
inline long peak_memory_kib()
{
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
#endif
}

// Creates a new, empty directory named stem followed by a random suffix
// inside base, and returns its path.
inline std::filesystem::path make_unique_dir(const std::filesystem::path &base, const std::string &stem)
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path dir = base / (stem + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(dir)) return dir;
    }
    throw std::runtime_error("no new directory could be made in " + base.string());
}
