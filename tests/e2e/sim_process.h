// End-to-end test support: the simulated station as a separate process on a
// free loopback port, a plain HTTP client for it, and programs run with their
// output captured. Free of any test framework.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

// A program started with pipes on its standard streams. The destructor
// kills and reaps it if it still runs, so a failed test never leaves one.
class child_process {
public:
    // env_changes: "NAME=VALUE" sets, a bare "NAME" removes; the rest of the
    // environment is passed on.
    child_process(const std::string &path, const std::vector<std::string> &args,
                  const std::vector<std::string> &env_changes, bool capture_stderr);
    ~child_process();
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    bool running() const { return pid_ > 0; }
    void send_input(const std::string &text);  // then closes standard input
    // Reads until standard output holds text; false at the time limit.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds limit);
    // Sends signal (0: none), reads both streams to their end and reaps the
    // program: its exit status, or 128 and the signal that ended it, or -1
    // when it had to be killed after the time limit.
    int finish(int signal, std::chrono::milliseconds limit);

    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    // Moves what the pipes hold into out_ and err_, waiting up to wait_ms.
    void pump(int wait_ms);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

struct program_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end with input on its standard input.
program_result run_program(const std::string &path, const std::vector<std::string> &args,
                           const std::vector<std::string> &env_changes, const std::string &input = "");

// Runs a program on a pseudo-terminal (its standard input, output and error
// all on it) to its end. Each step of dialogue waits until the terminal shows
// its first text, then types its second. The program's result holds
// everything the terminal showed in out, with the terminal's "\r\n" line ends
// as "\n".
program_result run_on_terminal(const std::string &path, const std::vector<std::string> &args,
                               const std::vector<std::string> &env_changes,
                               const std::vector<std::pair<std::string, std::string>> &dialogue = {});

struct http_answer {
    int status = 0;  // 0 when nothing came back
    std::string content_type;
    std::string body;
};

// The simulated station, started with --port 0 and the given options; its
// port is read from its first line.
class sim_process {
public:
    explicit sim_process(std::vector<std::string> options);

    int port() const { return port_; }
    // Stops it with the signal: its exit status (0 for a clean stop). Once
    // stopped, it gives the same status again.
    int stop(int signal);

    http_answer get(const std::string &target) const;
    http_answer post(const std::string &target, const std::string &content_type, const std::string &body,
                     const std::string &extra_headers = "") const;
    // Moves the station's clock forward (its GET /sim/advance); false when
    // the station did not take it.
    bool advance(int seconds) const;

private:
    child_process process_;
    int port_ = 0;
    bool stopped_ = false;
    int exit_status_ = -1;
};

// One raw exchange with 127.0.0.1:port: request bytes out, the answer split.
http_answer http_exchange(int port, const std::string &request);
