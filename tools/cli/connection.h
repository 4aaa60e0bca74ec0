// Where the tool logs in: host, port and user from flags or DS_HOST, DS_PORT
// and DS_USER; the password from DS_PASSWORD, else a prompt without echo,
// never from the command line.
#pragma once

#include <string>

struct connection_options {
    std::string host;
    int port = 5000;
    std::string user;
    int timeout_sec = 10;
    bool timeout_given = false;  // else the library keeps its own
    bool verbose = false;
};

// DS_PASSWORD when set; else, on a terminal, a prompt with echo off; else
// the first line of standard input.
std::string read_password(const connection_options &options);

// Prints "ds: " and the library's last error (or what, when it has none)
// on stderr; returns the failure exit status.
int report_failure(const char *what = "the station refused the request");

// A login for the life of one command: logs in on construction, logs out
// on destruction.
class station_session {
public:
    explicit station_session(const connection_options &options);
    ~station_session();
    station_session(const station_session &) = delete;
    station_session &operator=(const station_session &) = delete;

    // 0 once logged in, else the exit status (the message is printed).
    int status() const { return status_; }

private:
    const connection_options &options_;
    int status_ = 1;
};
