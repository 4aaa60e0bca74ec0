// The Web API layer's one internal header: session state, per-thread
// buffers, messages and the request/answer sequence that every call to the
// station goes through. Knows nothing of sockets.
#pragma once

#include "http_client.h"
#include "json_values.h"
#include "web_api_paths.h"

#include <cstdarg>
#include <cstdint>
#include <exception>
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
    int timeout_sec = http_default_timeout_sec;
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

__attribute__((format(printf, 1, 2))) void set_error(const char *format, ...);
__attribute__((format(printf, 1, 0))) void set_error_v(const char *format, va_list args);
void clear_error();
const char *last_error_text();
// "Result too large (over 64 MiB)".
void record_result_too_large();

// The Web API error code's message; never null.
const char *syno_error_str(int code);
// The sign-in service's own meaning of its codes (100 to 119 and codes it
// does not name: syno_error_str's).
const char *sign_in_error_str(int code);

// "id=SID" or "id=SID; did=DID", built in the calling thread's cookie buffer;
// the empty text without a session id.
const char *get_cookie_header(const session_view &session);

// Copies text into the calling thread's result buffer, which grows to fit,
// and returns it. A text over result_limit records a message and returns
// failure_value instead.
const char *hand_over(std::string_view text, const char *failure_value);
// Takes a written JSON text into the calling thread's result buffer without a copy.
const char *hand_over(json_text &&text, const char *failure_value);

// ---- values going into requests ---------------------------------------------

// Percent-encoded text; throws std::bad_alloc when memory runs out, so a
// request never goes out with a value missing.
std::string url_encoded(const char *text);
// The caller's destination without its leading "/" and ""; empty when
// none was given or nothing is left.
std::string_view destination_folder(const char *destination);

// ---- task statuses ------------------------------------------------------------

// A task's "status" when it is a string, its whole length counting (a NUL
// byte inside included); nullopt when it has no textual status.
using task_status = std::optional<std::string_view>;

// ASCII letter case ignored; nothing else is folded.
bool same_word_ignoring_case(std::string_view a, std::string_view b);
// status is present and is that word.
bool status_is(task_status status, std::string_view word);
// Selectors of the bulk actions.
bool is_pausable(task_status status);            // any textual status but paused, finished, error
bool is_completed_or_error(task_status status);  // finished or error
bool is_resumable(task_status status);           // paused

// ---- task queries ------------------------------------------------------------

task_status status_of(const json_value *task);

// The flattened task record of one station task: an object of 23 members in
// a fixed order, each present with a default when the task lacks it (task may
// be null or of any type). Its strings are not copied: they refer to the
// task's own strings or to static texts, so the task's document must outlive
// the written record. Only flat values are built, so Accept on it is safe.
json_value build_flattened_task_val(json_pool &alloc, const json_value *task);

// Which tasks a list call takes, from the host's filter text: null, "" or
// "all" (any case) take every task; otherwise the words of the first 255
// bytes, split at ",;| " and trimmed of blanks, name the statuses taken,
// ASCII case ignored. Keeps its own copy; no position outlives the object.
class status_filter {
public:
    explicit status_filter(const char *filter);
    bool matches(task_status status) const;

private:
    bool takes_all_ = true;
    std::vector<std::string> words_;
};

// Writes the array of the records of the tasks the filter takes, in their
// order, into out; tasks that is no array writes "[]". Stops, out unfinished,
// once out has grown past result_limit (see result_too_large).
void write_task_records(const json_value *tasks, const status_filter &filter, json_text &out);

// ---- task commands --------------------------------------------------------------

// The URLs of a batch text: one per line, lines ended by any mix of CR and
// LF, blanks (isspace) around each trimmed, lines left empty dropped. The
// views point into urls.
std::vector<std::string_view> split_url_batch(std::string_view urls);

// ---- the request/answer sequence -------------------------------------------

// A call's failure messages. Each records its message with a format the
// compiler checks; subject is what the call is about (a task id, a method,
// a folder path) for the messages that name it, and the others ignore it.
// A null message records nothing.
struct call_words {
    void (*transport)(const char *subject, const char *why) = nullptr;
    void (*parse)(const char *subject, const char *body) = nullptr;
    void (*station)(const char *subject, int code, const char *meaning) = nullptr;
    // The meaning of the station's codes for this call's service.
    const char *(*code_meaning)(int code) = syno_error_str;
    // The station's "errors" detail follows the code's meaning ("Synology
    // error; destination: required").
    bool with_detail = false;
    // When set, an empty body fails with it before parsing.
    const char *empty_body = nullptr;
    // A task the station refused within an action on several (the task's id
    // and the call's subject, its method).
    void (*task_refused)(const char *task_id, const char *method, int code, const char *meaning) = nullptr;
};

struct request {
    const char *method = "GET";
    std::string path;                    // GET paths get "&_sid=" and the session id appended
    const char *content_type = nullptr;  // set for the POST calls, which carry _sid elsewhere
    const char *body = nullptr;
    size_t body_len = 0;
    int timeout_sec = 0;                 // 0: the session's time-out
    bool with_session = true;            // false for the login: no _sid, no Cookie
};

// The length of an answer's body; 0 when it has none.
size_t body_length(const http_response &response);

// One judged answer: parsed document and, on success, the station's data.
struct answer {
    scoped_response response;
    http_peer peer;  // what the exchange saw of the station's certificate
    json_document document;
    const json_value *root = nullptr;
    const json_value *data = nullptr;  // root's "data" member on success, possibly null
    // -1 after a transport or parse failure, else the station's error code
    // (0 when it gave none) after a refusal.
    int code = -1;
    int failure_status() const { return code > 0 ? code : -1; }
};

// What reading an answer as it was parsed found of its envelope.
struct envelope_reading {
    bool parsed = false;   // one valid JSON value, as parse_answer_body judges
    bool success = false;  // the root's first "success" is true
    int code = 0;          // station_code's reading of the root
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
    // The exchange alone, with the words' messages: out.response holds the
    // answer as it arrived, for a call that reads it without a document.
    bool fetch(const request &req, const call_words &words, answer &out,
               const char *subject = nullptr) const;

private:
    session_view session_;
};

// Judges an answer read without a document as send judges a parsed one,
// with the same messages (though a refusal's message never quotes the
// station's "errors" detail): true when the station answered success.
// body is the answer's text as a parse failure's message quotes it (at
// least last_error_capacity bytes of it, NUL-terminated), body_len its
// whole length.
bool judge_envelope(const envelope_reading &reading, const char *body, size_t body_len, const call_words &words,
                    const char *subject = nullptr);
// The integer error.code of a refusal, 0 when the station gave none.
int station_code(const json_value *root);
// The station's "errors" detail of a refusal as text ("destination:
// required"), "" when it gave none.
std::string errors_detail(const json_value *root);
// An action on several tasks answers success with one result per task in
// data: the first non-zero error there is recorded with words.task_refused
// and returned; 0 when every task was acted on.
int first_task_refusal(const json_value *data, const call_words &words, const char *method);

// ---- task answers read as they are parsed ----------------------------------------

// What the list and lookup calls found reading their answer as it was
// parsed, without a document: the same judgement as a parsed document's
// root, data.tasks and its first element would give.
struct task_reading {
    envelope_reading envelope;
    bool has_task = false;   // data.tasks is an array with an element
    bool too_large = false;  // the records written outgrew result_limit
};

// Writes the array of the records of data.tasks that filter takes into out
// while the body is read, before the envelope is known: out holds the
// answer's list only when the envelope says success and it is not too
// large. Writing stops past result_limit; reading goes on to the end, for a
// later fault of the body or a refusal. The body (len bytes and a NUL after
// them, as an exchange hands it over) is read in place: its text changes.
task_reading read_task_list(char *body, size_t len, const status_filter &filter, json_text &out);
// Writes the record of data.tasks' first element into out while the body
// is read in place; further elements are read past.
task_reading read_first_task(char *body, size_t len, json_text &out);

// The list and lookup calls once their answer has arrived: the call's
// result, or its failure value with the call's message recorded. The
// answer's body is read in place.
const char *tasks_of_answer(http_response &response, const char *filter_text);
const char *task_of_answer(http_response &response, const char *task_id);

// ---- calls other calls build on ------------------------------------------------

// Asks the station for its settings as ds_get_default_destination does, with
// its messages; true with the settings in out.data.
bool read_default_destination(const call_scope &call, answer &out);

// ---- the C boundary ----------------------------------------------------------

// Runs an exported call's body; no exception crosses into the host. Memory
// running out becomes the failure value and "Out of memory"; anything else
// (a fault of the library's own) "Internal error: " and what it says.
template <class Result, class Body>
Result guarded(Result failure_value, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        set_error("Out of memory");
    } catch (const std::exception &e) {
        set_error("Internal error: %s", e.what());
    } catch (...) {
        set_error("Internal error");
    }
    return failure_value;
}
