// Head/body split, status number and chunked decoding over arbitrary bytes.
#include "fuzz_target.h"
#include "http_client.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    http_response response{};
    char error[http_error_capacity];
    if (http_parse_response(bytes, size, &response, error, sizeof error) == 0) {
        if (response.body && response.body[response.body_len] != '\0') std::abort();
        if (response.body_len > size) std::abort();
    }
    http_response_free(&response);

    std::vector<char> out(size + 1);
    if (http_decode_chunked(bytes, size, out.data()) > size) std::abort();
    return 0;
}
