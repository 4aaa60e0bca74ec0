// End-to-end test support: the simulated station as a separate process on a
// free loopback port, an HTTP client for it (plain or over TLS), and programs
// run with their output captured. Free of any test framework.
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
    // Reads until standard output holds that many whole lines.
    bool wait_for_lines(size_t count, std::chrono::milliseconds limit);
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
    std::string body;  // chunked coding removed
    std::string raw;   // every byte that came back
};

// The simulated station, started with --port 0 and the given options; its
// port is read from its first line. With --https it is spoken to over TLS
// (the certificate taken unchecked), and its second line gives the
// certificate's fingerprint.
class sim_process {
public:
    explicit sim_process(std::vector<std::string> options);

    int port() const { return port_; }
    // "AB:CD:...", or empty without --https.
    const std::string &fingerprint() const { return fingerprint_; }
    // What it printed on standard output so far.
    const std::string &output() const { return process_.out(); }
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
    http_answer exchange(const std::string &request) const;

    child_process process_;
    int port_ = 0;
    bool https_ = false;
    std::string fingerprint_;
    bool stopped_ = false;
    int exit_status_ = -1;
};

// One raw exchange with 127.0.0.1:port: request bytes out, the answer split.
http_answer http_exchange(int port, const std::string &request);

struct tls_client_options {
    // Verify the peer's certificate against this PEM file and the name or
    // address below; empty: take any certificate.
    std::string ca_file;
    std::string host_name;  // also sent as the server name
    std::string ip_address;
    int max_version = 0;  // e.g. TLS1_1_VERSION; 0: the client's default
};

struct tls_exchange_result {
    bool handshake = false;  // completed, and verified when asked
    std::string protocol;    // "TLSv1.3"
    std::string fingerprint; // the peer certificate's SHA-256, "AB:CD:..."
    http_answer answer;
};

// One exchange with 127.0.0.1:port over TLS.
tls_exchange_result tls_exchange(int port, const std::string &request, const tls_client_options &options = {});
