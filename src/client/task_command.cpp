// Task commands: pause, resume and delete by id and in bulk, adding
// downloads by URL and by batch, and uploading a torrent file.
#include "synology_ds.h"
#include "synology.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

constexpr int add_url_min_timeout_sec = 15;
constexpr int add_torrent_min_timeout_sec = 30;
constexpr long torrent_size_limit = 20L << 20;
constexpr const char *boundary = "----BrBoundary98234710293847";
constexpr const char *multipart_type = "multipart/form-data; boundary=----BrBoundary98234710293847";
// The station refuses the older upload route with this code once it only
// takes uploads on the current one.
constexpr int retired_route_code = 101;

const call_words action_words = {
    .transport = [](const char *method, const char *why) { set_error("HTTP %s failed: %s", method, why); },
    .parse = [](const char *method, const char *body) {
        set_error("Failed to parse %s JSON response: %s", method, body);
    },
    .station = [](const char *method, int code, const char *meaning) {
        set_error("%s failed (code %d: %s)", method, code, meaning);
    },
    .task_refused = [](const char *task_id, const char *method, int code, const char *meaning) {
        set_error("Task %s %s failed (code %d: %s)", task_id, method, code, meaning);
    },
};
// The bulk listing never looks at success; an answer that is no JSON fails
// with the list call's words.
const call_words bulk_list_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP list request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse list JSON: %s", body); },
};
const call_words add_url_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP add url failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse add_url JSON response: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Add URL failed (code %d: %s)", code, meaning);
    },
};
const call_words add_torrent_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP add torrent failed: %s", why); },
    .parse = [](const char *, const char *body) {
        set_error("Failed to parse add_torrent JSON response: %s", body);
    },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Add torrent failed (code %d: %s)", code, meaning);
    },
};
// The current route says what it wanted in its "errors" detail.
const call_words current_upload_words = [] {
    call_words words = add_torrent_words;
    words.with_detail = true;
    return words;
}();

// ---- actions on tasks -------------------------------------------------------

// The path without "&_sid=", which the sequence appends.
std::string action_path(const char *method, std::string_view encoded_ids, const char *extra)
{
    std::string path(task_query_path);
    path.append("&method=").append(method).append("&id=").append(encoded_ids);
    if (extra) path.append("&").append(extra);
    return path;
}

// One action request; 0, the station's code, or -1.
int send_task_action(const call_scope &call, const char *method, std::string_view encoded_ids,
                     const char *extra)
{
    request action;
    action.path = action_path(method, encoded_ids, extra);
    answer a;
    if (!call.send(action, action_words, a, method)) return a.failure_status();
    return first_task_refusal(a.data, action_words, method);
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
int collect_task_ids(const call_scope &call, bool (*selects)(task_status status),
                     std::vector<std::string> &ids)
{
    ids.clear();
    if (!call.connected()) return -1;
    request listing;
    listing.path = std::string(task_query_path) + "&method=list";
    answer a;
    if (!call.exchange(listing, bulk_list_words, a)) return -1;
    const json_value *tasks = member(member(a.root, "data"), "tasks");
    if (!tasks || !tasks->IsArray()) return 0;
    for (const json_value &task : tasks->GetArray()) {
        std::string_view id = string_or_empty(member(&task, "id"));
        // An id holding a NUL byte cannot be named whole; cut, it might name another task.
        if (id.empty() || id.find('\0') != std::string_view::npos) continue;
        if (!selects(status_of(&task))) continue;
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

// What the ids of one action request may take of its request line: the
// station's web server refuses longer lines.
size_t id_room(const call_scope &call, const char *method, const char *extra)
{
    const size_t target = action_path(method, "", extra).size() + sizeof("&_sid=") - 1 + call.session().sid.size();
    const size_t fixed = http_request_line_length("GET", target);
    return fixed < http_request_line_limit ? http_request_line_limit - fixed : 0;
}

// Lists the tasks and acts on every one that selects accepts, in as many
// requests as their ids take: their number, 0 when none was selected
// (nothing more is sent), or -1.
int act_on_selected(bool (*selects)(task_status status), const char *method, const char *extra)
{
    call_scope call;
    std::vector<std::string> ids;
    const int selected = collect_task_ids(call, selects, ids);
    if (selected <= 0) return selected;
    for (const std::string &group : group_ids(ids, id_room(call, method, extra))) {
        if (send_task_action(call, method, group, extra) != 0) return -1;
    }
    return selected;
}

// ---- adding by URL -------------------------------------------------------------

int add_url_timeout(int session_timeout_sec) { return std::max(session_timeout_sec, add_url_min_timeout_sec); }

int add_torrent_timeout(int session_timeout_sec)
{
    return std::max(session_timeout_sec, add_torrent_min_timeout_sec);
}

request post(std::string path, const char *content_type, std::string_view body, int timeout_sec)
{
    request req;
    req.method = "POST";
    req.path = std::move(path);
    req.content_type = content_type;
    req.body = body.data();
    req.body_len = body.size();
    req.timeout_sec = timeout_sec;
    return req;
}

// Without a destination the station puts the task in its default folder.
int add_url(const call_scope &call, const char *url, const char *destination)
{
    if (!url || !*url) {
        set_error("URL cannot be empty");
        return -1;
    }
    // The folder is a tail of the caller's text, so NUL-terminated.
    const std::string_view folder = destination_folder(destination);
    std::string form = std::string("api=") + task_api_name + "&version=1&method=create&uri=" + url_encoded(url);
    if (!folder.empty()) form += "&destination=" + url_encoded(folder.data());
    form += "&_sid=" + url_encoded(call.session().sid.c_str());
    answer a;
    if (!call.send(post(task_cgi_path, "application/x-www-form-urlencoded", form,
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

void append_file_part_head(std::string &head, const char *name, const std::string &file_name)
{
    head.append("--").append(boundary).append("\r\n");
    head.append("Content-Disposition: form-data; name=\"").append(name).append("\"; filename=\"");
    head.append(file_name).append("\"\r\n");
    head.append("Content-Type: application/x-bittorrent\r\n\r\n");
}

// Every part before the file's bytes on the older route: its fields travel
// as plain text, and without a destination the station takes its default.
std::string older_route_head(std::string_view destination, const std::string &sid, const std::string &file_name)
{
    std::string head;
    append_part(head, "api", task_api_name);
    append_part(head, "version", "1");
    append_part(head, "method", "create");
    if (!destination.empty()) append_part(head, "destination", destination);
    append_part(head, "_sid", sid);
    append_file_part_head(head, "file", file_name);
    return head;
}

// A text as a JSON string, quotes and escapes included.
std::string json_string(std::string_view text)
{
    json_text out;
    json_writer writer(out);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return std::string(out.GetString(), out.GetSize());
}

// Every part before the file's bytes on the current route: its fields are
// JSON texts, and "file" names the part that carries the file.
std::string current_route_head(std::string_view destination, const std::string &file_name)
{
    std::string head;
    append_part(head, "api", task2_api_name);
    append_part(head, "version", "2");
    append_part(head, "method", "create");
    append_part(head, "type", "\"file\"");
    append_part(head, "file", "[\"torrent\"]");
    append_part(head, "destination", json_string(destination));
    append_part(head, "create_list", "false");
    append_file_part_head(head, "torrent", file_name);
    return head;
}

// One upload body around the file's bytes, read once: room in front for a
// route's head, the closing boundary behind. The file is never copied; a
// head longer than the room moves it further back in the same buffer.
class upload_body {
public:
    // Reads the file; false after recording why it cannot be sent.
    bool read(const char *path, size_t head_room)
    {
        std::error_code ignored;
        if (std::filesystem::is_directory(path, ignored)) {
            set_error("Failed to open torrent file: %s (Is a directory)", path);
            return false;
        }
        open_file file(std::fopen(path, "rb"));
        if (!file) {
            set_error("Failed to open torrent file: %s (%s)", path, std::strerror(errno));
            return false;
        }
        const long size = file_size(file.get());
        if (size > torrent_size_limit) {
            set_error("Invalid torrent file size: %ld (over the 20 MiB limit)", size);
            return false;
        }
        if (size < 1) {
            set_error("Invalid torrent file size: %ld", size);
            return false;
        }
        file_size_ = static_cast<size_t>(size);
        room_ = head_room;
        buffer_.reset(static_cast<char *>(std::malloc(room_ + file_size_ + tail().size())));
        if (!buffer_) {
            set_error("Out of memory reading torrent file");
            return false;
        }
        if (std::fread(buffer_.get() + room_, 1, file_size_, file.get()) != file_size_) {
            set_error("Failed to read complete torrent file");
            return false;
        }
        std::memcpy(buffer_.get() + room_ + file_size_, tail().data(), tail().size());
        return true;
    }

    // The whole body with head in front of the file.
    std::string_view with_head(const std::string &head)
    {
        if (head.size() > room_) make_room(head.size());
        char *start = buffer_.get() + room_ - head.size();
        std::memcpy(start, head.data(), head.size());
        return {start, head.size() + file_size_ + tail().size()};
    }

private:
    static std::string_view tail() { return "\r\n------BrBoundary98234710293847--\r\n"; }

    void make_room(size_t room)
    {
        const size_t behind = file_size_ + tail().size();
        char *grown = static_cast<char *>(std::realloc(buffer_.get(), room + behind));
        if (!grown) throw std::bad_alloc();
        buffer_.release();
        buffer_.reset(grown);
        std::memmove(grown + room, grown + room_, behind);
        room_ = room;
    }

    heap_buffer buffer_;
    size_t room_ = 0;
    size_t file_size_ = 0;
};

request upload_request(std::string path, std::string_view body, const call_scope &call)
{
    return post(std::move(path), multipart_type, body, add_torrent_timeout(call.session().timeout_sec));
}

// 0, the station's code, or -1.
int upload_on_older_route(const call_scope &call, upload_body &body, const std::string &head)
{
    answer a;
    return call.send(upload_request(task_cgi_path, body.with_head(head), call), add_torrent_words, a)
               ? 0
               : a.failure_status();
}

// The current route wants a destination: without one given, the station's
// default. False after recording why there is none.
bool destination_for_current_route(const call_scope &call, std::string_view given, std::string &destination)
{
    if (!given.empty()) {
        destination = given;
        return true;
    }
    answer a;
    if (!read_default_destination(call, a)) return false;
    destination = destination_folder(string_or_empty(member(a.data, "default_destination")).data());
    if (!destination.empty()) return true;
    set_error("Add torrent failed: no destination given and the station has no default destination");
    return false;
}

int upload_on_current_route(const call_scope &call, upload_body &body, std::string_view given,
                            const std::string &file_name)
{
    std::string destination;
    if (!destination_for_current_route(call, given, destination)) return -1;
    // The session id goes in the query too; the route takes no field for it.
    const std::string path = std::string(task2_create_path) + "&_sid=" + call.session().sid;
    answer a;
    return call.send(upload_request(path, body.with_head(current_route_head(destination, file_name)), call),
                     current_upload_words, a)
               ? 0
               : a.failure_status();
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
    const std::string_view folder = destination_folder(destination);
    const std::string file_name = upload_file_name(path);
    const std::string older_head = older_route_head(folder, call.session().sid, file_name);
    upload_body body;
    if (!body.read(path, older_head.size())) return -1;
    if (!call.session().current_upload_route) {
        const int status = upload_on_older_route(call, body, older_head);
        if (status != retired_route_code) return status;
        // From now on this session goes straight to the current route.
        use_current_upload_route(call.session().generation);
        clear_error();
    }
    return upload_on_current_route(call, body, folder, file_name);
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
