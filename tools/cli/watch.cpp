// ds watch: the task table redrawn every few seconds. It outlasts a station
// that restarts (which forgets every session) and a session that expires:
// it waits while the station does not answer and signs in again when the
// station no longer takes the session.
#include "commands.h"
#include "input.h"
#include "report.h"

#include "synology_ds.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace {

struct frame {
    std::string tasks;
    std::string stats;
};

// Why the station no longer takes the session, from its code: 106 expired,
// 107 ended by another sign-in, 105 or 119 unknown (a station answers 105
// for a session of its run before a restart); "" for other refusals. A
// refusal that persists right after signing in again ends the watch.
std::string session_lost(const std::string &message)
{
    switch (station_code(message)) {
    case 106: return "the session expired";
    case 107: return "the session was ended by another sign-in";
    case 105:
    case 119: return "the station no longer knew the session";
    default: return "";
    }
}

std::string clock_time()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return text;
}

// The tasks and speeds; false with the library's message.
bool fetch(const std::string &filter, frame &out, std::string &message)
{
    out.tasks = filter.empty() ? ds_list_tasks() : ds_list_tasks_filtered(filter.c_str());
    if (*ds_last_error() == '\0') out.stats = ds_stats();
    message = ds_last_error();
    return message.empty();
}

void draw(const connection_options &conn, const watch_options &o, const frame *shown, const std::string &note)
{
    if (json_output()) {
        if (!shown) return;
        json_text doc;
        doc.out().StartObject();
        doc.key("tasks");
        doc.raw(shown->tasks);
        doc.key("stats");
        doc.raw(shown->stats);
        doc.out().EndObject();
        print_line(doc.str());
        return;
    }
    if (isatty(STDOUT_FILENO)) std::fputs("\x1b[H\x1b[2J", stdout);
    char every[32];
    std::snprintf(every, sizeof every, "%g", o.interval_sec);
    std::string status = "Tasks on " + conn.station() + ", every " + every + " s (Ctrl-C stops)";
    print_line(note.empty() ? status : status + "; " + note);
    if (shown) std::fputs((task_table(shown->tasks, o.style) + speed_lines(shown->stats) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Sleeps for seconds; false when interrupted first.
bool pause_for(double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!interrupted() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !interrupted();
}

}  // namespace

int watch(station_session &session, const connection_options &conn, const watch_options &o)
{
    catch_interrupts();
    std::string note;
    bool answering = true;
    for (int drawn = 1; !interrupted(); ++drawn) {
        frame current;
        std::string message;
        bool got = fetch(o.filter, current, message);
        const std::string lost = got ? "" : session_lost(message);
        if (!lost.empty()) {
            if (const int status = session.sign_in_again()) return status;
            note = "signed in again at " + clock_time() + " (" + lost + ")";
            if (json_output()) say(note);
            got = fetch(o.filter, current, message);
        }
        if (got && !answering && lost.empty()) note = "answering again since " + clock_time();
        if (got) {
            answering = true;
        } else if (is_transport_failure(message)) {
            if (answering) note = "no answer since " + clock_time() + " (" + message + "), trying again";
            if (answering && json_output()) say(note);
            answering = false;
        } else {
            return fail(failure_status(message), message);
        }
        draw(conn, o, got ? &current : nullptr, note);
        if (o.count != 0 && drawn >= o.count) break;
        if (!pause_for(o.interval_sec)) break;
    }
    return exit_done;
}
