// Runs a host program against the simulated station:
//
//   with_station [--expect FILE] -- PROGRAM [ARGS...]
//
// starts the station on a free loopback port with its clock stopped, gives it
// two downloads a minute under way (a.iso at 7.4%, b.iso at 53.2%), runs the
// program with DS_HOST, DS_PORT, DS_USER and DS_PASSWORD naming the station
// and passes its output on. With --expect the program's standard output must
// be FILE's text, byte for byte. Exits with 0 when the program exited with 0,
// printed what was expected, and the station stopped cleanly; else with 1.
#include "sim_process.h"
#include "synology_ds.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct invocation {
    std::string expected_file;
    std::vector<std::string> program;  // path and arguments
};

bool parse_arguments(int argc, char **argv, invocation &call)
{
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--expect" && i + 1 < argc) call.expected_file = argv[++i];
        else return false;
    }
    call.program.assign(argv + std::min(i + 1, argc), argv + argc);
    return !call.program.empty();
}

bool read_file(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The downloads the program finds: added through the library, then the
// station's clock moved a minute on.
bool fill_station(const sim_process &sim)
{
    const bool added = ds_connect("127.0.0.1", sim.port(), "admin", "admin") == 0 &&
                       ds_add_urls("https://example.org/a.iso\nhttps://example.org/b.iso", nullptr) == 2;
    if (!added) std::fprintf(stderr, "with_station: filling the station failed: %s\n", ds_last_error());
    ds_disconnect();
    return added && sim.advance(60);
}

int run(const invocation &call)
{
    sim_process sim({"--speed", "0", "--seed", "7", "--epoch", "1700000000", "--error-rate", "0"});
    if (sim.port() == 0) {
        std::fprintf(stderr, "with_station: the station did not start\n");
        return 1;
    }
    if (!fill_station(sim)) return 1;
    const std::vector<std::string> args(call.program.begin() + 1, call.program.end());
    const program_result result =
        run_program(call.program[0], args,
                    {"DS_HOST=127.0.0.1", "DS_PORT=" + std::to_string(sim.port()), "DS_USER=admin",
                     "DS_PASSWORD=admin"});
    std::fputs(result.out.c_str(), stdout);
    std::fputs(result.err.c_str(), stderr);
    int status = 0;
    if (result.status != 0) {
        std::fprintf(stderr, "with_station: %s exited with %d\n", call.program[0].c_str(), result.status);
        status = 1;
    }
    std::string expected;
    if (!call.expected_file.empty() && !read_file(call.expected_file, expected)) {
        std::fprintf(stderr, "with_station: cannot read %s\n", call.expected_file.c_str());
        status = 1;
    } else if (!call.expected_file.empty() && result.out != expected) {
        std::fprintf(stderr, "with_station: the output differs from %s, which holds:\n%s",
                     call.expected_file.c_str(), expected.c_str());
        status = 1;
    }
    const int station_status = sim.stop(SIGTERM);
    if (station_status != 0) {
        std::fprintf(stderr, "with_station: the station stopped with %d\n", station_status);
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    invocation call;
    if (!parse_arguments(argc, argv, call)) {
        std::fprintf(stderr, "usage: with_station [--expect FILE] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    return run(call);
}
