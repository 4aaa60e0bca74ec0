#include "connection.h"

#include "synology_ds.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {

std::string without_line_end(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Echo stays off while this lives, and comes back on every path.
class echo_off {
public:
    echo_off() : active_(tcgetattr(STDIN_FILENO, &saved_) == 0)
    {
        if (!active_) return;
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~echo_off()
    {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    echo_off(const echo_off &) = delete;
    echo_off &operator=(const echo_off &) = delete;

private:
    termios saved_{};
    bool active_;
};

}  // namespace

std::string read_password(const connection_options &options)
{
    if (const char *password = std::getenv("DS_PASSWORD")) return password;
    std::string line;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, line);
        return without_line_end(line);
    }
    std::fprintf(stderr, "Password for %s at %s: ", options.user.c_str(), options.host.c_str());
    std::fflush(stderr);
    {
        echo_off quiet;
        std::getline(std::cin, line);
    }
    std::fprintf(stderr, "\n");
    return without_line_end(line);
}

int report_failure(const char *what)
{
    const char *message = ds_last_error();
    std::fprintf(stderr, "ds: %s\n", *message ? message : what);
    return 1;
}

station_session::station_session(const connection_options &options) : options_(options)
{
    if (options.timeout_given && ds_set_timeout(options.timeout_sec) != 0) {
        status_ = report_failure();
        return;
    }
    const std::string password = read_password(options);
    if (ds_connect(options.host.c_str(), options.port, options.user.c_str(), password.c_str()) != 0) {
        status_ = report_failure();
        return;
    }
    if (!ds_is_connected()) {
        std::fprintf(stderr, "ds: the station gave no session id\n");
        return;
    }
    if (options.verbose)
        std::fprintf(stderr, "ds: logged in to %s:%d as %s\n", options.host.c_str(), options.port, options.user.c_str());
    status_ = 0;
}

station_session::~station_session()
{
    if (!ds_is_connected()) return;
    ds_disconnect();
    if (options_.verbose) std::fprintf(stderr, "ds: logged out\n");
}
