// ds: every call of the library as a subcommand. Each invocation logs in,
// does its one thing and logs out (watch stays logged in until it ends).
// Exit status: 0 done, 1 the library or the station refused (the library's
// message on stderr), 2 a usage error.
#include "connection.h"
#include "render.h"

#include "synology_ds.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

constexpr int usage_error = 2;

volatile std::sig_atomic_t g_interrupted = 0;

struct command {
    CLI::App *app;
    bool needs_station;
    std::function<int()> run;
};

bool call_failed() { return *ds_last_error() != '\0'; }

std::string joined(const std::vector<std::string> &items, const char *separator)
{
    std::string text;
    for (const std::string &item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// A text result: as the library gave it with --json, else rendered.
int show_text(const char *result, bool json, const std::function<std::string(std::string_view)> &render)
{
    if (call_failed()) return report_failure();
    const std::string text = json ? std::string(result) + "\n" : render(result);
    std::fputs(text.c_str(), stdout);
    return 0;
}

// A status result (0, a station code or -1).
int show_status(int status, bool json, const std::string &done)
{
    if (status != 0) return report_failure();
    std::puts(json ? "0" : done.c_str());
    return 0;
}

// A count of tasks acted on, or -1.
int show_count(int count, bool json, const char *verb)
{
    if (count < 0) return report_failure();
    if (json) std::printf("%d\n", count);
    else std::printf("%s %d %s\n", verb, count, count == 1 ? "task" : "tasks");
    return 0;
}

// The lines that the library takes for URLs: not blank after trimming.
int url_lines(const std::string &batch)
{
    std::istringstream lines(batch);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find_first_not_of(" \t\r\v\f") != std::string::npos) ++count;
    }
    return count;
}

int add_urls(const std::vector<std::string> &urls, const std::string &from, const std::string &dest, bool json)
{
    const char *destination = dest.empty() ? nullptr : dest.c_str();
    if (urls.size() == 1 && from.empty())
        return show_status(ds_add_url(urls[0].c_str(), destination), json, "Added " + urls[0]);
    std::string batch = joined(urls, "\n");
    if (!from.empty()) {
        std::ifstream file_stream;
        if (from != "-") file_stream.open(from);
        std::istream &in = from == "-" ? std::cin : file_stream;
        if (!in) {
            std::fprintf(stderr, "ds: cannot read %s\n", from.c_str());
            return 1;
        }
        batch += (batch.empty() ? "" : "\n") + std::string(std::istreambuf_iterator<char>(in), {});
    }
    const int given = url_lines(batch);
    const int added = ds_add_urls(batch.c_str(), destination);
    if (added < 0) return report_failure();
    if (json) std::printf("%d\n", added);
    else std::printf("Added %d of %d URLs\n", added, given);
    if (added < given) return report_failure("some URLs were refused");
    return 0;
}

int set_limits(int down, int up, bool json)
{
    auto shown = [](int limit) {
        return limit < 0 ? std::string("unchanged") : limit == 0 ? std::string("unlimited") : std::to_string(limit) + " KB/s";
    };
    return show_status(ds_set_speed_limit(down, up), json,
                       "Speed limits set: download " + shown(down) + ", upload " + shown(up));
}

int destination(const std::string &folder, bool json)
{
    if (folder.empty()) {
        const std::string current = ds_get_default_destination();
        if (call_failed()) return report_failure();
        std::puts(json || !current.empty() ? current.c_str() : "(none)");
        return 0;
    }
    return show_status(ds_set_default_destination(folder.c_str()), json, "Default destination set to " + folder);
}

// The sub-folders of each folder in entries, depth levels down, drawn as a tree.
int print_tree(const std::vector<folder_entry> &entries, const std::string &prefix, int depth)
{
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool last = i + 1 == entries.size();
        std::printf("%s%s%s\n", prefix.c_str(), last ? "└── " : "├── ", entries[i].name.c_str());
        if (!entries[i].isdir || depth <= 1) continue;
        const std::vector<folder_entry> below = parse_folders(ds_list_folders(entries[i].path.c_str()));
        if (call_failed()) return report_failure();
        if (const int status = print_tree(below, prefix + (last ? "    " : "│   "), depth - 1)) return status;
    }
    return 0;
}

int folders(const std::string &path, int depth, bool json)
{
    const std::string listing = ds_list_folders(path.c_str());
    if (call_failed()) return report_failure();
    if (json) {
        std::puts(listing.c_str());
        return 0;
    }
    std::puts(!path.empty() && path.front() == '/' ? path.c_str() : ("/" + path).c_str());
    return print_tree(parse_folders(listing), "", depth);
}

void on_interrupt(int) { g_interrupted = 1; }

// Sleeps for seconds; false when interrupted first.
bool pause_for(double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !g_interrupted;
}

int watch_frame(const connection_options &conn, const std::string &status, double interval, bool json)
{
    const std::string tasks = status.empty() ? ds_list_tasks() : ds_list_tasks_filtered(status.c_str());
    if (call_failed()) return report_failure();
    const std::string stats = ds_stats();
    if (call_failed()) return report_failure();
    if (json) {
        std::puts(tasks.c_str());
    } else {
        if (isatty(STDOUT_FILENO)) std::fputs("\x1b[H\x1b[2J", stdout);
        std::printf("Tasks on %s:%d, every %g s (Ctrl-C stops)\n", conn.host.c_str(), conn.port, interval);
        std::fputs(task_table(tasks).c_str(), stdout);
        std::fputs(speed_lines(stats).c_str(), stdout);
        std::puts("");
    }
    std::fflush(stdout);
    return 0;
}

// Redraws the task table every interval seconds, count times (0: until
// interrupted).
int watch(const connection_options &conn, const std::string &status, double interval, int count, bool json)
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    for (int frame = 1; !g_interrupted; ++frame) {
        if (const int failed = watch_frame(conn, status, interval, json)) return failed;
        if (count != 0 && frame >= count) break;
        if (!pause_for(interval)) break;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Drive a Synology Download Station from the command line.", "ds"};
    connection_options conn;
    bool json = false;
    app.set_version_flag("--version", ds_version());
    app.add_option("--host", conn.host, "The station's host name or address")->envname("DS_HOST");
    app.add_option("--port", conn.port, "Its Web API port")->envname("DS_PORT")->check(CLI::Range(1, 65535))->capture_default_str();
    app.add_option("--user", conn.user, "The account to log in with (the password comes from DS_PASSWORD or a prompt)")->envname("DS_USER");
    CLI::Option *timeout = app.add_option("--timeout", conn.timeout_sec, "Seconds each request may take, 1 to 300")
                               ->envname("DS_TIMEOUT");
    app.add_flag("--json", json, "Print the library's JSON text as it is");
    app.add_flag("-v,--verbose", conn.verbose, "Tell when logging in and out");
    app.require_subcommand(1);
    app.fallthrough();

    std::vector<command> commands;
    auto add = [&](const char *name, const char *help, bool needs_station, std::function<int()> run) {
        CLI::App *sub = app.add_subcommand(name, help);
        commands.push_back({sub, needs_station, std::move(run)});
        return sub;
    };

    add("version", "Print the library's version", false, [] { return std::puts(ds_version()) < 0; });
    add("ping", "Log in and check that the station accepts the session", true, [&] {
        if (!ds_ping()) return report_failure();
        std::printf("The station at %s:%d accepts the session of %s\n", conn.host.c_str(), conn.port, conn.user.c_str());
        return 0;
    });

    std::string status;
    add("list", "List the tasks, all or those of some statuses", true, [&] {
        return show_text(status.empty() ? ds_list_tasks() : ds_list_tasks_filtered(status.c_str()), json, task_table);
    })->add_option("-s,--status", status, "Statuses, e.g. downloading,paused");

    std::string task_id;
    add("show", "Show one task", true, [&] { return show_text(ds_get_task(task_id.c_str()), json, task_details); })
        ->add_option("id", task_id, "The task's id")->required();

    std::vector<std::string> ids;
    bool force = false;
    add("pause", "Pause tasks", true, [&] {
        return show_status(ds_pause(joined(ids, ",").c_str()), json, "Paused " + joined(ids, ", "));
    })->add_option("ids", ids, "Task ids")->required();
    add("resume", "Resume paused tasks", true, [&] {
        return show_status(ds_resume(joined(ids, ",").c_str()), json, "Resumed " + joined(ids, ", "));
    })->add_option("ids", ids, "Task ids")->required();
    CLI::App *remove = add("delete", "Delete tasks", true, [&] {
        return show_status(ds_delete(joined(ids, ",").c_str(), force), json, "Deleted " + joined(ids, ", "));
    });
    remove->add_option("ids", ids, "Task ids")->required();
    remove->add_flag("--force", force, "Move what was downloaded of unfinished tasks to their destination");

    add("pause-all", "Pause every waiting or downloading task", true, [&] { return show_count(ds_pause_all(), json, "Paused"); });
    add("resume-all", "Resume every paused task", true, [&] { return show_count(ds_resume_all(), json, "Resumed"); });
    add("delete-completed", "Delete every finished or failed task", true,
        [&] { return show_count(ds_delete_completed(), json, "Deleted"); });

    std::vector<std::string> urls;
    std::string dest;
    std::string from;
    CLI::App *add_cmd = add("add", "Add downloads by URL (http, https, ftp, magnet)", true,
                            [&] { return add_urls(urls, from, dest, json); });
    add_cmd->add_option("urls", urls, "URLs; more than one are added as a batch");
    add_cmd->add_option("--from", from, "A file of URLs, one per line; - for standard input");
    add_cmd->add_option("-d,--dest", dest, "Destination folder on the NAS (default: personal)");

    std::string torrent;
    CLI::App *torrent_cmd = add("add-torrent", "Upload a torrent file", true, [&] {
        return show_status(ds_add_torrent(torrent.c_str(), dest.empty() ? nullptr : dest.c_str()), json,
                           "Added " + torrent);
    });
    torrent_cmd->add_option("file", torrent, "The torrent file")->required();
    torrent_cmd->add_option("-d,--dest", dest, "Destination folder on the NAS (default: personal)");

    add("info", "Show the station's information", true, [&] { return show_text(ds_info(), json, object_lines); });
    add("stats", "Show the total download and upload speeds", true, [&] { return show_text(ds_stats(), json, speed_lines); });
    add("config", "Show the station's configuration", true, [&] { return show_text(ds_get_config(), json, object_lines); });

    int down = -1;
    int up = -1;
    CLI::App *limit = add("limit", "Set the download and upload limits in KB/s (0: none)", true,
                          [&] { return set_limits(down, up, json); });
    limit->add_option("--down", down, "Download limit in KB/s")->check(CLI::NonNegativeNumber);
    limit->add_option("--up", up, "Upload limit in KB/s")->check(CLI::NonNegativeNumber);
    limit->require_option(1, 2);

    std::string folder;
    add("destination", "Show the default destination, or set it", true, [&] { return destination(folder, json); })
        ->add_option("folder", folder, "The new default destination");

    add("shares", "List the shared folders", true, [&] { return show_text(ds_list_shares(), json, share_table); });

    std::string path;
    int depth = 1;
    CLI::App *folders_cmd = add("folders", "List the sub-folders of a folder as a tree", true,
                                [&] { return folders(path, depth, json); });
    folders_cmd->add_option("path", path, "A folder such as video or /video/films")->required();
    folders_cmd->add_option("--depth", depth, "Levels to show")->check(CLI::Range(1, 32))->capture_default_str();

    double interval = 2.0;
    int count = 0;
    CLI::App *watch_cmd = add("watch", "Redraw the task table every few seconds until interrupted", true,
                              [&] { return watch(conn, status, interval, count, json); });
    watch_cmd->add_option("-s,--status", status, "Statuses, e.g. downloading,paused");
    watch_cmd->add_option("--interval", interval, "Seconds between redraws")->check(CLI::NonNegativeNumber)->capture_default_str();
    watch_cmd->add_option("--count", count, "Redraws before stopping; 0 until interrupted")->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : usage_error;
    }
    conn.timeout_given = timeout->count() > 0;
    for (const command &c : commands) {
        if (!c.app->parsed()) continue;
        if (!c.needs_station) return c.run();
        if (conn.host.empty() || conn.user.empty()) {
            std::fprintf(stderr, "ds: give the station with --host (or DS_HOST) and --user (or DS_USER)\n");
            return usage_error;
        }
        station_session session(conn);
        if (session.status() != 0) return session.status();
        return c.run();
    }
    return usage_error;
}
