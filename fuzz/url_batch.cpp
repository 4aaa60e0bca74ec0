// The URL batch splitter: every URL is a non-empty, trimmed piece of one line.
#include "fuzz_target.h"
#include "synology.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view batch(reinterpret_cast<const char *>(data), size);
    for (std::string_view url : split_url_batch(batch)) {
        if (url.empty() || url.data() < batch.data() || url.data() + url.size() > batch.data() + batch.size())
            std::abort();
        if (url.find_first_of("\r\n") != std::string_view::npos) std::abort();
        if (std::isspace(static_cast<unsigned char>(url.front())) ||
            std::isspace(static_cast<unsigned char>(url.back())))
            std::abort();
    }
    return 0;
}
