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
