// Task queries: the flattened task record, the status filter, and the list
// and lookup calls that hand records to the host.
#include "synology_ds.h"
#include "synology.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <limits>

namespace {

using rapidjson::StringRef;

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

// A flattened record takes under 1 KiB of values (its strings are references),
// so one record fits this buffer, and clearing it between records frees nothing.
constexpr size_t record_pool_bytes = 4096;

struct record_pool {
    alignas(std::max_align_t) char bytes[record_pool_bytes];
    json_pool values{bytes, sizeof bytes};
};

// The figures of a task the derived members are computed from.
struct task_figures {
    int64_t size_total, size_downloaded, size_uploaded, speed_download;
};

double progress(const task_figures &f, task_status status)
{
    if (status_is(status, "finished")) return 1.0;
    if (f.size_downloaded <= 0 || f.size_total <= 0) return 0.0;
    double ratio = static_cast<double>(f.size_downloaded) / static_cast<double>(f.size_total);
    return ratio > 1.0 ? 1.0 : ratio;
}

int64_t eta_seconds(const task_figures &f, task_status status)
{
    bool moving = status_is(status, "downloading") || status_is(status, "waiting");
    if (!moving || f.speed_download <= 0 || f.size_total <= f.size_downloaded) return -1;
    // The difference is taken unsigned: with a negative amount downloaded it
    // would overflow a signed 64-bit value. A quotient beyond the signed
    // range is capped at its largest value.
    uint64_t left = static_cast<uint64_t>(f.size_total) - static_cast<uint64_t>(f.size_downloaded);
    uint64_t seconds = left / static_cast<uint64_t>(f.speed_download);
    constexpr uint64_t most = std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(seconds > most ? most : seconds);
}

// Uploaded relative to the total size, or to the downloaded amount when the size is unknown.
double seed_ratio(const task_figures &f)
{
    if (f.size_uploaded <= 0) return 0.0;
    if (f.size_total > 0) return static_cast<double>(f.size_uploaded) / static_cast<double>(f.size_total);
    if (f.size_downloaded > 0)
        return static_cast<double>(f.size_uploaded) / static_cast<double>(f.size_downloaded);
    return 0.0;
}

// The error code is read only for a task in error; a code of another type reads as 0.
const char *error_detail(const json_value *detail, task_status status)
{
    if (!status_is(status, "error")) return "";
    const json_value *code = member(detail, "error_code");
    return code ? syno_error_str(int32_or_zero(code)) : "Download error";
}

// Adds members in call order; keys are static texts, strings are references.
class record_builder {
public:
    record_builder(json_value &record, json_pool &alloc) : record_(record), alloc_(alloc) {}
    // An absent text (a view without data) is written as "".
    void text(const char *key, std::string_view value)
    {
        if (!value.data()) value = "";
        add(key, json_value(StringRef(value.data(), static_cast<rapidjson::SizeType>(value.size()))));
    }
    void integer(const char *key, int64_t value) { add(key, json_value(value)); }
    void integer32(const char *key, int32_t value) { add(key, json_value(value)); }
    void real(const char *key, double value) { add(key, json_value(value)); }

private:
    void add(const char *key, json_value &&value)
    {
        json_value name(StringRef(key));
        record_.AddMember(name, value, alloc_);
    }
    json_value &record_;
    json_pool &alloc_;
};

std::string_view text_of(const json_value *object, std::string_view key)
{
    return string_or_empty(member(object, key));
}

int64_t integer_of(const json_value *object, std::string_view key)
{
    return int64_or_zero(member(object, key));
}

int32_t integer32_of(const json_value *object, std::string_view key)
{
    return int32_or_zero(member(object, key));
}

// The record is flat, so Accept does not recurse into station values.
void write_record(const json_value *task, record_pool &pool,
                  json_writer &writer)
{
    build_flattened_task_val(pool.values, task).Accept(writer);
    pool.values.Clear();
}

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
    if (!call.send(list_request(), list_words, a)) return "[]";
    status_filter filter(filter_text);
    json_text out;
    write_task_records(member(a.data, "tasks"), filter, out);
    return hand_over(std::move(out), "[]");
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
    if (!call.send(get_task_request(task_id), get_task_words, a, task_id)) return "{}";
    const json_value *tasks = member(a.data, "tasks");
    if (!tasks || !tasks->IsArray() || tasks->Empty()) {
        set_error("Task %s not found in tasks array", task_id);
        return "{}";
    }
    // Further tasks are ignored, and the first one's id is not compared with task_id.
    record_pool pool;
    json_text out;
    json_writer writer(out);
    write_record(&(*tasks)[0], pool, writer);
    return hand_over(std::move(out), "{}");
}

}  // namespace

json_value build_flattened_task_val(json_pool &alloc, const json_value *task)
{
    const json_value *additional = member(task, "additional");
    const json_value *transfer = member(additional, "transfer");
    const json_value *detail = member(additional, "detail");
    const task_status status = status_of(task);
    const task_figures f = {integer_of(task, "size"), integer_of(transfer, "size_downloaded"),
                            integer_of(transfer, "size_uploaded"),
                            integer_of(transfer, "speed_download")};

    json_value record(rapidjson::kObjectType);
    record_builder add(record, alloc);
    add.text("id", text_of(task, "id"));
    add.text("title", text_of(task, "title"));
    add.text("status", status.value_or(""));
    add.text("type", text_of(task, "type"));
    add.integer("size_total", f.size_total);
    add.integer("size_downloaded", f.size_downloaded);
    add.integer("size_uploaded", f.size_uploaded);
    add.integer("speed_download", f.speed_download);
    add.integer("speed_upload", integer_of(transfer, "speed_upload"));
    add.text("destination", text_of(detail, "destination"));
    add.text("username", text_of(task, "username"));
    add.integer("create_time", integer_of(detail, "create_time"));
    add.integer("started_time", integer_of(detail, "started_time"));
    add.integer("completed_time", integer_of(detail, "completed_time"));
    add.real("progress", progress(f, status));
    add.integer("eta_seconds", eta_seconds(f, status));
    add.real("seed_ratio", seed_ratio(f));
    add.text("error_detail", error_detail(detail, status));
    add.text("uri", text_of(detail, "uri"));
    add.integer32("connected_peers", integer32_of(detail, "connected_peers"));
    add.integer32("connected_seeders", integer32_of(detail, "connected_seeders"));
    add.integer32("connected_leechers", integer32_of(detail, "connected_leechers"));
    add.integer32("total_peers", integer32_of(detail, "total_peers"));
    return record;
}

// Each record is built in a small pool, written and dropped before the next,
// so memory follows the written text, never the number of tasks.
void write_task_records(const json_value *tasks, const status_filter &filter, json_text &out)
{
    json_writer writer(out);
    record_pool pool;
    writer.StartArray();
    if (tasks && tasks->IsArray()) {
        for (const json_value &task : tasks->GetArray()) {
            if (!filter.matches(status_of(&task))) continue;
            write_record(&task, pool, writer);
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
