#include "web_api.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

// The codes the station answers with.
constexpr int bad_parameter = 101;
constexpr int unknown_api = 102;
constexpr int unknown_method = 103;
constexpr int unsupported_version = 104;
constexpr int bad_field = 120;
constexpr int otp_needed = 403;
constexpr int upload_failed = 400;
constexpr int no_such_destination = 403;
constexpr int no_such_task = 404;
constexpr int no_default_destination = 406;
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

// What a method writes: its data, or the "errors" that go with a refusal.
struct reply {
    rapidjson::StringBuffer data_text;
    json_writer data{data_text};
    rapidjson::StringBuffer errors_text;
    json_writer errors{errors_text};
};

using handler = int (*)(station_state &, const call &, reply &);

struct method_entry {
    const char *name;
    bool needs_session;
    handler run;
};

struct api_entry {
    const char *name;
    // Below /webapi/, as SYNO.API.Info names it; every API is served there
    // and at entry.cgi, some at an older path too.
    const char *path;
    const char *older_path;
    int min_version;
    int max_version;
    bool current_only;
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

bool same_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
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
// stands for the default destination. 0, 406 when that is wanted and none is
// set, or 403 when no such folder exists.
int resolve_destination(const station_state &s, std::string_view given, std::string &folder)
{
    given = without_trailing_slashes(given);
    folder = given.empty() ? s.settings.default_destination() : std::string(given);
    if (folder.empty()) return no_default_destination;
    return s.settings.is_folder("/" + folder) ? 0 : no_such_destination;
}

void write_string_array(json_writer &out, const char *key, const std::vector<std::string> &items)
{
    out.Key(key);
    out.StartArray();
    for (const std::string &item : items) write_string(out, item);
    out.EndArray();
}

// ---- SYNO.API.Info and SYNO.API.Auth -----------------------------------------

const std::vector<api_entry> &api_table();

bool served_in(const api_entry &api, station_version version)
{
    return !api.current_only || version == station_version::current;
}

// The query names APIs by their names, by a prefix ending in "." (as in
// "SYNO.DownloadStation."), or all of them with "ALL".
bool queried(std::string_view query, std::string_view name)
{
    if (same_ignoring_case(query, "all")) return true;
    for (std::string_view asked : split_list(query)) {
        if (asked == name) return true;
        if (!asked.empty() && asked.back() == '.' && name.substr(0, asked.size()) == asked) return true;
    }
    return false;
}

int api_info(station_state &s, const call &c, reply &r)
{
    if (c.text("query").empty()) return bad_parameter;
    r.data.StartObject();
    for (const api_entry &api : api_table()) {
        if (!served_in(api, s.version) || !queried(c.text("query"), api.name)) continue;
        r.data.Key(api.name);
        r.data.StartObject();
        write_int(r.data, "maxVersion", api.max_version);
        write_int(r.data, "minVersion", api.min_version);
        write_text(r.data, "path", api.path);
        r.data.EndObject();
    }
    r.data.EndObject();
    return 0;
}

// The station asks for the second factor with the kinds it takes and a token.
void write_otp_request(reply &r, const std::string &token)
{
    r.errors.StartObject();
    r.errors.Key("types");
    r.errors.StartArray();
    r.errors.StartObject();
    write_text(r.errors, "type", "otp");
    r.errors.EndObject();
    r.errors.EndArray();
    write_text(r.errors, "token", token);
    r.errors.EndObject();
}

int log_in(station_state &s, const call &c, reply &r)
{
    if (c.text("account").empty()) return bad_parameter;
    login_request request;
    request.account = c.text("account");
    request.password = c.text("passwd");
    request.version = decimal(c.text("version")).value_or(0);
    request.otp_code = c.text("otp_code");
    request.enable_device_token = c.text("enable_device_token") == "yes";
    request.device_name = c.text("device_name");
    request.device_id = c.text("device_id");
    login_result result;
    const int code = s.sessions.log_in(request, c.now_ms, s.session_random, result);
    if (code == otp_needed) write_otp_request(r, result.otp_token);
    if (code != 0) return code;
    r.data.StartObject();
    if (!result.did.empty()) write_text(r.data, "did", result.did);
    write_text(r.data, "sid", result.sid);
    r.data.EndObject();
    return 0;
}

int log_out(station_state &s, const call &c, reply &)
{
    s.sessions.log_out(c.sid);
    return 0;
}

// ---- SYNO.DownloadStation.Info and .Statistic -----------------------------------

int info(station_state &s, const call &, reply &r)
{
    s.settings.write_info(r.data);
    return 0;
}

int config(station_state &s, const call &, reply &r)
{
    s.settings.write_config(r.data);
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
int change_config(station_state &s, const call &c, reply &)
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

int statistics(station_state &s, const call &c, reply &r)
{
    s.tasks.catch_up(c.now_ms);
    r.data.StartObject();
    write_int(r.data, "speed_download", s.tasks.total_download_speed());
    write_int(r.data, "speed_upload", s.tasks.total_upload_speed());
    r.data.EndObject();
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

int list_tasks(station_state &s, const call &c, reply &r)
{
    size_t offset = 0;
    size_t limit = 0;
    if (!read_page(c, offset, limit)) return bad_parameter;
    s.tasks.catch_up(c.now_ms);
    std::vector<const task *> all;
    for (const task &t : s.tasks.tasks()) all.push_back(&t);
    r.data.StartObject();
    write_int(r.data, "offset", static_cast<int64_t>(offset));
    write_tasks(s, c, r.data, page_of(all, offset, limit));
    write_int(r.data, "total", static_cast<int64_t>(all.size()));
    r.data.EndObject();
    return 0;
}

int task_info(station_state &s, const call &c, reply &r)
{
    if (c.text("id").empty()) return bad_parameter;
    s.tasks.catch_up(c.now_ms);
    std::vector<const task *> found;
    for (std::string_view id : split_list(c.text("id"))) {
        const task *t = s.tasks.find(id);
        if (!t) return no_such_task;
        found.push_back(t);
    }
    r.data.StartObject();
    write_tasks(s, c, r.data, found);
    r.data.EndObject();
    return 0;
}

const form_part *file_part(const api_request &request, std::string_view name)
{
    for (const form_part &part : request.parts) {
        if (part.name == name && !part.file_name.empty()) return &part;
    }
    return nullptr;
}

// A multipart create carries a torrent in its "file" part, which stations
// since 3.8.16 no longer take; a form or query create carries URLs in "uri",
// separated by commas, each of which must be good.
int describe_new_tasks(const station_state &s, const call &c, std::vector<task_source> &sources)
{
    if (c.request.multipart) {
        if (s.version == station_version::current) return bad_parameter;
        const form_part *file = file_part(c.request, "file");
        if (!file) return bad_parameter;
        if (file->content.empty()) return upload_failed;
        sources.push_back(describe_torrent(file->file_name, file->content));
        return 0;
    }
    if (c.text("uri").empty()) return bad_parameter;
    for (std::string_view uri : split_list(c.text("uri"))) {
        auto described = describe_url(uri);
        if (!described) return bad_parameter;
        sources.push_back(std::move(*described));
    }
    return 0;
}

// Adds the tasks, all with one destination; their ids in order.
std::vector<std::string> add_tasks(station_state &s, const call &c, std::vector<task_source> sources,
                                   const std::string &destination)
{
    std::vector<std::string> ids;
    for (task_source &source : sources) {
        source.destination = destination;
        source.username = c.account;
        ids.push_back(s.tasks.add(std::move(source), c.now_ms, s.task_random));
    }
    return ids;
}

int create_task(station_state &s, const call &c, reply &r)
{
    std::vector<task_source> sources;
    if (const int code = describe_new_tasks(s, c, sources)) return code;
    std::string destination;
    if (const int code = resolve_destination(s, c.text("destination"), destination)) return code;
    const std::vector<std::string> ids = add_tasks(s, c, std::move(sources), destination);
    r.data.StartObject();
    write_string_array(r.data, "task_id", ids);
    r.data.EndObject();
    return 0;
}

// One result per id named, in order: {"error":0 or its code,"id":...}.
int act_on_tasks(station_state &s, const call &c, reply &r, int (task_store::*action)(std::string_view, int64_t))
{
    if (c.text("id").empty()) return bad_parameter;
    r.data.StartArray();
    for (std::string_view id : split_list(c.text("id"))) {
        r.data.StartObject();
        write_int(r.data, "error", (s.tasks.*action)(id, c.now_ms));
        write_text(r.data, "id", id);
        r.data.EndObject();
    }
    r.data.EndArray();
    return 0;
}

int pause_tasks(station_state &s, const call &c, reply &r) { return act_on_tasks(s, c, r, &task_store::pause); }

int resume_tasks(station_state &s, const call &c, reply &r) { return act_on_tasks(s, c, r, &task_store::resume); }

int delete_tasks(station_state &s, const call &c, reply &r)
{
    auto force = c.param("force_complete");
    if (force && *force != "true" && *force != "false") return bad_parameter;
    return act_on_tasks(s, c, r, &task_store::remove);
}

// ---- SYNO.DownloadStation2.Task -----------------------------------------------------

// The form's plain fields are read up to its first file part, as the station
// reads the body while it comes: a field after the file is not seen.
std::optional<std::string_view> form_field(const api_request &request, std::string_view name)
{
    for (const form_part &part : request.parts) {
        if (!part.file_name.empty()) break;
        if (part.name == name) return std::string_view(part.content);
    }
    return std::nullopt;
}

int refuse_field(reply &r, const char *name, const char *reason)
{
    r.errors.StartObject();
    write_text(r.errors, "name", name);
    write_text(r.errors, "reason", reason);
    r.errors.EndObject();
    return bad_field;
}

// A field's value is a JSON text; nothing when it is not one.
std::optional<rapidjson::Document> json_field(std::string_view text)
{
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError()) return std::nullopt;
    return doc;
}

// The fields of a create from files: type "file", the names of the parts
// that carry the files, the destination folder and create_list.
struct file_create {
    std::vector<std::string> part_names;
    std::string destination;
};

int read_file_create(const call &c, reply &r, file_create &create)
{
    auto field = [&](const char *name) { return form_field(c.request, name); };
    const auto type = field("type");
    if (!type) return refuse_field(r, "type", "required");
    const auto type_value = json_field(*type);
    if (!type_value || !type_value->IsString() || std::string_view(type_value->GetString()) != "file")
        return refuse_field(r, "type", "invalid");

    const auto file = field("file");
    if (!file) return refuse_field(r, "file", "required");
    const auto names = json_field(*file);
    if (!names || !names->IsArray() || names->Empty()) return refuse_field(r, "file", "invalid");
    for (const auto &name : names->GetArray()) {
        if (!name.IsString()) return refuse_field(r, "file", "invalid");
        create.part_names.emplace_back(name.GetString(), name.GetStringLength());
    }

    const auto destination = field("destination");
    if (!destination) return refuse_field(r, "destination", "required");
    const auto folder = json_field(*destination);
    if (!folder || !folder->IsString()) return refuse_field(r, "destination", "invalid");
    create.destination.assign(folder->GetString(), folder->GetStringLength());
    if (create.destination.empty()) return refuse_field(r, "destination", "required");

    const auto create_list = field("create_list");
    if (!create_list) return refuse_field(r, "create_list", "required");
    const auto list_value = json_field(*create_list);
    if (!list_value || !list_value->IsBool()) return refuse_field(r, "create_list", "invalid");
    return 0;
}

int create_from_files(station_state &s, const call &c, reply &r)
{
    file_create create;
    if (const int code = read_file_create(c, r, create)) return code;
    std::vector<const form_part *> files;
    for (const std::string &name : create.part_names) {
        const form_part *part = file_part(c.request, name);
        if (!part) return refuse_field(r, "file", "required");
        files.push_back(part);
    }
    std::string destination;
    if (const int code = resolve_destination(s, create.destination, destination)) return code;
    std::vector<task_source> sources;
    for (const form_part *part : files) {
        if (part->content.empty()) return upload_failed;
        sources.push_back(describe_torrent(part->file_name, part->content));
    }
    const std::vector<std::string> ids = add_tasks(s, c, std::move(sources), destination);
    r.data.StartObject();
    write_string_array(r.data, "list_id", {});
    write_string_array(r.data, "task_id", ids);
    r.data.EndObject();
    return 0;
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

int list_shares(station_state &s, const call &c, reply &r)
{
    size_t offset = 0;
    size_t limit = 0;
    if (!read_page(c, offset, limit)) return bad_parameter;
    const auto shares = s.settings.shares();
    r.data.StartObject();
    write_int(r.data, "offset", static_cast<int64_t>(offset));
    write_entries(r.data, "shares", page_of(shares, offset, limit), true);
    write_int(r.data, "total", static_cast<int64_t>(shares.size()));
    r.data.EndObject();
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

// File Station names the path it could not list, with the code again.
int refuse_path(reply &r, int code, std::string_view path)
{
    r.errors.StartArray();
    r.errors.StartObject();
    write_int(r.errors, "code", code);
    write_text(r.errors, "path", path);
    r.errors.EndObject();
    r.errors.EndArray();
    return code;
}

int list_folder(station_state &s, const call &c, reply &r)
{
    size_t offset = 0;
    size_t limit = 0;
    file_filter filter = file_filter::all;
    if (c.text("folder_path").empty() || !read_filter(c.text("filetype"), filter) ||
        !read_page(c, offset, limit))
        return bad_parameter;
    const std::string_view path = without_trailing_slashes(c.text("folder_path"));
    if (!s.settings.is_folder(path)) return refuse_path(r, no_such_folder, c.text("folder_path"));
    const auto entries = s.settings.children(path, filter);
    r.data.StartObject();
    write_entries(r.data, "files", page_of(entries, offset, limit), false);
    write_int(r.data, "offset", static_cast<int64_t>(offset));
    write_int(r.data, "total", static_cast<int64_t>(entries.size()));
    r.data.EndObject();
    return 0;
}

// ---- routing -------------------------------------------------------------------------------

// By name, as SYNO.API.Info lists them.
const std::vector<api_entry> &api_table()
{
    static const std::vector<api_entry> table = {
        {"SYNO.API.Auth", "entry.cgi", "auth.cgi", 1, 7, false,
         {{"login", false, log_in}, {"logout", true, log_out}}},
        {"SYNO.API.Info", "query.cgi", nullptr, 1, 1, false, {{"query", false, api_info}}},
        {"SYNO.DownloadStation.Info", "DownloadStation/info.cgi", nullptr, 1, 2, false,
         {{"getinfo", true, info}, {"getconfig", true, config}, {"setserverconfig", true, change_config}}},
        {"SYNO.DownloadStation.Statistic", "DownloadStation/statistic.cgi", nullptr, 1, 1, false,
         {{"getinfo", true, statistics}}},
        {"SYNO.DownloadStation.Task", "DownloadStation/task.cgi", nullptr, 1, 3, false,
         {{"list", true, list_tasks},
          {"getinfo", true, task_info},
          {"create", true, create_task},
          {"pause", true, pause_tasks},
          {"resume", true, resume_tasks},
          {"delete", true, delete_tasks}}},
        {"SYNO.DownloadStation2.Task", "entry.cgi", nullptr, 2, 2, true, {{"create", true, create_from_files}}},
        {"SYNO.FileStation.List", "entry.cgi", nullptr, 1, 2, false,
         {{"list_share", true, list_shares}, {"list", true, list_folder}}},
    };
    return table;
}

bool served_at(const api_entry &api, std::string_view path)
{
    constexpr std::string_view root = "/webapi/";
    if (path.substr(0, root.size()) != root) return false;
    path.remove_prefix(root.size());
    return path == "entry.cgi" || path == api.path || (api.older_path && path == api.older_path);
}

bool is_station_path(const station_state &s, std::string_view path)
{
    return std::any_of(api_table().begin(), api_table().end(),
                       [&](const api_entry &api) { return served_in(api, s.version) && served_at(api, path); });
}

// 0 with the method to run, or the code that refuses the request.
int find_method(const station_state &s, const call &c, const method_entry *&method)
{
    if (!is_station_path(s, c.request.path)) return unknown_api;
    if (c.text("api").empty() || c.text("version").empty() || c.text("method").empty()) return bad_parameter;
    const auto &table = api_table();
    auto api = std::find_if(table.begin(), table.end(), [&](const api_entry &a) {
        return c.text("api") == a.name && served_in(a, s.version);
    });
    if (api == table.end() || !served_at(*api, c.request.path)) return unknown_api;
    auto version = decimal(c.text("version"));
    if (!version) return bad_parameter;
    if (*version < api->min_version || *version > api->max_version) return unsupported_version;
    auto found = std::find_if(api->methods.begin(), api->methods.end(),
                              [&](const method_entry &m) { return c.text("method") == m.name; });
    if (found == api->methods.end()) return unknown_method;
    method = &*found;
    return 0;
}

std::string envelope(int code, const reply &r)
{
    if (code != 0) {
        std::string text = R"({"error":{"code":)" + std::to_string(code);
        if (r.errors_text.GetSize() != 0) text += std::string(R"(,"errors":)") + r.errors_text.GetString();
        return text + R"(},"success":false})";
    }
    if (r.data_text.GetSize() == 0) return R"({"success":true})";
    return std::string(R"({"data":)") + r.data_text.GetString() + R"(,"success":true})";
}

// The control endpoints answer in the shape they always had.
std::string control_failure() { return R"({"success":false,"error":{"code":101}})"; }

}  // namespace

station_state::station_state(const station_options &options)
    : version(options.version),
      clock(options.epoch_ms, options.speed),
      session_random(options.seed ^ 0x5E5510A5ull),
      task_random(options.seed),
      sessions(options.account, options.password, options.session_idle_ms, new_run_tag(),
               options.otp_key ? std::optional<totp>(totp(*options.otp_key)) : std::nullopt),
      tasks(options.error_rate, options.numbers_as_text),
      settings(options.default_destination)
{
}

std::string web_api::answer(const api_request &request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    call c{request, state_.clock.now_ms(), {}, {}};
    reply r;
    const method_entry *method = nullptr;
    int code = find_method(state_, c, method);
    if (code == 0 && method->needs_session) {
        c.sid = std::string(c.param("_sid").value_or(request.cookie_sid));
        code = state_.sessions.use(c.sid, c.now_ms, c.account);
    }
    if (code == 0) code = method->run(state_, c, r);
    return envelope(code, r);
}

std::string web_api::advance_clock(std::string_view seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto value = decimal(seconds);
    if (!value || *value > longest_advance_sec) return control_failure();
    state_.clock.advance(*value * 1000);
    return R"({"success":true,"data":{"now":)" + std::to_string(state_.clock.now_ms() / 1000) + "}}";
}

std::string web_api::current_otp()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto code = state_.sessions.code_at(state_.clock.now_ms());
    if (!code) return control_failure();
    return R"({"success":true,"data":{"code":")" + *code + R"("}})";
}
