#include "commands.h"

#include "input.h"
#include "report.h"

#include "synology_ds.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <optional>

const char *const task_statuses[10] = {"waiting",       "downloading", "paused",  "finishing",           "finished",
                                       "hash_checking", "seeding",     "extracting", "filehosting_waiting", "error"};

namespace {

const std::string statuses_known =
    "waiting, downloading, paused, finishing, finished, hash_checking, seeding, filehosting_waiting, extracting, "
    "error; or all";

bool call_failed() { return *ds_last_error() != '\0'; }

// Words of text between any of separators.
std::vector<std::string> words_of(const std::string &text, const char *separators)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = text.find_first_not_of(separators, at)) != std::string::npos) {
        const size_t end = std::min(text.find_first_of(separators, at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

std::string lower_case(std::string text)
{
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string plural(int count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A text result: the library's JSON with --json, else rendered.
int show_result(const char *result, const std::function<std::string(std::string_view)> &render)
{
    if (call_failed()) return fail_call();
    if (json_output()) print_line(result);
    else std::fputs(render(result).c_str(), stdout);
    return exit_done;
}

// A JSON object of one member.
std::string one_member(const char *name, const std::function<void(json_text &)> &value)
{
    json_text doc;
    doc.out().StartObject();
    doc.key(name);
    value(doc);
    doc.out().EndObject();
    return doc.str();
}

enum class halted { no, interrupted, unreachable };

std::vector<std::string> tail(const std::vector<std::string> &items, size_t from)
{
    return {items.begin() + static_cast<long>(from), items.end()};
}

// Runs act (a library call: 0 when done) on each item in turn. After Ctrl-C
// or a transport failure the rest is reported as not tried.
halted each_item(batch_report &report, const std::vector<std::string> &items,
                 const std::function<int(const std::string &)> &act)
{
    for (size_t i = 0; i < items.size(); ++i) {
        if (interrupted()) {
            report.not_tried(tail(items, i), "interrupted");
            return halted::interrupted;
        }
        if (act(items[i]) == 0) {
            report.done(items[i]);
            continue;
        }
        const std::string message = ds_last_error();
        report.failed(items[i], message);
        if (is_transport_failure(message)) {
            report.not_tried(tail(items, i + 1), "the station did not answer");
            return halted::unreachable;
        }
    }
    return halted::no;
}

int status_of(halted stop)
{
    if (stop == halted::interrupted) return exit_interrupted;
    return stop == halted::unreachable ? exit_unreachable : exit_done;
}

// Runs act on each URL that source hands out: 0 when it was read to its end,
// else the exit status of why not.
int add_from(batch_report &report, url_source &source, const std::string &from,
             const std::function<int(const std::string &)> &act)
{
    std::string url;
    for (;;) {
        const url_source::result got = source.next(url);
        if (got == url_source::end) return exit_done;
        if (got == url_source::failed) {
            say(source.error());
            return exit_usage;
        }
        const halted stop = got == url_source::stopped ? halted::interrupted : each_item(report, {url}, act);
        if (stop == halted::no) continue;
        say(std::string(stop == halted::interrupted ? "interrupted" : "the station did not answer") +
            "; the rest of " + from + " was not read");
        return status_of(stop);
    }
}

// The sub-folders of each folder in listing, depth levels down, drawn as a tree.
int print_tree(const std::string &listing, const std::string &prefix, int depth)
{
    const std::vector<folder_entry> entries = parse_folders(listing);
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool last = i + 1 == entries.size();
        std::printf("%s%s%s\n", prefix.c_str(), last ? "└── " : "├── ", entries[i].name.c_str());
        if (!entries[i].isdir || depth <= 1) continue;
        const std::string below = ds_list_folders(entries[i].path.c_str());
        if (call_failed()) return fail_call();
        if (const int status = print_tree(below, prefix + (last ? "    " : "│   "), depth - 1)) return status;
    }
    return exit_done;
}

// The path of a folder entry that holds folders, else nullptr.
const char *folder_path(const rapidjson::Value &entry)
{
    if (!entry.IsObject()) return nullptr;
    const auto isdir = entry.FindMember("isdir");
    const auto path = entry.FindMember("path");
    if (isdir == entry.MemberEnd() || !isdir->value.IsTrue()) return nullptr;
    return path != entry.MemberEnd() && path->value.IsString() ? path->value.GetString() : nullptr;
}

// The library's folder array with, depth levels down, each folder's own
// below it as "folders".
int folder_json(const std::string &listing, int depth, rapidjson::Value &out, rapidjson::Document::AllocatorType &alloc)
{
    rapidjson::Document doc;
    doc.Parse(listing.c_str());
    if (!doc.IsArray()) return fail(exit_refused, "the station's folder list could not be read");
    out.CopyFrom(doc, alloc);
    if (depth <= 1) return exit_done;
    for (rapidjson::Value &entry : out.GetArray()) {
        const char *path = folder_path(entry);
        if (!path) continue;
        const std::string below = ds_list_folders(path);
        if (call_failed()) return fail_call();
        rapidjson::Value folders;
        if (const int status = folder_json(below, depth - 1, folders, alloc)) return status;
        entry.AddMember("folders", folders, alloc);
    }
    return exit_done;
}

}  // namespace

int status_filter(const std::string &given, std::string &filter)
{
    filter.clear();
    const std::vector<std::string> words = words_of(lower_case(given), ",;| \t\r\n\v\f");
    if (words.empty()) return fail(exit_usage, "--status needs a status: " + statuses_known);
    std::vector<std::string> chosen;
    for (const std::string &word : words) {
        if (word == "all") return exit_done;
        const auto known = std::find(std::begin(task_statuses), std::end(task_statuses), word);
        if (known == std::end(task_statuses))
            return fail(exit_usage, "unknown status \"" + word + "\"; the statuses are " + statuses_known);
        if (std::find(chosen.begin(), chosen.end(), word) == chosen.end()) chosen.push_back(word);
    }
    for (const std::string &word : chosen) filter += (filter.empty() ? "" : ",") + word;
    return exit_done;
}

std::vector<std::string> task_ids(const std::vector<std::string> &arguments)
{
    std::vector<std::string> ids;
    for (const std::string &argument : arguments) {
        for (std::string &id : words_of(argument, ", \t\r\n\v\f")) ids.push_back(std::move(id));
    }
    return ids;
}

int show_version()
{
    if (json_output()) print_line(one_member("version", [](json_text &doc) { doc.text(ds_version()); }));
    else print_line(ds_version());
    return exit_done;
}

int ping(const connection_options &conn)
{
    if (!ds_ping()) return fail_call();
    if (!json_output()) {
        print_line("The station at " + conn.station() + " accepts the session of " + conn.user);
        return exit_done;
    }
    json_text doc;
    doc.out().StartObject();
    doc.key("station");
    doc.text(conn.station());
    doc.key("user");
    doc.text(conn.user);
    doc.key("https");
    doc.out().Bool(conn.https);
    doc.key("accepted");
    doc.out().Bool(true);
    doc.out().EndObject();
    print_line(doc.str());
    return exit_done;
}

int list_tasks(const std::string &filter, const table_style &style)
{
    const char *tasks = filter.empty() ? ds_list_tasks() : ds_list_tasks_filtered(filter.c_str());
    return show_result(tasks, [&style](std::string_view json) { return task_table(json, style); });
}

int show_task(const std::string &task_id) { return show_result(ds_get_task(task_id.c_str()), task_details); }

int act_on_tasks(task_action action, const std::vector<std::string> &ids)
{
    static const char *const verbs[] = {"Paused", "Resumed", "Deleted", "Deleted"};
    batch_report report("id", verbs[static_cast<int>(action)], "tasks");
    catch_interrupts();
    const halted stop = each_item(report, ids, [action](const std::string &id) {
        switch (action) {
        case task_action::pause: return ds_pause(id.c_str());
        case task_action::resume: return ds_resume(id.c_str());
        case task_action::remove: return ds_delete(id.c_str(), 0);
        case task_action::remove_forced: return ds_delete(id.c_str(), 1);
        }
        return -1;
    });
    return report.finish(stop == halted::interrupted);
}

int act_on_all(bulk_action action)
{
    static const char *const verbs[] = {"Paused", "Resumed", "Deleted"};
    static const char *const keys[] = {"paused", "resumed", "deleted"};
    const int index = static_cast<int>(action);
    const int count = action == bulk_action::pause_all    ? ds_pause_all()
                      : action == bulk_action::resume_all ? ds_resume_all()
                                                          : ds_delete_completed();
    if (count < 0) return fail_call("the station's task list could not be read");
    if (json_output()) print_line(one_member(keys[index], [count](json_text &doc) { doc.out().Int(count); }));
    else print_line(std::string(verbs[index]) + " " + plural(count, "task", "tasks"));
    return exit_done;
}

int add_urls(const std::vector<std::string> &urls, const std::string &from, const std::string &destination)
{
    const char *dest = destination.empty() ? nullptr : destination.c_str();
    const auto add = [dest](const std::string &url) { return ds_add_url(url.c_str(), dest); };
    std::vector<std::string> given;
    for (const std::string &argument : urls) {
        for (std::string &url : split_urls(argument)) given.push_back(std::move(url));
    }
    std::optional<url_source> source;
    if (!from.empty()) source.emplace(from);
    const std::string source_name = from == "-" ? "standard input" : from;
    if (source && !source->error().empty()) return fail(exit_usage, source->error());
    batch_report report("url", "Added", "URLs");
    catch_interrupts();
    int status = status_of(each_item(report, given, add));
    if (status == exit_done && source) status = add_from(report, *source, source_name, add);
    if (report.size() == 0 && status != exit_interrupted)
        return fail(exit_usage, from.empty() ? "no URL given" : "no URL in " + source_name);
    const int outcome = report.finish(status == exit_interrupted);
    return status == exit_done ? outcome : status;
}

int add_torrents(const std::vector<std::string> &files, const std::string &destination)
{
    const char *dest = destination.empty() ? nullptr : destination.c_str();
    batch_report report("file", "Added", "torrent files");
    catch_interrupts();
    const halted stop =
        each_item(report, files, [dest](const std::string &file) { return ds_add_torrent(file.c_str(), dest); });
    return report.finish(stop == halted::interrupted);
}

int show_info() { return show_result(ds_info(), object_lines); }

int show_stats() { return show_result(ds_stats(), speed_lines); }

int show_config() { return show_result(ds_get_config(), object_lines); }

int set_limits(int download_kbps, int upload_kbps)
{
    if (ds_set_speed_limit(download_kbps, upload_kbps) != 0) return fail_call();
    if (json_output()) {
        json_text doc;
        doc.out().StartObject();
        for (auto [name, limit] : {std::pair{"bt_max_download", download_kbps}, {"bt_max_upload", upload_kbps}}) {
            if (limit < 0) continue;
            doc.key(name);
            doc.out().Int(limit);
        }
        doc.out().EndObject();
        print_line(doc.str());
        return exit_done;
    }
    auto shown = [](int limit) {
        return limit < 0 ? std::string("unchanged") : limit == 0 ? std::string("unlimited") : std::to_string(limit) + " KB/s";
    };
    print_line("BitTorrent limits set: download " + shown(download_kbps) + ", upload " + shown(upload_kbps));
    return exit_done;
}

int destination(const std::string &folder)
{
    if (!folder.empty() && ds_set_default_destination(folder.c_str()) != 0) return fail_call();
    if (!folder.empty() && !json_output()) {
        print_line("Default destination set to " + folder);
        return exit_done;
    }
    const std::string current = ds_get_default_destination();
    if (call_failed()) return fail_call();
    if (json_output()) print_line(one_member("default_destination", [&current](json_text &doc) { doc.text(current); }));
    else print_line(current.empty() ? "(none)" : current);
    return exit_done;
}

int list_shares(const table_style &style)
{
    return show_result(ds_list_shares(), [&style](std::string_view json) { return share_table(json, style); });
}

int list_folders(const std::string &path, int depth)
{
    const std::string listing = ds_list_folders(path.c_str());
    if (call_failed()) return fail_call();
    if (!json_output()) {
        print_line(!path.empty() && path.front() == '/' ? path : "/" + path);
        return print_tree(listing, "", depth);
    }
    rapidjson::Document tree;
    rapidjson::Value folders;
    if (const int status = folder_json(listing, depth, folders, tree.GetAllocator())) return status;
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    folders.Accept(writer);
    print_line(std::string_view(text.GetString(), text.GetSize()));
    return exit_done;
}
