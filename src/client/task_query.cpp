// Task queries: the status filter, and the list and lookup calls that hand
// flattened task records to the host.
#include "synology_ds.h"
#include "synology.h"
#include "task_record.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>

namespace {

const call_words list_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP list request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse list JSON: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("List tasks failed (code %d: %s)", code, meaning);
    },
};
const call_words get_task_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP get task request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse get task JSON: %s", body); },
    .station = [](const char *task_id, int code, const char *meaning) {
        set_error("Task %s not found (code %d: %s)", task_id, code, meaning);
    },
};

constexpr size_t filter_capacity = 255;
constexpr const char *filter_separators = ",;| ";

// ---- the filter -------------------------------------------------------------

bool is_separator(char c) { return std::string_view(filter_separators).find(c) != std::string_view::npos; }

std::string_view trimmed(std::string_view word)
{
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.front()))) word.remove_prefix(1);
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.remove_suffix(1);
    return word;
}

// ---- the calls ---------------------------------------------------------------

request list_request()
{
    request req;
    req.path = std::string(task_query_path) + "&method=list" + task_details;
    return req;
}

request get_task_request(const char *task_id)
{
    request req;
    req.path = std::string(task_query_path) + "&method=getinfo&id=" + url_encoded(task_id) + task_details;
    return req;
}

const char *list_tasks(const char *filter_text)
{
    call_scope call;
    if (!call.connected()) return "[]";
    answer a;
    if (!call.fetch(list_request(), list_words, a)) return "[]";
    return tasks_of_answer(a.response, filter_text);
}

const char *get_task(const char *task_id)
{
    call_scope call;
    if (!call.connected()) return "{}";
    if (!task_id || !*task_id) {
        set_error("Task ID cannot be empty");
        return "{}";
    }
    answer a;
    if (!call.fetch(get_task_request(task_id), get_task_words, a, task_id)) return "{}";
    return task_of_answer(a.response, task_id);
}

// The beginning of an answer as a parse failure's message quotes it, kept
// before the body is read in place: no message holds more.
std::string quotable_text(const http_response &response)
{
    return std::string(response.body ? response.body : "", std::min(body_length(response), last_error_capacity));
}

}  // namespace

// The answer is read as it is parsed, without a document: memory follows
// the answer and the written text.
const char *tasks_of_answer(http_response &response, const char *filter_text)
{
    const status_filter filter(filter_text);
    const std::string quotable = quotable_text(response);
    json_text out;
    const task_reading reading = read_task_list(response.body, body_length(response), filter, out);
    if (!judge_envelope(reading.envelope, quotable.c_str(), body_length(response), list_words)) return "[]";
    if (reading.too_large) {
        record_result_too_large();
        return "[]";
    }
    return hand_over(std::move(out), "[]");
}

// Further tasks are ignored, and the first one's id is not compared with task_id.
const char *task_of_answer(http_response &response, const char *task_id)
{
    const std::string quotable = quotable_text(response);
    json_text out;
    const task_reading reading = read_first_task(response.body, body_length(response), out);
    if (!judge_envelope(reading.envelope, quotable.c_str(), body_length(response), get_task_words, task_id))
        return "{}";
    if (!reading.has_task) {
        set_error("Task %s not found in tasks array", task_id);
        return "{}";
    }
    return hand_over(std::move(out), "{}");
}

// Each record is written as it is read, so memory follows the written text,
// never the number of tasks.
void write_task_records(const json_value *tasks, const status_filter &filter, json_text &out)
{
    json_writer writer(out);
    writer.StartArray();
    if (tasks && tasks->IsArray()) {
        for (const json_value &task : tasks->GetArray()) {
            if (!filter.matches(status_of(&task))) continue;
            emit_task_record(read_task_fields(&task), writer);
            if (result_too_large(out)) return;
        }
    }
    writer.EndArray();
}

status_filter::status_filter(const char *filter)
{
    if (!filter || !*filter || same_word_ignoring_case({filter, strnlen(filter, 4)}, "all")) return;
    takes_all_ = false;
    // Only the first filter_capacity bytes count. The words are copied out,
    // and the position lives in this loop alone.
    std::string_view rest(filter, strnlen(filter, filter_capacity));
    while (!rest.empty()) {
        if (is_separator(rest.front())) {
            rest.remove_prefix(1);
            continue;
        }
        size_t end = 0;
        while (end < rest.size() && !is_separator(rest[end])) ++end;
        words_.emplace_back(trimmed(rest.substr(0, end)));
        rest.remove_prefix(end);
    }
}

bool status_filter::matches(task_status status) const
{
    if (takes_all_) return true;
    if (!status) return false;
    for (const std::string &word : words_)
        if (same_word_ignoring_case(*status, word)) return true;
    return false;
}

const char *ds_list_tasks_filtered(const char *statuses)
{
    return guarded("[]", [&] { return list_tasks(statuses); });
}

const char *ds_list_tasks(void) { return ds_list_tasks_filtered(nullptr); }

const char *ds_get_task(const char *task_id)
{
    return guarded("{}", [&] { return get_task(task_id); });
}
