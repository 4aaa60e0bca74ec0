// The subcommands of ds, each after sign-in (version needs none). Each
// returns its exit status, having printed its result or its failure.
#pragma once

#include "connection.h"
#include "render.h"

#include <string>
#include <vector>

// The station's task statuses, as -s/--status takes them.
extern const char *const task_statuses[10];

// Statuses as given ("downloading,paused", any of "," ";" "|" and blanks
// between, case ignored) as the filter to hand the library: "" for all.
// 0, or the usage status after naming the unknown word and the known ones.
int status_filter(const std::string &given, std::string &filter);

// Task ids as given: each argument may hold several, separated by "," or
// blanks.
std::vector<std::string> task_ids(const std::vector<std::string> &arguments);

int show_version();
int ping(const connection_options &conn);
int list_tasks(const std::string &filter, const table_style &style);
int show_task(const std::string &task_id);

enum class task_action { pause, resume, remove, remove_forced };
// Acts on each task in its own request and reports each outcome.
int act_on_tasks(task_action action, const std::vector<std::string> &ids);
enum class bulk_action { pause_all, resume_all, delete_completed };
int act_on_all(bulk_action action);

// The URLs of the arguments, then those of the file from ("-": standard
// input), each added in its own request as soon as it is read. No
// destination: the station's default folder.
int add_urls(const std::vector<std::string> &urls, const std::string &from, const std::string &destination);
int add_torrents(const std::vector<std::string> &files, const std::string &destination);

int show_info();
int show_stats();
int show_config();
// BitTorrent limits in KB/s; -1 leaves one as it is, 0 means none.
int set_limits(int download_kbps, int upload_kbps);
// Shows the default destination, or sets it when folder is not empty.
int destination(const std::string &folder);
int list_shares(const table_style &style);
int list_folders(const std::string &path, int depth);

struct watch_options {
    std::string filter;
    double interval_sec = 2.0;
    int count = 0;  // 0: until interrupted
    table_style style;
};
// Redraws the tasks every interval; signs in again after a station restart
// or an expired session and says so on its status line.
int watch(station_session &session, const connection_options &conn, const watch_options &options);
