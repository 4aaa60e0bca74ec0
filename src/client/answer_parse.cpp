// Strict parsing of the station's answers.
//
// Two faults of RapidJSON 1.1.0 are mended on the way from its reader to the
// document (and to the task answers read without one, which share these
// rules). Numbers are converted here: its full-precision conversion of a
// zero with a large exponent (0E252) reads a garbage value (-7.4e-68) through
// undefined behaviour; the reader still checks the number grammar, and
// std::from_chars gives the correctly rounded value, independent of the
// host's locale. And a lone low surrogate escape (\udcc5) passes its reader
// as bytes that are no UTF-8, which would then reach the host: such a text
// is refused like any other malformed JSON.
#include "answer_parse.h"
#include "synology.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace {

// The decimal exponent of the first significant digit (1.5e3 → 3, 0.01 → -2),
// to tell an overflowing number from one that underflows to zero.
long long leading_digit_exponent(std::string_view number)
{
    size_t i = number[0] == '-' ? 1 : 0;
    long long position = 0;  // exponent of the digit at i
    size_t point = number.find('.');
    size_t int_end = point != std::string_view::npos ? point : number.find_first_of("eE");
    if (int_end == std::string_view::npos) int_end = number.size();
    position = static_cast<long long>(int_end - i) - 1;
    long long leading = 0;
    bool found = false;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        if (number[i] == '.') continue;
        if (number[i] != '0') {
            leading = position;
            found = true;
            break;
        }
        --position;
    }
    if (!found) return 0;
    size_t e = number.find_first_of("eE");
    long long exponent = 0;
    if (e != std::string_view::npos) {
        size_t j = e + 1;
        bool negative = j < number.size() && number[j] == '-';
        if (j < number.size() && (number[j] == '-' || number[j] == '+')) ++j;
        for (; j < number.size() && exponent < 100000; ++j) exponent = exponent * 10 + (number[j] - '0');
        if (negative) exponent = -exponent;
    }
    return leading + exponent;
}

// Hands the reader's events to the document, numbers converted and texts
// checked on the way.
class answer_reader {
public:
    explicit answer_reader(json_document &document) : document_(document) {}

    bool Null() { return document_.Null(); }
    bool Bool(bool b) { return document_.Bool(b); }
    bool Int(int i) { return document_.Int(i); }
    bool Uint(unsigned u) { return document_.Uint(u); }
    bool Int64(int64_t i) { return document_.Int64(i); }
    bool Uint64(uint64_t u) { return document_.Uint64(u); }
    bool Double(double d) { return document_.Double(d); }
    bool String(const char *s, rapidjson::SizeType n, bool copy)
    {
        return !holds_surrogate(s, n) && document_.String(s, n, copy);
    }
    bool StartObject() { return document_.StartObject(); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy)
    {
        return !holds_surrogate(s, n) && document_.Key(s, n, copy);
    }
    bool EndObject(rapidjson::SizeType members) { return document_.EndObject(members); }
    bool StartArray() { return document_.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return document_.EndArray(elements); }

    bool RawNumber(const char *s, rapidjson::SizeType n, bool)
    {
        answer_number number;
        if (!read_answer_number(std::string_view(s, n), number)) return false;
        switch (number.kind) {
        case answer_number::signed_integer: return document_.Int64(number.signed_value);
        case answer_number::unsigned_integer: return document_.Uint64(number.unsigned_value);
        case answer_number::real: break;
        }
        return document_.Double(number.real_value);
    }

private:
    json_document &document_;
};

}  // namespace

// An encoded surrogate is ED A0..BF.
bool holds_surrogate(const char *text, size_t n)
{
    const char *end = text + n;
    for (const char *p = text; (p = static_cast<const char *>(std::memchr(p, '\xED', static_cast<size_t>(end - p))));
         ++p) {
        if (p + 1 < end && static_cast<unsigned char>(p[1]) >= 0xA0) return true;
    }
    return false;
}

size_t byte_order_mark_length(const char *body, size_t len)
{
    size_t n = 0;
    for (unsigned char mark : {0xEF, 0xBB, 0xBF})
        if (n < len && static_cast<unsigned char>(body[n]) == mark) ++n;
    return n;
}

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the UTF-8 sequence at p (before end), 0 when there is none:
// the ranges of RFC 3629, so no overlong form, no surrogate, nothing past
// U+10FFFF.
size_t utf8_sequence_length(const unsigned char *p, const unsigned char *end)
{
    const unsigned char c = p[0];
    size_t n = 0;
    unsigned char second_low = 0x80, second_high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) second_low = 0xA0;
        if (c == 0xED) second_high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) second_low = 0x90;
        if (c == 0xF4) second_high = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < n || p[1] < second_low || p[1] > second_high) return 0;
    for (size_t i = 2; i < n; ++i)
        if (!is_continuation(p[i])) return 0;
    return n;
}

// The four hex digits of a \u escape at p, or -1.
long escaped_code(const unsigned char *p, const unsigned char *end)
{
    if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return -1;
    long code = 0;
    for (int i = 2; i < 6; ++i) {
        const unsigned char c = p[i];
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') digit = (c | 0x20) - 'a' + 10;
        if (digit < 0) return -1;
        code = code * 16 + digit;
    }
    return code;
}

// The length of the escape at p (a backslash), 0 when the reader refuses it
// or it is a lone low surrogate. A high surrogate takes its low one along.
size_t escape_length(const unsigned char *p, const unsigned char *end)
{
    if (end - p < 2 || p[1] == '\0' || p[1] >= 0x80) return 0;
    if (p[1] != 'u') return 2;
    const long code = escaped_code(p, end);
    if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return 0;
    if (code < 0xD800 || code > 0xDBFF) return 6;
    const long low = escaped_code(p + 6, end);
    return low >= 0xDC00 && low <= 0xDFFF ? 12 : 0;
}

// Eight bytes hold no byte with the high bit set, no NUL and no backslash.
bool plain_ascii(const unsigned char *p)
{
    constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    const uint64_t backslashes = v ^ (ones * '\\');
    return ((v | ((v - ones) & ~v) | ((backslashes - ones) & ~backslashes)) & highs) == 0;
}

}  // namespace

bool answer_bytes_valid(const char *text, size_t len)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + len;
    while (p < end) {
        if (end - p >= 8 && plain_ascii(p)) {
            p += 8;
            continue;
        }
        size_t n = 1;
        if (*p == '\0') return false;
        if (*p == '\\') n = escape_length(p, end);
        else if (*p >= 0x80) n = utf8_sequence_length(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

bool read_answer_number(std::string_view number, answer_number &out)
{
    const char *first = number.data();
    const char *end = first + number.size();
    // Most numbers are integers of at most 18 digits, which fit in 64 bits
    // whatever the digits: read in one pass.
    const bool negative = number[0] == '-';
    if (number.size() - negative <= 18) {
        uint64_t value = 0;
        const char *p = first + negative;
        for (; p != end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (p == end) {
            out.kind = negative ? answer_number::signed_integer : answer_number::unsigned_integer;
            out.signed_value = negative ? -static_cast<int64_t>(value) : 0;
            out.unsigned_value = negative ? 0 : value;
            return true;
        }
    }
    bool integral = true;
    for (char c : number)
        if (c == '.' || c == 'e' || c == 'E') integral = false;
    if (integral) {
        if (number[0] == '-') {
            if (std::from_chars(first, end, out.signed_value).ec == std::errc()) {
                out.kind = answer_number::signed_integer;
                return true;
            }
        } else if (std::from_chars(first, end, out.unsigned_value).ec == std::errc()) {
            out.kind = answer_number::unsigned_integer;
            return true;
        }
    }
    out.kind = answer_number::real;
    auto result = std::from_chars(first, end, out.real_value);
    if (result.ec == std::errc::result_out_of_range) {
        if (leading_digit_exponent(number) > 0) return false;  // too big for a double
        out.real_value = number[0] == '-' ? -0.0 : 0.0;
        return true;
    }
    return result.ec == std::errc() && result.ptr == end;
}

bool parse_answer_body(const char *body, size_t len, json_document &document)
{
    bool parsed = false;
    auto read = [&](json_document &target) {
        answer_reader handler(target);
        parsed = read_answer_events(body, len, handler);
        return parsed;
    };
    document.Populate(read);
    return parsed;
}
