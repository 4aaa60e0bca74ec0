// The options of ds_connect_with: a JSON object text from the host, read
// strictly; every mistake is named, and nothing is sent until they are right.
#include "synology.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace {

enum class member_type { boolean, text };

struct known_member {
    const char *name;
    member_type type;
};

constexpr known_member known_members[] = {
    {"https", member_type::boolean},     {"verify", member_type::boolean},
    {"ca_file", member_type::text},      {"fingerprint_sha256", member_type::text},
    {"otp_code", member_type::text},     {"device_name", member_type::text},
    {"device_id", member_type::text},
};

__attribute__((format(printf, 2, 3))) bool refuse(std::string &error, const char *format, ...)
{
    char text[last_error_capacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    error = std::string("Invalid options: ") + text;
    return false;
}

const known_member *find_member(std::string_view name)
{
    for (const known_member &m : known_members)
        if (name == m.name) return &m;
    return nullptr;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "AB:cd:..." or "abcd..." as 64 lower-case hex digits; "" when it is no
// SHA-256 fingerprint.
std::string normalized_fingerprint(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : text) {
        if (c == ':') continue;
        const int value = hex_digit(c);
        if (value < 0) return "";
        hex += digits[value];
    }
    return hex.size() == 64 ? hex : "";
}

bool read_member(const std::string &name, const json_value &value, connect_options &out,
                 std::string &error)
{
    const known_member *known = find_member(name);
    if (!known) return refuse(error, "unknown member \"%s\"", name.c_str());
    if (known->type == member_type::boolean) {
        if (!value.IsBool()) return refuse(error, "\"%s\" must be true or false", name.c_str());
        (name == "https" ? out.https : out.verify) = value.GetBool();
        return true;
    }
    if (!value.IsString()) return refuse(error, "\"%s\" must be a string", name.c_str());
    const std::string text(value.GetString(), value.GetStringLength());
    if (text.empty()) return refuse(error, "\"%s\" cannot be empty", name.c_str());
    if (text.find('\0') != std::string::npos)
        return refuse(error, "\"%s\" cannot hold a NUL character", name.c_str());
    if (name == "fingerprint_sha256") {
        out.fingerprint_sha256 = normalized_fingerprint(text);
        if (out.fingerprint_sha256.empty())
            return refuse(error, "\"fingerprint_sha256\" must be 64 hexadecimal digits");
    } else if (name == "ca_file") {
        out.ca_file = text;
    } else if (name == "otp_code") {
        out.otp_code = text;
    } else if (name == "device_name") {
        out.device_name = text;
    } else {
        out.device_id = text;
    }
    return true;
}

// The rules between members, checked once all are read.
bool check_combination(const connect_options &o, const std::set<std::string> &given, std::string &error)
{
    for (const char *name : {"verify", "ca_file", "fingerprint_sha256"}) {
        if (given.count(name) && !o.https) return refuse(error, "\"%s\" needs \"https\": true", name);
    }
    const bool no_verify = given.count("verify") && !o.verify;
    if (no_verify && !o.ca_file.empty()) return refuse(error, "\"verify\": false cannot go with \"ca_file\"");
    if (no_verify && !o.fingerprint_sha256.empty())
        return refuse(error, "\"verify\": false cannot go with \"fingerprint_sha256\"");
    if (!o.ca_file.empty() && !o.fingerprint_sha256.empty())
        return refuse(error, "\"ca_file\" cannot go with \"fingerprint_sha256\"");
    if (!o.device_name.empty() && o.otp_code.empty() && o.device_id.empty())
        return refuse(error, "\"device_name\" needs \"otp_code\" or \"device_id\"");
    if (!o.device_id.empty() && o.device_name.empty())
        return refuse(error, "\"device_id\" needs \"device_name\"");
    return true;
}

}  // namespace

const char *connect_options::verification() const
{
    if (!https || !verify) return "none";
    if (!fingerprint_sha256.empty()) return "fingerprint";
    if (!ca_file.empty()) return "ca_file";
    return "system";
}

http_security connect_options::security() const
{
    http_security s;
    s.tls = https;
    s.verify = verify;
    s.ca_file = ca_file;
    s.fingerprint_sha256 = fingerprint_sha256;
    return s;
}

bool parse_connect_options(const char *text, connect_options &out, std::string &error)
{
    out = connect_options{};
    if (!text || !*text) return true;
    json_document document;
    if (!parse_answer_body(text, std::strlen(text), document) || !document.IsObject())
        return refuse(error, "not a JSON object");
    std::set<std::string> given;
    const json_value &options = document;
    for (const auto &m : options.GetObject()) {
        const std::string name(m.name.GetString(), m.name.GetStringLength());
        if (!given.insert(name).second) return refuse(error, "\"%s\" given twice", name.c_str());
        if (!read_member(name, m.value, out, error)) return false;
    }
    return check_combination(out, given, error);
}
