#include "web_api.h"

#include <algorithm>
#include <charconv>

namespace {

// The codes the station answers with.
constexpr int bad_parameter = 101;
constexpr int unknown_api = 102;
constexpr int unknown_method = 103;
constexpr int unsupported_version = 104;
constexpr int upload_failed = 400;
constexpr int no_such_destination = 403;
constexpr int no_such_task = 404;
constexpr int no_such_folder = 408;

// The longest jump of the control endpoint: ten years.
constexpr int64_t longest_advance_sec = int64_t{10} * 366 * 24 * 3600;

struct call {
    const api_request &request;
    int64_t now_ms = 0;
    std::string sid;
    std::string account;

    // The first field of that name.
    std::optional<std::string_view> param(std::string_view name) const
    {
        for (const auto &[key, value] : request.params) {
            if (key == name) return std::string_view(value);
        }
        return std::nullopt;
    }

    std::string_view text(std::string_view name) const { return param(name).value_or(""); }
};

using handler = int (*)(station_state &, const call &, json_writer &);

struct method_entry {
    const char *name;
    bool needs_session;
    handler run;
};

struct api_entry {
    const char *name;
    const char *own_path;  // served there and at /webapi/entry.cgi
    int min_version;
    int max_version;
    std::vector<method_entry> methods;
};

// A decimal number of at most 15 digits, nothing else; nothing for anything else.
std::optional<int64_t> decimal(std::string_view text)
{
    int64_t value = 0;
    if (text.empty() || text.size() > 15) return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::vector<std::string_view> split_list(std::string_view text)
{
    std::vector<std::string_view> items;
    for (;;) {
        const size_t comma = text.find(',');
        items.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return items;
        text.remove_prefix(comma + 1);
    }
}

std::string_view without_trailing_slashes(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// offset and limit of a listing; limit absent, or at or below 0, means all.
bool read_page(const call &c, size_t &offset, size_t &limit)
{
    offset = 0;
    limit = SIZE_MAX;
    if (auto text = c.param("offset")) {
        auto value = decimal(*text);
        if (!value) return false;
        offset = static_cast<size_t>(*value);
    }
    if (auto text = c.param("limit")) {
        if (*text == "-1") return true;
        auto value = decimal(*text);
        if (!value) return false;
        if (*value > 0) limit = static_cast<size_t>(*value);
    }
    return true;
}

template <typename T>
std::vector<T> page_of(const std::vector<T> &items, size_t offset, size_t limit)
{
    if (offset >= items.size()) return {};
    const size_t count = std::min(limit, items.size() - offset);
    return std::vector<T>(items.begin() + static_cast<ptrdiff_t>(offset),
                          items.begin() + static_cast<ptrdiff_t>(offset + count));
}

// A task's destination as the create call names it ("video/new"); empty
// stands for the default destination. 0, or 403 when no such folder exists.
int resolve_destination(const station_state &s, std::string_view given, std::string &folder)
{
    given = without_trailing_slashes(given);
    folder = given.empty() ? s.settings.default_destination() : std::string(given);
    return s.settings.is_folder("/" + folder) ? 0 : no_such_destination;
}

// ---- SYNO.API.Auth ------------------------------------------------------------

int log_in(station_state &s, const call &c, json_writer &data)
{
    if (c.text("account").empty()) return bad_parameter;
    session_record session;
    const int code = s.sessions.log_in(c.text("account"), c.text("passwd"), c.now_ms, s.session_random, session);
    if (code != 0) return code;
    data.StartObject();
    write_text(data, "sid", session.sid);
    write_text(data, "did", session.did);
    data.EndObject();
    return 0;
}

int log_out(station_state &s, const call &c, json_writer &)
{
    s.sessions.log_out(c.sid);
    return 0;
}

// ---- SYNO.DownloadStation.Info and .Statistic -----------------------------------

int info(station_state &s, const call &, json_writer &data)
{
    s.settings.write_info(data);
    return 0;
}

int config(station_state &s, const call &, json_writer &data)
{
    s.settings.write_config(data);
    return 0;
}

// Reads a limit in KB/s when the request names it; false for a bad value.
bool read_limit(const call &c, const char *name, int64_t &limit, bool &named)
{
    auto text = c.param(name);
    if (!text) return true;
    auto value = decimal(*text);
    if (!value || *value > 1000000) return false;
    limit = *value;
    named = true;
    return true;
}

// All settings named in the request change, or none does.
int change_config(station_state &s, const call &c, json_writer &)
{
    task_limits limits = s.settings.limits();
    bool named = false;
    if (!read_limit(c, "bt_max_download", limits.download_kib, named) ||
        !read_limit(c, "bt_max_upload", limits.upload_kib, named))
        return bad_parameter;
    std::string folder = s.settings.default_destination();
    if (auto destination = c.param("default_destination")) {
        if (without_trailing_slashes(*destination).empty()) return bad_parameter;
        if (const int code = resolve_destination(s, *destination, folder)) return code;
        named = true;
    }
    if (!named) return bad_parameter;
    s.settings.set_limits(limits);
    s.settings.set_default_destination(folder);
    s.tasks.set_limits(limits, c.now_ms);
    return 0;
}

int statistics(station_state &s, const call &c, json_writer &data)
{
    s.tasks.catch_up(c.now_ms);
    data.StartObject();
    write_int(data, "speed_download", s.tasks.total_download_speed());
    write_int(data, "speed_upload", s.tasks.total_upload_speed());
    data.EndObject();
    return 0;
}

// ---- SYNO.DownloadStation.Task ----------------------------------------------------

struct additional_parts {
    bool detail = false;
    bool transfer = false;
};

// Other words ("file", "tracker", "peer") are accepted and give nothing.
additional_parts read_additional(const call &c)
{
    additional_parts parts;
    for (std::string_view word : split_list(c.text("additional"))) {
        if (word == "detail") parts.detail = true;
        if (word == "transfer") parts.transfer = true;
    }
    return parts;
}

void write_tasks(const station_state &s, const call &c, json_writer &data,
                 const std::vector<const task *> &tasks)
{
    const additional_parts parts = read_additional(c);
    data.Key("tasks");
    data.StartArray();
    for (const task *t : tasks) s.tasks.write(data, *t, c.now_ms, parts.detail, parts.transfer);
    data.EndArray();
}

int list_tasks(station_state &s, const call &c, json_writer &data)
{
    size_t offset = 0;
    size_t limit = 0;
    if (!read_page(c, offset, limit)) return bad_parameter;
    s.tasks.catch_up(c.now_ms);
    std::vector<const task *> all;
    for (const task &t : s.tasks.tasks()) all.push_back(&t);
    data.StartObject();
    write_int(data, "offset", static_cast<int64_t>(offset));
    write_tasks(s, c, data, page_of(all, offset, limit));
    write_int(data, "total", static_cast<int64_t>(all.size()));
    data.EndObject();
    return 0;
}

int task_info(station_state &s, const call &c, json_writer &data)
{
    if (c.text("id").empty()) return bad_parameter;
    s.tasks.catch_up(c.now_ms);
    std::vector<const task *> found;
    for (std::string_view id : split_list(c.text("id"))) {
        const task *t = s.tasks.find(id);
        if (!t) return no_such_task;
        found.push_back(t);
    }
    data.StartObject();
    write_tasks(s, c, data, found);
    data.EndObject();
    return 0;
}

// A multipart create carries a torrent in its "file" part; a form or query
// create carries one URL in "uri".
int describe_new_task(const call &c, task_source &source)
{
    if (c.request.multipart) {
        if (!c.request.file) return bad_parameter;
        if (c.request.file->content.empty()) return upload_failed;
        source = describe_torrent(c.request.file->file_name, c.request.file->content);
        return 0;
    }
    if (c.text("uri").empty()) return bad_parameter;
    auto described = describe_url(c.text("uri"));
    if (!described) return bad_parameter;
    source = std::move(*described);
    return 0;
}

int create_task(station_state &s, const call &c, json_writer &data)
{
    task_source source;
    if (const int code = describe_new_task(c, source)) return code;
    if (const int code = resolve_destination(s, c.text("destination"), source.destination)) return code;
    source.username = c.account;
    const std::string id = s.tasks.add(std::move(source), c.now_ms, s.task_random);
    data.StartObject();
    data.Key("task_id");
    data.StartArray();
    write_string(data, id);
    data.EndArray();
    data.EndObject();
    return 0;
}

// One result per id named, in order: {"error":0 or its code,"id":...}.
int act_on_tasks(station_state &s, const call &c, json_writer &data,
                 int (task_store::*action)(std::string_view, int64_t))
{
    if (c.text("id").empty()) return bad_parameter;
    data.StartArray();
    for (std::string_view id : split_list(c.text("id"))) {
        data.StartObject();
        write_int(data, "error", (s.tasks.*action)(id, c.now_ms));
        write_text(data, "id", id);
        data.EndObject();
    }
    data.EndArray();
    return 0;
}

int pause_tasks(station_state &s, const call &c, json_writer &data)
{
    return act_on_tasks(s, c, data, &task_store::pause);
}

int resume_tasks(station_state &s, const call &c, json_writer &data)
{
    return act_on_tasks(s, c, data, &task_store::resume);
}

int delete_tasks(station_state &s, const call &c, json_writer &data)
{
    auto force = c.param("force_complete");
    if (force && *force != "true" && *force != "false") return bad_parameter;
    return act_on_tasks(s, c, data, &task_store::remove);
}

// ---- SYNO.FileStation.List ------------------------------------------------------------

void write_entries(json_writer &data, const char *key, const std::vector<const folder_entry *> &entries,
                   bool with_desc)
{
    data.Key(key);
    data.StartArray();
    for (const folder_entry *e : entries) {
        data.StartObject();
        write_text(data, "name", e->path.substr(e->path.rfind('/') + 1));
        write_text(data, "path", e->path);
        if (with_desc) write_text(data, "desc", e->desc);
        write_bool(data, "isdir", e->isdir);
        data.EndObject();
    }
    data.EndArray();
}

int list_shares(station_state &s, const call &c, json_writer &data)
{
    size_t offset = 0;
    size_t limit = 0;
    if (!read_page(c, offset, limit)) return bad_parameter;
    const auto shares = s.settings.shares();
    data.StartObject();
    write_int(data, "offset", static_cast<int64_t>(offset));
    write_entries(data, "shares", page_of(shares, offset, limit), true);
    write_int(data, "total", static_cast<int64_t>(shares.size()));
    data.EndObject();
    return 0;
}

bool read_filter(std::string_view text, file_filter &filter)
{
    if (text.empty() || text == "all") filter = file_filter::all;
    else if (text == "file") filter = file_filter::files;
    else if (text == "dir") filter = file_filter::dirs;
    else return false;
    return true;
}

int list_folder(station_state &s, const call &c, json_writer &data)
{
    size_t offset = 0;
    size_t limit = 0;
    file_filter filter = file_filter::all;
    if (c.text("folder_path").empty() || !read_filter(c.text("filetype"), filter) ||
        !read_page(c, offset, limit))
        return bad_parameter;
    const std::string_view path = without_trailing_slashes(c.text("folder_path"));
    if (!s.settings.is_folder(path)) return no_such_folder;
    const auto entries = s.settings.children(path, filter);
    data.StartObject();
    write_entries(data, "files", page_of(entries, offset, limit), false);
    write_int(data, "offset", static_cast<int64_t>(offset));
    write_int(data, "total", static_cast<int64_t>(entries.size()));
    data.EndObject();
    return 0;
}

// ---- routing -------------------------------------------------------------------------------

const std::vector<api_entry> &api_table()
{
    static const std::vector<api_entry> table = {
        {"SYNO.API.Auth", "/webapi/auth.cgi", 1, 7,
         {{"login", false, log_in}, {"logout", true, log_out}}},
        {"SYNO.DownloadStation.Info", "/webapi/DownloadStation/info.cgi", 1, 2,
         {{"getinfo", true, info}, {"getconfig", true, config}, {"setserverconfig", true, change_config}}},
        {"SYNO.DownloadStation.Statistic", "/webapi/DownloadStation/statistic.cgi", 1, 1,
         {{"getinfo", true, statistics}}},
        {"SYNO.DownloadStation.Task", "/webapi/DownloadStation/task.cgi", 1, 3,
         {{"list", true, list_tasks},
          {"getinfo", true, task_info},
          {"create", true, create_task},
          {"pause", true, pause_tasks},
          {"resume", true, resume_tasks},
          {"delete", true, delete_tasks}}},
        {"SYNO.FileStation.List", "/webapi/entry.cgi", 1, 2,
         {{"list_share", true, list_shares}, {"list", true, list_folder}}},
    };
    return table;
}

bool is_station_path(std::string_view path)
{
    if (path == "/webapi/entry.cgi") return true;
    return std::any_of(api_table().begin(), api_table().end(),
                       [&](const api_entry &api) { return path == api.own_path; });
}

// 0 with the method to run, or the code that refuses the request.
int find_method(const call &c, const method_entry *&method)
{
    if (!is_station_path(c.request.path)) return unknown_api;
    if (c.text("api").empty() || c.text("version").empty() || c.text("method").empty()) return bad_parameter;
    const auto &table = api_table();
    auto api = std::find_if(table.begin(), table.end(), [&](const api_entry &a) { return c.text("api") == a.name; });
    if (api == table.end()) return unknown_api;
    if (c.request.path != "/webapi/entry.cgi" && c.request.path != api->own_path) return unknown_api;
    auto version = decimal(c.text("version"));
    if (!version) return bad_parameter;
    if (*version < api->min_version || *version > api->max_version) return unsupported_version;
    auto found = std::find_if(api->methods.begin(), api->methods.end(),
                              [&](const method_entry &m) { return c.text("method") == m.name; });
    if (found == api->methods.end()) return unknown_method;
    method = &*found;
    return 0;
}

std::string envelope(int code, const rapidjson::StringBuffer &data)
{
    if (code != 0) return R"({"success":false,"error":{"code":)" + std::to_string(code) + "}}";
    if (data.GetSize() == 0) return R"({"success":true})";
    return std::string(R"({"success":true,"data":)") + data.GetString() + "}";
}

}  // namespace

station_state::station_state(const station_options &options)
    : clock(options.epoch_ms, options.speed),
      session_random(options.seed ^ 0x5E5510A5ull),
      task_random(options.seed),
      sessions(options.account, options.password, options.session_idle_ms),
      tasks(options.error_rate)
{
}

std::string web_api::answer(const api_request &request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    call c{request, state_.clock.now_ms(), {}, {}};
    rapidjson::StringBuffer data;
    json_writer writer(data);
    const method_entry *method = nullptr;
    int code = find_method(c, method);
    if (code == 0 && method->needs_session) {
        c.sid = std::string(c.param("_sid").value_or(request.cookie_sid));
        code = state_.sessions.use(c.sid, c.now_ms, c.account);
    }
    if (code == 0) code = method->run(state_, c, writer);
    return envelope(code, data);
}

std::string web_api::advance_clock(std::string_view seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rapidjson::StringBuffer data;
    auto value = decimal(seconds);
    if (!value || *value > longest_advance_sec) return envelope(bad_parameter, data);
    state_.clock.advance(*value * 1000);
    json_writer writer(data);
    writer.StartObject();
    write_int(writer, "now", state_.clock.now_ms() / 1000);
    writer.EndObject();
    return envelope(0, data);
}
