// ds: every call of the library as a subcommand. Each invocation signs in,
// does its one thing and signs out (watch stays signed in until it ends).
// The exit statuses are in report.h and in ds --help.
#include "commands.h"
#include "connection.h"
#include "help.h"
#include "report.h"

#include "synology_ds.h"

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace {

struct command {
    CLI::App *app;
    bool needs_station;
    std::function<int()> check;  // before anything is read or sent: 0 or the usage status
    std::function<int(station_session *)> run;
};

// Everything the command line gives.
struct settings {
    connection_options conn;
    bool json = false;
    bool no_headers = false;

    std::string status;
    std::string filter;  // status, checked
    std::string task_id;
    std::vector<std::string> ids;
    bool force = false;
    std::vector<std::string> urls;
    std::vector<std::string> files;
    std::string dest;
    std::string from;
    int down = -1;
    int up = -1;
    std::string folder;
    std::string path;
    int depth = 1;
    double interval = 2.0;
    int count = 0;

    table_style style() const
    {
        return {!no_headers, isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr};
    }
};

const char *const destination_note =
    "Without --dest the download goes to the station's default folder (ds destination\nshows it).";

void add_station_options(CLI::App &app, settings &s)
{
    connection_options &c = s.conn;
    const char *group = "Station";
    app.add_option("--host", c.host, "The station's host name or address")->envname("DS_HOST")->group(group);
    app.add_option("--port", c.port, "Its Web API port (default 5000, or 5001 with --https)")
        ->envname("DS_PORT")->check(whole_range(1, 65535))->group(group);
    app.add_option("--user", c.user, "The account to sign in with")->envname("DS_USER")->group(group);
    app.add_flag("--password-stdin", c.password_stdin,
                 "Read the password from the first line of standard input")->group(group);
    CLI::Option *https = app.add_flag("--https", c.https, "Talk to the station over HTTPS")->envname("DS_HTTPS")
                             ->group(group);
    app.add_option("--fingerprint", c.fingerprint,
                   "Trust exactly the certificate of this SHA-256 fingerprint (hex, colons optional)")
        ->envname("DS_FINGERPRINT")->needs(https)->group(group);
    app.add_option("--ca-file", c.ca_file, "Trust the certificates of this PEM file instead of the system's")
        ->envname("DS_CA_FILE")->needs(https)->group(group);
    app.add_flag("--insecure", c.insecure, "Do not check the station's certificate (UNSAFE)")->needs(https)
        ->group(group);
    app.add_option("--trust-device", c.trust_device,
                   "With a 2-step verification code: have the station trust this device under NAME")
        ->type_name("NAME")->group(group);
    CLI::Option *timeout = app.add_option("--timeout", c.timeout_sec, "Seconds each request may take, 1 to 300")
                               ->envname("DS_TIMEOUT")->group(group);
    timeout->each([&c](const std::string &) { c.timeout_given = true; });
    const char *output = "Output";
    app.add_flag("--json", s.json, "Print exactly one JSON document on standard output")->group(output);
    app.add_flag("-q,--no-headers", s.no_headers, "Tables without their header and summary lines")->group(output);
    app.add_flag("-v,--verbose", c.verbose, "Tell when signing in and out")->group(output);
}

class command_line {
public:
    explicit command_line(CLI::App &app) : app_(app)
    {
        formatter_ = std::make_shared<manual_formatter>();
        app_.formatter(formatter_);
    }

    CLI::App *add(const char *name, const char *summary, const char *description, const char *examples,
                  bool needs_station, std::function<int(station_session *)> run, std::function<int()> check = nullptr)
    {
        CLI::App *sub = app_.add_subcommand(name, summary);
        document(*formatter_, sub, description, examples);
        commands_.push_back({sub, needs_station, std::move(check), std::move(run)});
        return sub;
    }

    const std::vector<command> &commands() const { return commands_; }
    manual_formatter &formatter() { return *formatter_; }

private:
    CLI::App &app_;
    std::shared_ptr<manual_formatter> formatter_;
    std::vector<command> commands_;
};

void add_task_commands(command_line &cli, settings &s)
{
    auto check_status = [&s] { return s.status.empty() ? 0 : status_filter(s.status, s.filter); };
    cli.add("list", "List the tasks, all or those of some statuses",
            "Shows each task with its status, progress, size, speeds, time to completion and\n"
            "title, then how many there are of each status.",
            "  ds list\n  ds list --status downloading,waiting\n  ds --no-headers list | wc -l\n"
            "  ds --json list --status error\n",
            true, [&s](station_session *) { return list_tasks(s.filter, s.style()); }, check_status)
        ->add_option("-s,--status", s.status,
                     "Statuses, e.g. downloading,paused: waiting, downloading, paused, finishing, finished, "
                     "hash_checking, seeding, filehosting_waiting, extracting, error, or all");

    cli.add("show", "Show one task", "Shows every detail the station gives of one task.",
            "  ds show dbid_12\n  ds --json show dbid_12\n", true,
            [&s](station_session *) { return show_task(s.task_id); })
        ->add_option("id", s.task_id, "The task's id (ds list shows them)")->required();

    auto check_ids = [&s] {
        return task_ids(s.ids).empty() ? fail(exit_usage, "give the ids of the tasks") : 0;
    };
    const char *each = "Acts on each task in its own request and tells the outcome of each: which were\n"
                       "done, which the station refused and why. Ids may also be joined by \",\".";
    cli.add("pause", "Pause tasks", each, "  ds pause dbid_1 dbid_2\n  ds --json pause dbid_1,dbid_2\n", true,
            [&s](station_session *) { return act_on_tasks(task_action::pause, task_ids(s.ids)); }, check_ids)
        ->add_option("ids", s.ids, "Task ids")->required();
    cli.add("resume", "Resume paused tasks", each, "  ds resume dbid_1 dbid_2\n", true,
            [&s](station_session *) { return act_on_tasks(task_action::resume, task_ids(s.ids)); }, check_ids)
        ->add_option("ids", s.ids, "Task ids")->required();
    CLI::App *remove = cli.add(
        "delete", "Delete tasks", each, "  ds delete dbid_3\n  ds delete --force dbid_4\n", true,
        [&s](station_session *) {
            return act_on_tasks(s.force ? task_action::remove_forced : task_action::remove, task_ids(s.ids));
        },
        check_ids);
    remove->add_option("ids", s.ids, "Task ids")->required();
    remove->add_flag("--force", s.force, "Move what was downloaded of unfinished tasks to their destination");

    cli.add("pause-all", "Pause every task that is not paused, finished or failed",
            "Lists the tasks, then pauses each one that is not paused, finished or failed.",
            "  ds pause-all\n", true, [](station_session *) { return act_on_all(bulk_action::pause_all); });
    cli.add("resume-all", "Resume every paused task", "Lists the tasks, then resumes each paused one.",
            "  ds resume-all\n", true, [](station_session *) { return act_on_all(bulk_action::resume_all); });
    cli.add("delete-completed", "Delete every finished or failed task",
            "Lists the tasks, then deletes each finished or failed one (what was downloaded stays).",
            "  ds delete-completed\n", true,
            [](station_session *) { return act_on_all(bulk_action::delete_completed); });
}

void add_download_commands(command_line &cli, settings &s)
{
    auto check_add = [&s] {
        if (s.urls.empty() && s.from.empty()) return fail(exit_usage, "give URLs, or --from FILE (- for standard input)");
        if (s.from == "-" && s.conn.password_stdin)
            return fail(exit_usage, "--password-stdin and --from - cannot both read standard input");
        return 0;
    };
    const std::string add_text =
        std::string("Adds each URL in its own request as soon as it is read and tells the outcome of\n"
                    "each. A file (or standard input) holds one URL per line: lines end at CR or LF,\n"
                    "blanks around a URL are dropped, empty lines skipped. Ctrl-C stops after the\n"
                    "URL being added and tells how far it got.\n") +
        destination_note;
    CLI::App *add_cmd = cli.add("add", "Add downloads by URL (http, https, ftp, magnet)", add_text.c_str(),
                                "  ds add https://example.org/a.iso --dest downloads\n"
                                "  ds add --from urls.txt\n  grep magnet: links.txt | ds add --from -\n",
                                true, [&s](station_session *) { return add_urls(s.urls, s.from, s.dest); }, check_add);
    add_cmd->add_option("urls", s.urls, "URLs");
    add_cmd->add_option("--from", s.from, "A file of URLs, one per line; - for standard input");
    add_cmd->add_option("-d,--dest", s.dest, "Destination folder on the NAS (default: the station's default folder)");

    const std::string torrent_text =
        std::string("Uploads each torrent file (up to 20 MiB) as a new task and tells the outcome of each.\n") +
        destination_note;
    CLI::App *torrent = cli.add("add-torrent", "Upload torrent files", torrent_text.c_str(),
                                "  ds add-torrent debian.torrent --dest downloads/iso\n", true,
                                [&s](station_session *) { return add_torrents(s.files, s.dest); });
    torrent->add_option("files", s.files, "Torrent files")->required();
    torrent->add_option("-d,--dest", s.dest, "Destination folder on the NAS (default: the station's default folder)");
}

void add_station_commands(command_line &cli, settings &s)
{
    cli.add("ping", "Sign in and check that the station accepts the session",
            "Signs in, asks the station for its information with the session, and signs out.",
            "  ds ping && echo reachable\n  ds --https --insecure ping\n", true,
            [&s](station_session *) { return ping(s.conn); });
    cli.add("info", "Show the station's information", "Shows what the station tells of itself.", "  ds info\n",
            true, [](station_session *) { return show_info(); });
    cli.add("stats", "Show the total download and upload speeds", "Shows the station's total speeds.",
            "  ds stats\n", true, [](station_session *) { return show_stats(); });
    cli.add("config", "Show the station's configuration", "Shows the station's settings as it gives them.",
            "  ds config\n", true, [](station_session *) { return show_config(); });

    auto check_limit = [&s] {
        return s.down < 0 && s.up < 0 ? fail(exit_usage, "give --down, --up or both (KB/s; 0 means no limit)") : 0;
    };
    CLI::App *limit = cli.add(
        "limit", "Set the BitTorrent download and upload limits in KB/s (0: none)",
        "Sets the station's BitTorrent limits (bt_max_download and bt_max_upload), in KB/s\n"
        "as the station counts them; 0 means no limit, and a limit not given stays as it is.\n"
        "Downloads over HTTP, FTP and eMule keep their own limits (ds config shows them).",
        "  ds limit --down 2048\n  ds limit --down 0 --up 100\n", true,
        [&s](station_session *) { return set_limits(s.down, s.up); }, check_limit);
    limit->add_option("--down", s.down, "BitTorrent download limit in KB/s")->check(whole_range(0, INT_MAX));
    limit->add_option("--up", s.up, "BitTorrent upload limit in KB/s")->check(whole_range(0, INT_MAX));

    cli.add("destination", "Show the default destination, or set it",
            "Without a folder, shows where new tasks go by default; with one, makes it the default.",
            "  ds destination\n  ds destination downloads/new\n", true,
            [&s](station_session *) { return destination(s.folder); })
        ->add_option("folder", s.folder, "The new default destination");

    cli.add("shares", "List the shared folders", "Lists the NAS's shared folders, to choose a destination.",
            "  ds shares\n", true, [&s](station_session *) { return list_shares(s.style()); });
    CLI::App *folders = cli.add("folders", "List the sub-folders of a folder as a tree",
                                "Lists the folders below a shared folder, --depth levels down; with --json as\n"
                                "the station's entries, each folder's own under \"folders\".",
                                "  ds folders video\n  ds folders /video/films --depth 3\n", true,
                                [&s](station_session *) { return list_folders(s.path, s.depth); });
    folders->add_option("path", s.path, "A folder such as video or /video/films")->required();
    folders->add_option("--depth", s.depth, "Levels to show")->check(whole_range(1, 32))->capture_default_str();
}

void add_watch_command(command_line &cli, settings &s)
{
    auto check_status = [&s] { return s.status.empty() ? 0 : status_filter(s.status, s.filter); };
    CLI::App *watch_cmd = cli.add(
        "watch", "Redraw the task table every few seconds until interrupted",
        "Redraws the tasks and the station's speeds every --interval seconds. It stays signed\n"
        "in: when the station restarts or the session expires it waits for the station and\n"
        "signs in again with the same password, and says so on its status line. With --json\n"
        "each redraw is one line: {\"tasks\":[...],\"stats\":{...}}.",
        "  ds watch\n  ds watch --status downloading --interval 5\n  ds --json watch --count 1\n", true,
        [&s](station_session *session) {
            return watch(*session, s.conn, {s.filter, s.interval, s.count, s.style()});
        },
        check_status);
    watch_cmd->add_option("-s,--status", s.status, "Statuses, e.g. downloading,paused (as for list)");
    watch_cmd->add_option("--interval", s.interval, "Seconds between redraws")->check(number_at_least(0))
        ->capture_default_str();
    watch_cmd->add_option("--count", s.count, "Redraws before stopping; 0 until interrupted")
        ->check(whole_range(0, INT_MAX));
}

bool asks_for_json(int argc, char **argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

// A parse error: unknown commands are named with the closest one.
int usage_failure(CLI::App &app, const CLI::ParseError &error, const std::vector<command> &commands)
{
    const std::vector<std::string> rest = app.remaining();
    const bool no_command = app.get_subcommands().empty();
    if (no_command && !rest.empty() && !rest.front().empty() && rest.front()[0] != '-') {
        std::vector<std::string> names;
        for (const command &c : commands) names.push_back(c.app->get_name());
        fail(exit_usage, "unknown command \"" + rest.front() + "\"; the closest is \"" + closest(rest.front(), names) +
                             "\" (ds --help lists them all)");
        return exit_usage;
    }
    fail(exit_usage, error.what());
    std::fprintf(stderr, "Run with --help for more information.\n");
    return exit_usage;
}

int run(const command &c, settings &s)
{
    if (c.check) {
        if (const int status = c.check()) return status;
    }
    if (!c.needs_station) return c.run(nullptr);
    if (const int status = check_connection_options(s.conn)) return status;
    station_session session(s.conn);
    if (session.status() != 0) return session.status();
    return c.run(&session);
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"ds: drive a Synology Download Station from the command line.", "ds"};
    settings s;
    command_line cli(app);
    cli.formatter().describe(&app, "Lists, adds, pauses, resumes and deletes download tasks, shows and changes the\n"
                                   "station's settings, and browses its shared folders.");
    app.footer(main_footer());
    app.set_version_flag("--version", ds_version());
    add_station_options(app, s);
    app.require_subcommand(1);
    app.fallthrough();

    cli.add("version", "Print the library's version", "Prints the version of the library ds uses.",
            "  ds version\n", false, [](station_session *) { return show_version(); });
    add_task_commands(cli, s);
    add_download_commands(cli, s);
    add_station_commands(cli, s);
    add_watch_command(cli, s);

    set_json_output(asks_for_json(argc, argv));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usage_failure(app, e, cli.commands());
    }
    set_json_output(s.json);
    for (const command &c : cli.commands()) {
        if (c.app->parsed()) return run(c, s);
    }
    return exit_usage;
}
