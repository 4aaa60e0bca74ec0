// The request/answer sequence every call to the station follows, and the
// JSON helpers it and the calls share.
#include "synology.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Puts the subject in place of the format's first "%s", its own "%" escaped,
// so the message still takes the remaining values printf-style.
std::string with_subject(const char *format, const char *subject)
{
    std::string text(format);
    std::string escaped;
    for (const char *p = subject; *p && escaped.size() < last_error_capacity; ++p) {
        if (*p == '%') escaped += '%';
        escaped += *p;
    }
    size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, escaped);
    return text;
}

// The formats are the calls' own fixed words, never text from the host or
// the station (a subject is escaped before it joins a format).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void record(const char *format, bool subject_first, const char *subject, ...)
{
    if (!format) return;
    std::string led;
    if (subject_first) {
        led = with_subject(format, subject ? subject : "");
        format = led.c_str();
    }
    va_list args;
    va_start(args, subject);
    set_error_v(format, args);
    va_end(args);
}
#pragma GCC diagnostic pop

}  // namespace

const json_value *member(const json_value *value, std::string_view name)
{
    if (!value || !value->IsObject()) return nullptr;
    for (auto m = value->MemberBegin(); m != value->MemberEnd(); ++m) {
        if (std::string_view(m->name.GetString(), m->name.GetStringLength()) == name) return &m->value;
    }
    return nullptr;
}

bool is_integer(const json_value *value) { return value && (value->IsInt64() || value->IsUint64()); }

int64_t int64_or_zero(const json_value *value)
{
    if (!is_integer(value)) return 0;
    return value->IsInt64() ? value->GetInt64() : static_cast<int64_t>(value->GetUint64());
}

int32_t int32_or_zero(const json_value *value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(int64_or_zero(value)));
}

std::string_view string_or_empty(const json_value *value)
{
    if (!value || !value->IsString()) return {};
    return {value->GetString(), value->GetStringLength()};
}

const char *string_or_null(const json_value *value)
{
    return value && value->IsString() ? value->GetString() : nullptr;
}

bool is_true(const json_value *value) { return value && value->IsTrue(); }

bool write_json(const json_value &value, rapidjson::StringBuffer &out)
{
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    struct frame {
        const json_value *container;
        rapidjson::SizeType next;
    };
    std::vector<frame> open;  // the containers being written, outermost first
    const json_value *v = &value;
    unsigned steps = 0;
    for (;;) {
        if (v) {
            if (++steps % 4096 == 0 && result_too_large(out)) return false;
            if (v->IsObject()) {
                writer.StartObject();
                open.push_back({v, 0});
            } else if (v->IsArray()) {
                writer.StartArray();
                open.push_back({v, 0});
            } else if (v->IsString()) {
                writer.String(v->GetString(), v->GetStringLength());
            } else if (v->IsBool()) {
                writer.Bool(v->GetBool());
            } else if (v->IsNull()) {
                writer.Null();
            } else if (v->IsDouble()) {
                writer.Double(v->GetDouble());
            } else if (v->IsInt64()) {
                writer.Int64(v->GetInt64());
            } else {
                writer.Uint64(v->GetUint64());
            }
            v = nullptr;
        }
        if (open.empty()) break;
        frame &top = open.back();
        if (top.container->IsObject()) {
            if (top.next < top.container->MemberCount()) {
                const auto &m = top.container->MemberBegin()[top.next++];
                writer.Key(m.name.GetString(), m.name.GetStringLength());
                v = &m.value;
                continue;
            }
            writer.EndObject();
        } else {
            if (top.next < top.container->Size()) {
                v = &(*top.container)[top.next++];
                continue;
            }
            writer.EndArray();
        }
        open.pop_back();
    }
    return !result_too_large(out);
}

const char *hand_over_json(const json_value *data, const char *failure_value)
{
    rapidjson::StringBuffer text;
    if (!data) {
        text.Put('{');
        text.Put('}');
    } else if (!write_json(*data, text)) {
        set_error("Result too large (over %d MiB)", static_cast<int>(result_limit >> 20));
        return failure_value;
    }
    return hand_over(std::move(text), failure_value);
}

std::string url_encoded(const char *text)
{
    std::unique_ptr<char, decltype(&std::free)> encoded(http_url_encode(text), &std::free);
    return encoded ? std::string(encoded.get()) : std::string();
}

std::string_view normalize_destination(const char *destination)
{
    if (!destination) return "personal";
    while (*destination == '/' || *destination == '\\') ++destination;
    return *destination ? std::string_view(destination) : std::string_view("personal");
}

// A station answer is judged by its envelope only: success, data, error.code.
int station_code(const json_value *root)
{
    const json_value *code = member(member(root, "error"), "code");
    return is_integer(code) ? int32_or_zero(code) : 0;
}

call_scope::call_scope() : session_(copy_session()) { clear_error(); }

bool call_scope::connected() const
{
    if (session_.connected) return true;
    set_error("Not connected to NAS");
    return false;
}

bool call_scope::exchange(const request &req, const call_words &words, answer &out,
                          const char *subject) const
{
    std::string path_with_sid;
    const char *path = req.path.c_str();
    if (req.with_session && !req.content_type) {
        path_with_sid.reserve(req.path.size() + 6 + session_.sid.size());
        path_with_sid.append(req.path).append("&_sid=").append(session_.sid);
        path = path_with_sid.c_str();
    }
    const char *cookie = req.with_session ? get_cookie_header(session_) : nullptr;
    const int timeout = req.timeout_sec > 0 ? req.timeout_sec : session_.timeout_sec;
    char transport[http_error_capacity] = "";
    if (http_request(req.method, session_.host.c_str(), session_.port, path, cookie,
                     req.content_type, req.body, req.body_len, timeout, &out.response, transport,
                     sizeof transport, &session_.security, &out.peer) != 0) {
        record(words.transport, words.subject_first & transport_subject, subject,
               transport[0] ? transport : "network error");
        return false;
    }
    const char *body = out.response.body;
    const size_t body_len = body ? out.response.body_len : 0;
    if (body_len == 0 && words.empty_body) {
        record(words.empty_body, false, nullptr);
        return false;
    }
    if (!parse_answer_body(body, body_len, out.document)) {
        record(words.parse, words.subject_first & parse_subject, subject,
               body_len == 0 ? "empty" : body);
        return false;
    }
    out.root = &out.document;
    return true;
}

bool call_scope::send(const request &req, const call_words &words, answer &out,
                      const char *subject) const
{
    if (!exchange(req, words, out, subject)) return false;
    if (is_true(member(out.root, "success"))) {
        out.code = 0;
        out.data = member(out.root, "data");
        return true;
    }
    out.code = station_code(out.root);
    record(words.station, words.subject_first & station_subject, subject, out.code,
           syno_error_str(out.code));
    return false;
}
