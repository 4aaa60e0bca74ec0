// The status filter: the input's first line is the filter, the rest one
// status per line.
#include "fuzz_target.h"
#include "synology.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t line_end = input.find('\n');
    std::string filter(input.substr(0, line_end));
    status_filter f(filter.c_str());
    f.matches(std::nullopt);
    while (line_end != std::string_view::npos) {
        input.remove_prefix(line_end + 1);
        line_end = input.find('\n');
        f.matches(input.substr(0, line_end));
    }
    return 0;
}
