// The request/answer sequence every call to the station follows, and the
// values that go into its requests.
#include "synology.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t detail_capacity = 200;  // of the station's "errors" detail in a message

// The meaning of a refusal's code, followed by the station's detail when the
// call's words ask for it and the station gave one.
std::string refusal_meaning(const call_words &words, int code, const json_value *root)
{
    std::string meaning = words.code_meaning(code);
    if (!words.with_detail) return meaning;
    const std::string detail = errors_detail(root);
    if (!detail.empty()) meaning.append("; ").append(detail);
    return meaning;
}

void append_json_text(std::string &out, const json_value &value)
{
    json_text text;
    write_json(value, text);
    out.append(text.GetString(), text.GetSize());
}

void record_parse_failure(const call_words &words, const char *subject, const char *body, size_t body_len)
{
    if (words.parse) words.parse(subject ? subject : "", body_len == 0 ? "empty" : body);
}

// root is null when the answer was read without a document: then the
// station's detail is not quoted.
void record_refusal(const call_words &words, const char *subject, int code, const json_value *root)
{
    if (words.station) words.station(subject ? subject : "", code, refusal_meaning(words, code, root).c_str());
}

}  // namespace

size_t body_length(const http_response &response) { return response.body ? response.body_len : 0; }

std::string url_encoded(const char *text)
{
    std::unique_ptr<char, decltype(&std::free)> encoded(http_url_encode(text), &std::free);
    if (!encoded) throw std::bad_alloc();
    return std::string(encoded.get());
}

std::string_view destination_folder(const char *destination)
{
    if (!destination) return {};
    while (*destination == '/' || *destination == '\\') ++destination;
    return destination;
}

// A station answer is judged by its envelope only: success, data, error.code.
int station_code(const json_value *root)
{
    const json_value *code = member(member(root, "error"), "code");
    return is_integer(code) ? int32_or_zero(code) : 0;
}

// {"name":"destination","reason":"required"} reads "destination: required";
// any other detail is quoted as the station wrote it, cut to a few lines.
std::string errors_detail(const json_value *root)
{
    const json_value *errors = member(member(root, "error"), "errors");
    if (!errors) return "";
    const std::string_view name = string_or_empty(member(errors, "name"));
    const std::string_view reason = string_or_empty(member(errors, "reason"));
    std::string detail;
    if (!name.empty() && !reason.empty()) {
        detail.append(name).append(": ").append(reason);
    } else {
        detail = "errors: ";
        append_json_text(detail, *errors);
    }
    if (detail.size() > detail_capacity) {
        size_t cut = detail_capacity;
        while (cut > 0 && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
        detail.replace(cut, std::string::npos, "...");
    }
    return detail;
}

int first_task_refusal(const json_value *data, const call_words &words, const char *method)
{
    if (!data || !data->IsArray()) return 0;
    for (const json_value &task : data->GetArray()) {
        const json_value *error = member(&task, "error");
        const int code = is_integer(error) ? int32_or_zero(error) : 0;
        if (code == 0) continue;
        const char *id = string_or_null(member(&task, "id"));
        if (words.task_refused) words.task_refused(id ? id : "", method, code, words.code_meaning(code));
        return code;
    }
    return 0;
}

call_scope::call_scope() : session_(copy_session()) { clear_error(); }

bool call_scope::connected() const
{
    if (session_.connected) return true;
    set_error("Not connected to NAS");
    return false;
}

bool call_scope::fetch(const request &req, const call_words &words, answer &out, const char *subject) const
{
    if (!subject) subject = "";
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
        if (words.transport) words.transport(subject, transport[0] ? transport : "network error");
        return false;
    }
    if (body_length(out.response) == 0 && words.empty_body) {
        set_error("%s", words.empty_body);
        return false;
    }
    return true;
}

bool call_scope::exchange(const request &req, const call_words &words, answer &out,
                          const char *subject) const
{
    if (!fetch(req, words, out, subject)) return false;
    if (!parse_answer_body(out.response.body, body_length(out.response), out.document)) {
        record_parse_failure(words, subject, out.response.body, body_length(out.response));
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
    record_refusal(words, subject, out.code, out.root);
    return false;
}

bool judge_envelope(const envelope_reading &reading, const char *body, size_t body_len, const call_words &words,
                    const char *subject)
{
    if (!reading.parsed) {
        record_parse_failure(words, subject, body, body_len);
        return false;
    }
    if (reading.success) return true;
    record_refusal(words, subject, reading.code, nullptr);
    return false;
}
