// Answers are written straight out with RapidJSON's writer, member by member.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string_view>

using json_writer = rapidjson::Writer<rapidjson::StringBuffer>;

inline void write_string(json_writer &out, std::string_view text)
{
    out.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Three names, not overloads: a string literal would convert to bool first.
inline void write_text(json_writer &out, const char *key, std::string_view text)
{
    out.Key(key);
    write_string(out, text);
}

inline void write_int(json_writer &out, const char *key, int64_t number)
{
    out.Key(key);
    out.Int64(number);
}

inline void write_bool(json_writer &out, const char *key, bool flag)
{
    out.Key(key);
    out.Bool(flag);
}
