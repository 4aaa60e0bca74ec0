// The simulated station's Web API: one request in, one JSON envelope out,
// {"data":...,"success":true} or {"error":{"code":N},"success":false} (with
// "errors" beside the code where the station explains itself). Free of HTTP:
// main.cpp turns each HTTP request into an api_request.
#pragma once

#include "sessions.h"
#include "sim_clock.h"
#include "sim_random.h"
#include "station.h"
#include "tasks.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One part of a multipart/form-data body.
struct form_part {
    std::string name;
    std::string file_name;  // empty for a plain field
    std::string content;
};

struct api_request {
    std::string path;  // "/webapi/entry.cgi"
    // Query and form fields (a multipart body's plain fields included),
    // decoded, in their order; the first of a name counts.
    std::vector<std::pair<std::string, std::string>> params;
    std::string cookie_sid;  // the Cookie header's id=
    bool multipart = false;
    std::vector<form_part> parts;  // a multipart body's parts, in their order
};

// Download Station 3.8.16 and later takes torrent files only through
// SYNO.DownloadStation2.Task; earlier ones through SYNO.DownloadStation.Task.
enum class station_version { legacy, current };

struct station_options {
    station_version version = station_version::current;
    std::string account = "admin";
    std::string password = "admin";
    std::optional<std::string> otp_key;  // the second factor's secret, decoded
    std::string default_destination = "downloads";  // empty: none set
    double speed = 1.0;        // simulated seconds per real second
    uint64_t seed = 1;
    double error_rate = 0.1;   // the chance that a new task fails part way
    bool numbers_as_text = false;
    int64_t epoch_ms = 0;      // the simulated time at start
    int64_t session_idle_ms = 0;  // 0: sessions never expire
};

// Everything the station holds; guarded by web_api's mutex.
struct station_state {
    explicit station_state(const station_options &options);
    station_version version;
    sim_clock clock;
    // Two streams, so that the tasks' figures depend on the order of the
    // tasks alone, not on how many logins came between them.
    sim_random session_random;
    sim_random task_random;
    session_store sessions;
    task_store tasks;
    station settings;
};

class web_api {
public:
    explicit web_api(const station_options &options) : state_(options) {}

    // Thread-safe: one request at a time works on the station.
    std::string answer(const api_request &request);
    // Moves simulated time forward by whole seconds (a decimal text); the
    // envelope holds the new time in seconds, or code 101 for a bad number.
    std::string advance_clock(std::string_view seconds);
    // The second factor's code valid now on the simulated clock; code 101
    // when the account has no second factor.
    std::string current_otp();

private:
    std::mutex mutex_;
    station_state state_;
};
