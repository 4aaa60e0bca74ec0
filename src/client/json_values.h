// JSON as the Web API layer reads and writes it: RapidJSON's own types over
// an allocator that fails loudly, and free functions that read station
// values without trusting their types.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// RapidJSON goes on with a null pointer when its allocator returns one; this
// one throws std::bad_alloc instead, which the exported call's guard turns
// into "Out of memory".
class json_allocator {
public:
    static const bool kNeedFree = true;
    void *Malloc(size_t size);
    void *Realloc(void *block, size_t old_size, size_t new_size);
    static void Free(void *block);
};

using json_pool = rapidjson::MemoryPoolAllocator<json_allocator>;
using json_document = rapidjson::GenericDocument<rapidjson::UTF8<>, json_pool, json_allocator>;
using json_value = json_document::ValueType;
using json_text = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, json_allocator>;
using json_writer = rapidjson::Writer<json_text, rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator>;
using json_reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator>;

// A result beyond this fails rather than exhausting the host's memory.
constexpr size_t result_limit = size_t{64} << 20;

// Answers are parsed strictly (parse_answer_body); the iterative parser keeps
// deep nesting off the stack.
constexpr unsigned parse_flags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseFullPrecisionFlag |
                                 rapidjson::kParseIterativeFlag;

// Parses strictly: false for an empty body, a NUL byte in it, or anything
// that is not exactly one JSON value.
bool parse_answer_body(const char *body, size_t len, json_document &document);

// The first member of that name when value is an object, else null.
const json_value *member(const json_value *value, std::string_view name);
bool is_integer(const json_value *value);
// Integers read as the station's signed 64-bit values; a 32-bit read keeps the low 32 bits.
int64_t int64_or_zero(const json_value *value);
int32_t int32_or_zero(const json_value *value);
std::string_view string_or_empty(const json_value *value);
// A string value, or null when the value is absent or of another type.
const char *string_or_null(const json_value *value);
bool is_true(const json_value *value);

// Writes value minified into out without recursion, so any depth is safe.
// Returns false (out unfinished) once out has grown past result_limit.
bool write_json(const json_value &value, json_text &out);
bool result_too_large(const json_text &text);

// Writes data (or "{}" when absent) and hands it over as the call's result.
const char *hand_over_json(const json_value *data, const char *failure_value);
