// The strict reading of a station's answer, shared by the document every
// call parses and by the calls that read their answer as it is parsed:
// which bytes are accepted, and what a number or a string reads as.
#pragma once

#include "json_values.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// A number as an answer holds it: an integer within 64 bits keeps its sign
// (Int64 for a negative one, Uint64 otherwise), anything else is the
// correctly rounded double.
struct answer_number {
    enum kind_t { signed_integer, unsigned_integer, real } kind = real;
    int64_t signed_value = 0;
    uint64_t unsigned_value = 0;
    double real_value = 0.0;
};

// Converts a number the reader has found to follow JSON's grammar. False
// for a number too large for a double; one too small becomes zero.
bool read_answer_number(std::string_view number, answer_number &out);

// Escapes are the only way to invalid UTF-8 past the validating reader, and
// the only invalid form they take is an encoded surrogate: a lone low
// surrogate escape (\udcc5). A string or key holding one is refused.
bool holds_surrogate(const char *text, size_t n);

// How many leading bytes the validating reader's stream passes over: a
// leading EF, BB and BF, each on its own (a byte order mark, or a part).
size_t byte_order_mark_length(const char *body, size_t len);

// The checks the validating reader and holds_surrogate make, done once over
// a whole text so that a reader without them may read it in place: false
// for a NUL byte, bytes that are no UTF-8 (cut or overlong sequences,
// encoded surrogates, code points past U+10FFFF), wherever they stand, or a
// lone low surrogate escape. Escapes are followed as the reader follows
// them; whatever else is malformed is left to the reader.
bool answer_bytes_valid(const char *text, size_t len);

// Runs RapidJSON's validating reader over body, handing its events to
// handler, with numbers as their texts (RawNumber). False for an empty body,
// a NUL byte in it (the reader would stop at it as at an end), anything that
// is not exactly one JSON value, or a handler that refuses an event.
// Nesting is read without recursion.
template <class Handler>
bool read_answer_events(const char *body, size_t len, Handler &handler)
{
    if (!body || len == 0 || std::memchr(body, '\0', len)) return false;
    // A bounded stream, never in place: RapidJSON's in-place stream lets its
    // UTF-8 check read past the end of a body that stops inside a
    // multi-byte character. This stream also passes over a leading EF, BB
    // and BF, each on its own (a byte order mark, or part of one).
    rapidjson::MemoryStream bytes(body, len);
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(bytes);
    json_reader reader;
    return !reader.Parse<parse_flags | rapidjson::kParseNumbersAsStringsFlag>(in, handler).IsError();
}

// Reads body as read_answer_events does, with the same verdict, but in
// place: the encoding checks are made first by answer_bytes_valid, then the
// reader, without them, unescapes the strings where they stand, changing
// body, and hands the handler each string and number as a view into it
// (copy false). body holds len bytes and a NUL after them, where the reader
// stops (answer_bytes_valid refuses one before).
template <class Handler>
bool read_answer_events_in_place(char *body, size_t len, Handler &handler)
{
    if (!body || len == 0) return false;
    const size_t mark = byte_order_mark_length(body, len);
    if (!answer_bytes_valid(body + mark, len - mark)) return false;
    rapidjson::InsituStringStream in(body + mark);
    json_reader reader;
    constexpr unsigned flags = (parse_flags & ~rapidjson::kParseValidateEncodingFlag) | rapidjson::kParseInsituFlag |
                               rapidjson::kParseNumbersAsStringsFlag;
    return !reader.Parse<flags>(in, handler).IsError();
}
