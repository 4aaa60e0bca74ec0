// What ds tells: results on standard output, messages on standard error
// after "ds: ", and its exit status. With --json, standard output holds
// exactly one JSON document: the result, the outcome of every item, or after
// a failure {"error":MESSAGE,"exit_status":N} (with "code" when the station
// gave one).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

// One per kind of outcome, so that a script can tell a refused sign-in from a
// station it cannot reach.
enum exit_status : int {
    exit_done = 0,
    exit_refused = 1,       // the station refused the request or part of it
    exit_usage = 2,         // the command line or its input
    exit_sign_in = 3,       // the station refused the sign-in
    exit_unreachable = 4,   // no answer: connection, time-out, TLS
    exit_interrupted = 130, // Ctrl-C, as shells report SIGINT
};

// The library's words for "no answer came": "HTTP ... failed: WHY" and
// "Ping request failed: WHY".
bool is_transport_failure(std::string_view message);
// N of a refusal's "(code N: TEXT)"; 0 when the message carries none.
int station_code(std::string_view message);
// The exit status for a call that failed with message after sign-in.
int failure_status(std::string_view message);

void set_json_output(bool json);
bool json_output();

// "ds: text" on standard error.
void say(std::string_view text);
// Reports a failure: message on standard error and, with --json, the error
// document; returns status.
int fail(int status, std::string_view message);
// fail() with the library's last error, or what when it holds none.
int fail_call(std::string_view what = "the station's answer could not be read");

// A JSON text built in one pass.
class json_text {
public:
    json_text() : writer_(buffer_) {}
    rapidjson::Writer<rapidjson::StringBuffer> &out() { return writer_; }
    void key(std::string_view name) { writer_.Key(name.data(), static_cast<rapidjson::SizeType>(name.size())); }
    void text(std::string_view value)
    {
        writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }
    // A JSON text from the library, written in as it is.
    void raw(std::string_view json)
    {
        writer_.RawValue(json.data(), json.size(), rapidjson::kObjectType);
    }
    std::string str() const { return std::string(buffer_.GetString(), buffer_.GetSize()); }

private:
    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Prints text and a line end on standard output and flushes it.
void print_line(std::string_view text);

// The outcome of each item of a command that acts on several (task ids,
// URLs, torrent files): each success on standard output as it happens
// ("Paused dbid_1"), each failure on standard error, a summary when there
// was more than one ("Paused 1 of 2 tasks"); with --json one array of
// {"id":...,"ok":true} and {"id":...,"ok":false,"error":...,"code":N}.
class batch_report {
public:
    // key: the JSON member naming an item ("id", "url", "file"); verb: the
    // past tense shown ("Paused"); noun: the plural of the items ("tasks").
    batch_report(const char *key, const char *verb, const char *noun);

    void done(const std::string &item);
    // A failed item, with the library's message.
    void failed(const std::string &item, const std::string &message);
    // Items that were never tried, with why not.
    void not_tried(const std::vector<std::string> &items, const std::string &reason);
    size_t size() const { return outcomes_.size(); }

    // Prints the summary or the JSON array; the exit status: 0 when every item
    // was done, else 130 after Ctrl-C, 4 after a transport failure, 1 after
    // refusals.
    int finish(bool interrupted);

private:
    struct outcome {
        std::string item;
        bool ok = false;
        std::string error;
    };

    const char *key_;
    const char *verb_;
    const char *noun_;
    std::vector<outcome> outcomes_;
    size_t done_count_ = 0;
    bool unreachable_ = false;
};
