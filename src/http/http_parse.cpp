// Head/body split, status number and chunked decoding: bytes in, bytes out.
#include "http_client.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void record(char *error, size_t error_size, const char *message)
{
    if (error && error_size > 0) std::snprintf(error, error_size, "%s", message);
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A chunk size read as strtoul(p, &end, 16) would read it, but bounded by
// end: blanks, a sign, an optional 0x, hex digits; overflow saturates.
// Returns false when no digit was read.
bool read_chunk_size(const char *&p, const char *end, uint32_t &size)
{
    const char *q = p;
    while (q < end && is_space(*q)) ++q;
    bool negative = false;
    if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
    if (end - q >= 3 && q[0] == '0' && (q[1] == 'x' || q[1] == 'X') && hex_value(q[2]) >= 0) q += 2;
    if (q == end || hex_value(*q) < 0) return false;
    unsigned long value = 0;
    bool overflow = false;
    for (; q < end && hex_value(*q) >= 0; ++q) {
        if (value > (ULONG_MAX >> 4)) overflow = true;
        value = (value << 4) | static_cast<unsigned long>(hex_value(*q));
    }
    if (overflow) value = ULONG_MAX;
    else if (negative) value = 0UL - value;
    size = static_cast<uint32_t>(value);
    p = q;
    return true;
}

bool names_chunked_coding(const char *headers)
{
    static const char needle[] = "transfer-encoding: chunked";
    const size_t n = sizeof needle - 1;
    for (const char *p = headers; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] && std::tolower(static_cast<unsigned char>(p[i])) == needle[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

// The number at the tenth character of "HTTP/1.x NNN", read as atoi would.
int status_number(const char *text, size_t text_len)
{
    size_t i = 9;
    while (i < text_len && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text_len && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text_len && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < INT_MAX) value = value * 10 + (text[i] - '0');
    }
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(negative ? -value : value);
}

// A TLS alert (0x15) or handshake (0x16) record of version 3.x: a TLS
// station's answer to a request that came without TLS.
bool starts_like_tls_record(const char *data, size_t len)
{
    return len >= 2 && (data[0] == '\x15' || data[0] == '\x16') && data[1] == '\x03';
}

char *copy_text(const char *data, size_t len)
{
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (!copy) return nullptr;
    if (len) std::memcpy(copy, data, len);
    copy[len] = '\0';
    return copy;
}

}  // namespace

size_t http_decode_chunked(const char *raw, size_t raw_len, char *out)
{
    const char *p = raw;
    const char *end = raw + raw_len;
    size_t written = 0;
    uint32_t size = 0;
    while (read_chunk_size(p, end, size)) {
        const char *line_end = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        p = line_end ? line_end + 1 : end;
        if (size == 0) break;
        size_t available = static_cast<size_t>(end - p);
        if (size > available) {
            std::memcpy(out + written, p, available);
            written += available;
            break;
        }
        std::memcpy(out + written, p, size);
        written += size;
        p += size;
        if (p == end) break;
        if (*p == '\r' && ++p == end) break;
        if (*p == '\n' && ++p == end) break;
    }
    return written;
}

int http_parse_response(const char *data, size_t len, http_response *response, char *error,
                        size_t error_size)
{
    *response = http_response{};
    if (len == 0) {
        record(error, error_size, "Empty response from server");
        return -1;
    }
    if (starts_like_tls_record(data, len)) {
        record(error, error_size, "The station answered with TLS: use https");
        return -1;
    }
    // The boundary is searched as text: the search ends at the first NUL byte.
    std::string_view text(data, strnlen(data, len));
    size_t head_len = text.find("\r\n\r\n");
    size_t boundary = 4;
    if (head_len == std::string_view::npos) {
        head_len = text.find("\n\n");
        boundary = 2;
    }
    if (head_len == std::string_view::npos) {
        record(error, error_size, "Malformed HTTP response (no header boundary)");
        return -1;
    }
    const char *raw = data + head_len + boundary;
    size_t raw_len = len - head_len - boundary;

    response->headers = copy_text(data, head_len);
    if (text.substr(0, 7) == "HTTP/1.") response->status_code = status_number(text.data(), text.size());

    if (response->headers && names_chunked_coding(response->headers)) {
        if (char *out = static_cast<char *>(std::malloc(raw_len + 1))) {
            response->body_len = http_decode_chunked(raw, raw_len, out);
            out[response->body_len] = '\0';
            response->body = out;
            return 0;
        }
    }
    response->body = copy_text(raw, raw_len);
    response->body_len = response->body ? raw_len : 0;
    return 0;
}

void http_response_free(http_response *response)
{
    if (!response) return;
    std::free(response->headers);
    std::free(response->body);
    *response = http_response{};
}
