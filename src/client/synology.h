// The Web API layer's one internal header: session state, per-thread
// buffers, messages, JSON helpers and the request/answer sequence that every
// call to the station goes through. Knows nothing of sockets.
#pragma once

#include "http_client.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdarg>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- session state -------------------------------------------------------

// A consistent copy of the process-wide session, taken under its lock when a
// call starts; the call then talks to the network without holding the lock.
struct session_view {
    std::string host;
    int port = 5000;
    int timeout_sec = 10;
    std::string sid;
    std::string did;
    bool connected = false;  // flag set and session id not empty
    http_security security;  // how every exchange of the session is secured
    // The station refused the older upload route with 101 in this session,
    // so uploads go straight to the current one.
    bool current_upload_route = false;
    unsigned long generation = 0;  // counts logins and logouts
};

session_view copy_session();
// Remembers for the session of that generation (not a later one) that
// uploads take the current route.
void use_current_upload_route(unsigned long generation);

// What ds_connect_with takes, read from its JSON options text.
struct connect_options {
    bool https = false;
    bool verify = true;
    std::string ca_file;
    std::string fingerprint_sha256;  // 64 lower-case hex digits, or ""
    std::string otp_code;
    std::string device_name;
    std::string device_id;

    // "system", "ca_file", "fingerprint" or "none".
    const char *verification() const;
    http_security security() const;
};

// false with error ("Invalid options: ...") when text is no valid options
// object; null and "" give the defaults.
bool parse_connect_options(const char *text, connect_options &out, std::string &error);

// ---- per-thread messages and results ---------------------------------------

constexpr size_t last_error_capacity = 1024;
// A result beyond this fails rather than exhausting the host's memory.
constexpr size_t result_limit = size_t{64} << 20;

__attribute__((format(printf, 1, 2))) void set_error(const char *format, ...);
__attribute__((format(printf, 1, 0))) void set_error_v(const char *format, va_list args);
void clear_error();
const char *last_error_text();

// The Web API error code's message; never null.
const char *syno_error_str(int code);

// "id=SID" or "id=SID; did=DID", built in the calling thread's cookie buffer;
// the empty text without a session id.
const char *get_cookie_header(const session_view &session);

// Copies text into the calling thread's result buffer, which grows to fit,
// and returns it. A text over result_limit records a message and returns
// failure_value instead.
const char *hand_over(std::string_view text, const char *failure_value);
// Takes a written JSON text into the calling thread's result buffer without a copy.
const char *hand_over(rapidjson::StringBuffer &&text, const char *failure_value);

// "Result too large" when text has grown past result_limit.
bool result_too_large(const rapidjson::StringBuffer &text);

// ---- JSON helpers -----------------------------------------------------------

using json_value = rapidjson::Value;

// Answers are parsed strictly (parse_answer_body); the iterative parser keeps
// deep nesting off the stack.
constexpr unsigned parse_flags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseFullPrecisionFlag |
                                 rapidjson::kParseIterativeFlag;

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
bool write_json(const json_value &value, rapidjson::StringBuffer &out);

// ---- values going into requests ---------------------------------------------

// Percent-encoded text ("" when memory runs out).
std::string url_encoded(const char *text);
// Drops every leading "/" and "\"; "personal" when nothing is left.
std::string_view normalize_destination(const char *destination);

// ---- task statuses ------------------------------------------------------------

// ASCII letter case ignored; nothing else is folded.
bool same_word_ignoring_case(std::string_view a, std::string_view b);
// status is present and is that word.
bool status_is(const char *status, std::string_view word);
// Selectors of the bulk actions; status is null when a task has no textual status.
int is_pausable(const char *status);            // any status but paused, finished, error
int is_completed_or_error(const char *status);  // finished or error
int is_resumable(const char *status);           // paused

// ---- task queries ------------------------------------------------------------

// The flattened task record of one station task: an object of 23 members in
// a fixed order, each present with a default when the task lacks it (task may
// be null or of any type). Its strings are not copied: they refer to the
// task's own strings or to static texts, so the task's document must outlive
// the written record. Only flat values are built, so Accept on it is safe.
json_value build_flattened_task_val(rapidjson::Document::AllocatorType &alloc, const json_value *task);

// Which tasks a list call takes, from the host's filter text: null, "" or
// "all" (any case) take every task; otherwise the words of the first 255
// bytes, split at ",;| " and trimmed of blanks, name the statuses taken,
// ASCII case ignored. Keeps its own copy; no position outlives the object.
class status_filter {
public:
    explicit status_filter(const char *filter);
    // status is the task's "status" string, or nullopt when it has none.
    bool matches(std::optional<std::string_view> status) const;

private:
    bool takes_all_ = true;
    std::vector<std::string> words_;
};

// Writes the array of the records of the tasks the filter takes, in their
// order, into out; tasks that is no array writes "[]". Stops, out unfinished,
// once out has grown past result_limit (see result_too_large).
void write_task_records(const json_value *tasks, const status_filter &filter, rapidjson::StringBuffer &out);

// ---- task commands --------------------------------------------------------------

// The URLs of a batch text: one per line, lines ended by any mix of CR and
// LF, blanks (isspace) around each trimmed, lines left empty dropped. The
// views point into urls.
std::vector<std::string_view> split_url_batch(std::string_view urls);
// The time-outs of the two uploads: the session's, but at least 15 seconds
// for a URL and 30 for a torrent file.
int add_url_timeout(int session_timeout_sec);
int add_torrent_timeout(int session_timeout_sec);

// ---- the request/answer sequence -------------------------------------------

// A call's three failure messages. transport takes the HTTP client's text,
// parse the answer's body (or "empty"), station the code and its text. A
// message marked in subject_first leads with the call's subject (a task id,
// a method, a folder path) before those values.
struct call_words {
    const char *transport;  // a null message records nothing
    const char *parse;
    const char *station;
    unsigned subject_first = 0;
    const char *empty_body = nullptr;  // when set, an empty body fails with it before parsing
};
constexpr unsigned transport_subject = 1, parse_subject = 2, station_subject = 4;

struct request {
    const char *method = "GET";
    std::string path;                    // GET paths get "&_sid=" and the session id appended
    const char *content_type = nullptr;  // set for the two POST calls, which carry _sid in body
    const char *body = nullptr;
    size_t body_len = 0;
    int timeout_sec = 0;                 // 0: the session's time-out
    bool with_session = true;            // false for the login: no _sid, no Cookie
};

// One judged answer: parsed document and, on success, the station's data.
struct answer {
    scoped_response response;
    http_peer peer;  // what the exchange saw of the station's certificate
    rapidjson::Document document;
    const json_value *root = nullptr;
    const json_value *data = nullptr;  // root's "data" member on success, possibly null
    // -1 after a transport or parse failure, else the station's error code
    // (0 when it gave none) after a refusal.
    int code = -1;
    int failure_status() const { return code > 0 ? code : -1; }
};

// What a call shares from its start to its end: the emptied last error and
// its own copy of the session.
class call_scope {
public:
    call_scope();
    const session_view &session() const { return session_; }
    // Records "Not connected to NAS" and returns false when not connected.
    bool connected() const;
    // Sends the request once and judges the envelope. Returns true when the
    // station answered success true; otherwise records the one message of
    // the step that failed and returns false.
    bool send(const request &req, const call_words &words, answer &out,
              const char *subject = nullptr) const;
    // The exchange and parse alone, with the words' messages; no judging of success.
    bool exchange(const request &req, const call_words &words, answer &out,
                  const char *subject = nullptr) const;

private:
    session_view session_;
};

// The answer's envelope, apart from any I/O. parse_answer_body parses
// strictly and fails on an empty body or a NUL byte in it; station_code is
// the integer error.code of a refusal, 0 when the station gave none.
bool parse_answer_body(const char *body, size_t len, rapidjson::Document &document);
int station_code(const json_value *root);

// Writes data (or "{}" when absent) and hands it over.
const char *hand_over_json(const json_value *data, const char *failure_value);

// ---- the C boundary ----------------------------------------------------------

// Runs an exported call's body; an escaping std::bad_alloc becomes the
// failure value and "Out of memory". No exception crosses into the host.
template <class Result, class Body>
Result guarded(Result failure_value, Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        set_error("Out of memory");
        return failure_value;
    }
}
