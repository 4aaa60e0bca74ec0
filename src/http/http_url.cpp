#include "http_client.h"
#include "net_platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// 1 while this library has started the network layer. Atomic but not locked:
// two first requests at the same moment may both start it, which is harmless.
std::atomic<int> g_wsa_initialized{0};

bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

char *http_url_encode(const char *text)
{
    static const char hex_digits[] = "0123456789ABCDEF";
    if (!text) text = "";
    size_t n = std::strlen(text);
    char *out = static_cast<char *>(std::malloc(3 * n + 1));
    if (!out) return nullptr;
    char *p = out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_unreserved(c)) {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '%';
            *p++ = hex_digits[c >> 4];
            *p++ = hex_digits[c & 0x0F];
        }
    }
    *p = '\0';
    return out;
}

int http_init(void)
{
    if (int started = g_wsa_initialized.load()) return started;
    int result = net::startup();
    if (result == 0) g_wsa_initialized = 1;
    return result;
}

int http_cleanup(void)
{
    if (!g_wsa_initialized) return 0;
    int result = net::shutdown_layer();
    g_wsa_initialized = 0;
    return result;
}
