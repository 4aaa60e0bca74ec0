// The simulated station's Web API: one request in, one JSON envelope out,
// {"success":true,"data":...} or {"success":false,"error":{"code":N}}.
// Free of HTTP: main.cpp turns each HTTP request into an api_request.
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

struct upload {
    std::string file_name;
    std::string content;
};

struct api_request {
    std::string path;  // "/webapi/entry.cgi"
    // Query, form and multipart fields, decoded, in their order; the first
    // of a name counts.
    std::vector<std::pair<std::string, std::string>> params;
    std::string cookie_sid;     // the Cookie header's id=
    bool multipart = false;
    std::optional<upload> file; // the multipart part named "file"
};

struct station_options {
    std::string account = "admin";
    std::string password = "admin";
    double speed = 1.0;        // simulated seconds per real second
    uint64_t seed = 1;
    double error_rate = 0.1;   // the chance that a new task fails part way
    int64_t epoch_ms = 0;      // the simulated time at start
    int64_t session_idle_ms = 0;  // 0: sessions never expire
};

// Everything the station holds; guarded by web_api's mutex.
struct station_state {
    explicit station_state(const station_options &options);
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

private:
    std::mutex mutex_;
    station_state state_;
};
