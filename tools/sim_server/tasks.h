// The simulated station's download tasks. A new task waits 1 to 5 seconds,
// then downloads 64 MiB to 1 GiB (a torrent 256 MiB to 4 GiB) at 0.5 to
// 8 MiB/s until it is finished; so every task downloads for at least 8
// seconds, and without limits all are done within 3 hours. A torrent uploads
// while it downloads and goes on seeding once it has it all, until it is
// paused or removed; torrents share the station's limits. When the dice said
// so at its creation, a task fails part way with one of the station's error
// words; resumed, it waits again and retries from where it stopped. Time only
// moves through catch_up and the actions, all of which take the clock's
// reading: the store itself never looks at a clock.
#pragma once

#include "json_writer.h"
#include "sim_random.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a create request names, before the dice are cast.
struct task_source {
    std::string uri;    // the URL, or the uploaded torrent's file name
    std::string title;
    std::string type;   // "http", "ftp" or "bt"
    std::string destination;
    std::string username;
};

// The station's bt_max_download and bt_max_upload, in KB/s for all torrent
// tasks together; 0 means no limit.
struct task_limits {
    int64_t download_kib = 0;
    int64_t upload_kib = 0;
};

struct task {
    std::string id, title, type, username, uri, destination;
    std::string status;  // waiting, downloading, paused, finished, seeding or error
    int64_t size = 0;
    // Progress is kept per stretch of constant speed: the bytes at its
    // start, and its start. A stretch ends at every event and action.
    int64_t downloaded_base = 0;
    int64_t uploaded_base = 0;
    int64_t stretch_start_ms = 0;
    int64_t own_download = 0;  // bytes per second the task would get alone
    int64_t own_upload = 0;
    int64_t speed_download = 0;  // what it gets now; 0 unless downloading
    int64_t speed_upload = 0;    // 0 unless downloading or seeding
    int64_t start_at_ms = 0;      // when waiting ends
    int64_t fail_at_bytes = -1;   // where it fails, -1 never
    std::string error_detail;     // the station's word for the failure
    int64_t create_time = 0;      // seconds since 1970; 0 for not yet
    int64_t started_time = 0;
    int64_t completed_time = 0;
    int seeders = 0;
    int leechers = 0;
    int total_peers = 0;
};

// A task for a URL of the schemes http, https, ftp and magnet, titled after
// its file or its magnet name; nothing for any other URL.
std::optional<task_source> describe_url(std::string_view uri);
// A task for an uploaded torrent, titled after the name inside it when it has
// one, else after its file name.
task_source describe_torrent(std::string_view file_name, std::string_view content);

class task_store {
public:
    // numbers_as_text: sizes, speeds and the creation time written as JSON
    // strings of digits, as the station's own guide shows them.
    task_store(double error_rate, bool numbers_as_text)
        : error_rate_(error_rate), numbers_as_text_(numbers_as_text)
    {
    }

    // Plays every event up to now_ms. Every reading of tasks comes after one.
    void catch_up(int64_t now_ms);

    // The new task's id ("dbid_" and a number counting from 1).
    std::string add(task_source source, int64_t now_ms, sim_random &random);

    // 0, 404 for an unknown id, or 405 when the task's status does not allow
    // it: waiting, downloading and seeding tasks pause; paused tasks and
    // failed ones resume.
    int pause(std::string_view id, int64_t now_ms);
    int resume(std::string_view id, int64_t now_ms);
    int remove(std::string_view id, int64_t now_ms);

    void set_limits(task_limits limits, int64_t now_ms);

    const std::vector<task> &tasks() const { return tasks_; }
    const task *find(std::string_view id) const;

    // Bytes per second of all tasks together.
    int64_t total_download_speed() const;
    int64_t total_upload_speed() const;

    // One task object as the station lists it, with its status_extra (null,
    // or {"error_detail":WORD} for a failed task); the "additional" object holds
    // the detail and transfer objects asked for, and is left out without them.
    void write(json_writer &out, const task &t, int64_t now_ms, bool detail, bool transfer) const;

private:
    void write_figure(json_writer &out, const char *key, int64_t value) const;
    void write_detail(json_writer &out, const task &t) const;
    void write_transfer(json_writer &out, const task &t, int64_t now_ms) const;
    task *find_mutable(std::string_view id);
    void settle(int64_t now_ms);
    void share_bandwidth();

    double error_rate_;
    bool numbers_as_text_;
    task_limits limits_;
    int64_t next_number_ = 1;
    std::vector<task> tasks_;
};
