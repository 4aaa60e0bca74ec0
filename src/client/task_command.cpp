// Task commands: pause, resume and delete by id and in bulk, adding
// downloads by URL and by batch, and uploading a torrent file.
#include "synology_ds.h"
#include "synology.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr const char *task_path = "/webapi/DownloadStation/task.cgi";
constexpr const char *task_query = "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1";

// A bulk action spreads its ids over as many requests as it takes to keep
// each request line ("GET ", the path, " HTTP/1.1" and CR LF) within 8 KiB:
// common web servers refuse longer ones, and the station sits behind one.
constexpr size_t request_line_limit = 8192;
constexpr size_t request_line_overhead = sizeof("GET  HTTP/1.1\r\n") - 1;

constexpr int add_url_min_timeout_sec = 15;
constexpr int add_torrent_min_timeout_sec = 30;
constexpr long torrent_size_limit = 20L << 20;
constexpr const char *boundary = "----BrBoundary98234710293847";
constexpr const char *multipart_type = "multipart/form-data; boundary=----BrBoundary98234710293847";

const call_words action_words = {"HTTP %s failed: %s", "Failed to parse %s JSON response: %s",
                                 "%s failed (code %d: %s)",
                                 transport_subject | parse_subject | station_subject};
// The bulk listing records nothing for an unparsable answer and never looks at success.
const call_words bulk_list_words = {"HTTP list request failed: %s", nullptr, nullptr};
const call_words add_url_words = {"HTTP add url failed: %s", "Failed to parse add_url JSON response: %s",
                                  "Add URL failed (code %d: %s)"};
const call_words add_torrent_words = {"HTTP add torrent failed: %s",
                                      "Failed to parse add_torrent JSON response: %s",
                                      "Add torrent failed (code %d: %s)"};

// ---- actions on tasks -------------------------------------------------------

// The path without "&_sid=", which the sequence appends.
std::string action_path(const char *method, std::string_view encoded_ids, const char *extra)
{
    std::string path(task_query);
    path.append("&method=").append(method).append("&id=").append(encoded_ids);
    if (extra) path.append("&").append(extra);
    return path;
}

// The station answers an action on several ids with success true and one
// result per task in data; the first non-zero error there fails the action.
int first_task_failure(const json_value *data, const char *method)
{
    if (!data || !data->IsArray()) return 0;
    for (const json_value &task : data->GetArray()) {
        const json_value *error = member(&task, "error");
        const int code = is_integer(error) ? int32_or_zero(error) : 0;
        if (code == 0) continue;
        const char *id = string_or_null(member(&task, "id"));
        set_error("Task %s %s failed (code %d: %s)", id ? id : "", method, code, syno_error_str(code));
        return code;
    }
    return 0;
}

// One action request; 0, the station's code, or -1.
int send_task_action(const call_scope &call, const char *method, std::string_view encoded_ids,
                     const char *extra)
{
    request action;
    action.path = action_path(method, encoded_ids, extra);
    answer a;
    if (!call.send(action, action_words, a, method)) return a.failure_status();
    return first_task_failure(a.data, method);
}

// ids is the caller's list, one id or several joined by ",", sent as one value.
int perform_task_action(const call_scope &call, const char *method, const char *ids, const char *extra)
{
    if (!call.connected()) return -1;
    if (!ids || !*ids) {
        set_error("Task IDs cannot be empty");
        return -1;
    }
    return send_task_action(call, method, url_encoded(ids), extra);
}

// The ids of the listed tasks whose status selects accepts, in the station's
// order: their count, or -1 when the listing failed.
int collect_task_ids(const call_scope &call, int (*selects)(const char *status),
                     std::vector<std::string> &ids)
{
    ids.clear();
    if (!call.connected()) return -1;
    request listing;
    listing.path = std::string(task_query) + "&method=list";
    answer a;
    if (!call.exchange(listing, bulk_list_words, a)) return -1;
    const json_value *tasks = member(member(a.root, "data"), "tasks");
    if (!tasks || !tasks->IsArray()) return 0;
    for (const json_value &task : tasks->GetArray()) {
        std::string_view id = string_or_empty(member(&task, "id"));
        // An id holding a NUL byte cannot be named whole; cut, it might name another task.
        if (id.empty() || id.find('\0') != std::string_view::npos) continue;
        if (!selects(string_or_null(member(&task, "status")))) continue;
        ids.emplace_back(id);
    }
    return static_cast<int>(ids.size());
}

// The ids encoded and joined by "%2C" (an encoded ","), in groups that each
// fit in room bytes; an id too long for any group goes alone.
std::vector<std::string> group_ids(const std::vector<std::string> &ids, size_t room)
{
    std::vector<std::string> groups;
    std::string group;
    for (const std::string &id : ids) {
        const std::string encoded = url_encoded(id.c_str());
        if (!group.empty() && group.size() + 3 + encoded.size() > room) {
            groups.push_back(std::move(group));
            group.clear();
        }
        if (!group.empty()) group.append("%2C");
        group.append(encoded);
    }
    if (!group.empty()) groups.push_back(std::move(group));
    return groups;
}

// Lists the tasks and acts on every one that selects accepts: their number,
// 0 when none was selected (nothing more is sent), or -1.
int act_on_selected(int (*selects)(const char *status), const char *method, const char *extra)
{
    call_scope call;
    std::vector<std::string> ids;
    const int selected = collect_task_ids(call, selects, ids);
    if (selected <= 0) return selected;
    const size_t fixed = request_line_overhead + action_path(method, "", extra).size() +
                         sizeof("&_sid=") - 1 + call.session().sid.size();
    const size_t room = fixed < request_line_limit ? request_line_limit - fixed : 0;
    for (const std::string &group : group_ids(ids, room)) {
        if (send_task_action(call, method, group, extra) != 0) return -1;
    }
    return selected;
}

// ---- adding by URL -------------------------------------------------------------

request form_post(const std::string &body, const char *content_type, int timeout_sec)
{
    request post;
    post.method = "POST";
    post.path = task_path;
    post.content_type = content_type;
    post.body = body.data();
    post.body_len = body.size();
    post.timeout_sec = timeout_sec;
    return post;
}

int add_url(const call_scope &call, const char *url, const char *destination)
{
    if (!url || !*url) {
        set_error("URL cannot be empty");
        return -1;
    }
    // The normalised destination is a tail of the caller's text or a literal, so NUL-terminated.
    std::string folder = url_encoded(normalize_destination(destination).data());
    if (folder.empty()) folder = "personal";
    const std::string form = "api=SYNO.DownloadStation.Task&version=1&method=create&uri=" +
                             url_encoded(url) + "&destination=" + folder +
                             "&_sid=" + url_encoded(call.session().sid.c_str());
    answer a;
    if (!call.send(form_post(form, "application/x-www-form-urlencoded",
                             add_url_timeout(call.session().timeout_sec)),
                   add_url_words, a))
        return a.failure_status();
    return 0;
}

int add_one_url(const char *url, const char *destination)
{
    call_scope call;
    if (!call.connected()) return -1;
    return add_url(call, url, destination);
}

// Each URL is added on its own, its message replacing the one before, so the
// last error afterwards is that of the last URL tried.
int add_url_batch(const char *urls, const char *destination)
{
    call_scope call;
    if (!call.connected()) return -1;
    if (!urls || !*urls) {
        set_error("URLs list cannot be empty");
        return -1;
    }
    const std::vector<std::string_view> lines = split_url_batch(urls);
    if (lines.empty()) {
        set_error("No valid URLs found in batch");
        return -1;
    }
    int added = 0;
    for (std::string_view line : lines) {
        clear_error();
        if (add_url(call, std::string(line).c_str(), destination) == 0) ++added;
    }
    return added;
}

// ---- adding a torrent file ----------------------------------------------------

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using open_file = std::unique_ptr<std::FILE, file_closer>;
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using heap_buffer = std::unique_ptr<char, free_deleter>;

// -1 when the size cannot be told.
long file_size(std::FILE *file)
{
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return size;
}

// The part after the last "/" or "\", with the three bytes escaped that
// browsers escape in an upload's file name: raw, a quote would end the
// quoted name and a line break the part's header line.
std::string upload_file_name(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    std::string escaped;
    for (; *name; ++name) {
        if (*name == '"') escaped += "%22";
        else if (*name == '\r') escaped += "%0D";
        else if (*name == '\n') escaped += "%0A";
        else escaped += *name;
    }
    return escaped;
}

void append_part(std::string &head, const char *name, std::string_view value)
{
    head.append("--").append(boundary).append("\r\n");
    head.append("Content-Disposition: form-data; name=\"").append(name).append("\"\r\n\r\n");
    head.append(value).append("\r\n");
}

// Every part before the file's bytes, the file part's own head included.
std::string multipart_head(std::string_view destination, const std::string &sid,
                           const std::string &file_name)
{
    std::string head;
    append_part(head, "api", "SYNO.DownloadStation.Task");
    append_part(head, "version", "1");
    append_part(head, "method", "create");
    append_part(head, "destination", destination);
    append_part(head, "_sid", sid);
    head.append("--").append(boundary).append("\r\n");
    head.append("Content-Disposition: form-data; name=\"file\"; filename=\"").append(file_name).append("\"\r\n");
    head.append("Content-Type: application/x-bittorrent\r\n\r\n");
    return head;
}

std::string multipart_tail() { return std::string("\r\n--") + boundary + "--\r\n"; }

// The whole body in one buffer, the file read straight into its middle, so
// an upload holds its file's bytes once. Null after recording why not.
heap_buffer upload_body(const char *path, const std::string &head, size_t &body_len)
{
    open_file file(std::fopen(path, "rb"));
    if (!file) {
        set_error("Failed to open torrent file: %s", path);
        return nullptr;
    }
    const long size = file_size(file.get());
    if (size < 1 || size > torrent_size_limit) {
        set_error("Invalid torrent file size: %ld", size);
        return nullptr;
    }
    const std::string tail = multipart_tail();
    body_len = head.size() + static_cast<size_t>(size) + tail.size();
    heap_buffer body(static_cast<char *>(std::malloc(body_len)));
    if (!body) {
        set_error("Out of memory reading torrent file");
        return nullptr;
    }
    std::memcpy(body.get(), head.data(), head.size());
    if (std::fread(body.get() + head.size(), 1, static_cast<size_t>(size), file.get()) !=
        static_cast<size_t>(size)) {
        set_error("Failed to read complete torrent file");
        return nullptr;
    }
    std::memcpy(body.get() + head.size() + size, tail.data(), tail.size());
    return body;
}

int add_torrent(const char *path, const char *destination)
{
    call_scope call;
    if (!call.connected()) return -1;
    if (!path || !*path) {
        set_error("File path cannot be empty");
        return -1;
    }
    // The destination goes unencoded into its part: a line break could start a forged part.
    if (destination && std::strpbrk(destination, "\r\n")) {
        set_error("Destination cannot contain line breaks");
        return -1;
    }
    const std::string head = multipart_head(normalize_destination(destination), call.session().sid,
                                            upload_file_name(path));
    size_t body_len = 0;
    heap_buffer body = upload_body(path, head, body_len);
    if (!body) return -1;
    request upload;
    upload.method = "POST";
    upload.path = task_path;
    upload.content_type = multipart_type;
    upload.body = body.get();
    upload.body_len = body_len;
    upload.timeout_sec = add_torrent_timeout(call.session().timeout_sec);
    answer a;
    return call.send(upload, add_torrent_words, a) ? 0 : a.failure_status();
}

}  // namespace

std::vector<std::string_view> split_url_batch(std::string_view urls)
{
    auto is_blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < urls.size()) {
        if (is_blank(urls[at])) {
            ++at;
            continue;
        }
        size_t end = std::min(urls.find_first_of("\r\n", at), urls.size());
        size_t last = end;
        while (is_blank(urls[last - 1])) --last;
        lines.push_back(urls.substr(at, last - at));
        at = end;
    }
    return lines;
}

int add_url_timeout(int session_timeout_sec) { return std::max(session_timeout_sec, add_url_min_timeout_sec); }

int add_torrent_timeout(int session_timeout_sec)
{
    return std::max(session_timeout_sec, add_torrent_min_timeout_sec);
}

int ds_pause(const char *task_ids)
{
    return guarded(-1, [&] { return perform_task_action(call_scope(), "pause", task_ids, nullptr); });
}

int ds_resume(const char *task_ids)
{
    return guarded(-1, [&] { return perform_task_action(call_scope(), "resume", task_ids, nullptr); });
}

int ds_delete(const char *task_ids, int force_complete)
{
    const char *extra = force_complete ? "force_complete=true" : "force_complete=false";
    return guarded(-1, [&] { return perform_task_action(call_scope(), "delete", task_ids, extra); });
}

int ds_pause_all(void)
{
    return guarded(-1, [] { return act_on_selected(is_pausable, "pause", nullptr); });
}

int ds_resume_all(void)
{
    return guarded(-1, [] { return act_on_selected(is_resumable, "resume", nullptr); });
}

int ds_delete_completed(void)
{
    return guarded(-1, [] { return act_on_selected(is_completed_or_error, "delete", "force_complete=false"); });
}

int ds_add_url(const char *url, const char *destination)
{
    return guarded(-1, [&] { return add_one_url(url, destination); });
}

int ds_add_urls(const char *urls, const char *destination)
{
    return guarded(-1, [&] { return add_url_batch(urls, destination); });
}

int ds_add_torrent(const char *file_path, const char *destination)
{
    return guarded(-1, [&] { return add_torrent(file_path, destination); });
}
