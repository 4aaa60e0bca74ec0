#include "report.h"

#include "synology_ds.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool g_json = false;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The error document of a failure.
std::string error_document(int status, std::string_view message)
{
    json_text doc;
    doc.out().StartObject();
    doc.key("error");
    doc.text(message);
    doc.key("exit_status");
    doc.out().Int(status);
    if (const int code = station_code(message)) {
        doc.key("code");
        doc.out().Int(code);
    }
    doc.out().EndObject();
    return doc.str();
}

}  // namespace

bool is_transport_failure(std::string_view message)
{
    if (starts_with(message, "Ping request failed: ")) return true;
    return starts_with(message, "HTTP ") && message.find(" failed: ") != std::string_view::npos;
}

int station_code(std::string_view message)
{
    const size_t at = message.rfind("(code ");
    if (at == std::string_view::npos) return 0;
    return std::atoi(std::string(message.substr(at + 6)).c_str());
}

int failure_status(std::string_view message)
{
    if (is_transport_failure(message)) return exit_unreachable;
    // Values that the library judges before sending anything.
    if (starts_with(message, "Invalid timeout: ") || starts_with(message, "Invalid options: ")) return exit_usage;
    return exit_refused;
}

void set_json_output(bool json) { g_json = json; }

bool json_output() { return g_json; }

void say(std::string_view text)
{
    std::fprintf(stderr, "ds: %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

int fail(int status, std::string_view message)
{
    say(message);
    if (g_json) print_line(error_document(status, message));
    return status;
}

int fail_call(std::string_view what)
{
    const std::string message = ds_last_error();
    if (message.empty()) return fail(exit_refused, what);
    return fail(failure_status(message), message);
}

void print_line(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

batch_report::batch_report(const char *key, const char *verb, const char *noun)
    : key_(key), verb_(verb), noun_(noun)
{
}

void batch_report::done(const std::string &item)
{
    outcomes_.push_back({item, true, ""});
    ++done_count_;
    if (!g_json) print_line(std::string(verb_) + " " + item);
}

void batch_report::failed(const std::string &item, const std::string &message)
{
    outcomes_.push_back({item, false, message});
    unreachable_ = unreachable_ || is_transport_failure(message);
    // The library names a task in its refusals of that task; a URL or a
    // request refused as a whole is named here.
    say(message.find(item) == std::string::npos ? item + ": " + message : message);
}

void batch_report::not_tried(const std::vector<std::string> &items, const std::string &reason)
{
    if (items.empty()) return;
    for (const std::string &item : items) outcomes_.push_back({item, false, "Not tried: " + reason});
    say("not tried (" + reason + "): " + std::to_string(items.size()) + " of " + std::to_string(outcomes_.size()) +
        ", from " + items.front() + " on");
}

int batch_report::finish(bool interrupted)
{
    if (g_json) {
        json_text doc;
        doc.out().StartArray();
        for (const outcome &o : outcomes_) {
            doc.out().StartObject();
            doc.key(key_);
            doc.text(o.item);
            doc.key("ok");
            doc.out().Bool(o.ok);
            if (!o.ok) {
                doc.key("error");
                doc.text(o.error);
                if (const int code = station_code(o.error)) {
                    doc.key("code");
                    doc.out().Int(code);
                }
            }
            doc.out().EndObject();
        }
        doc.out().EndArray();
        print_line(doc.str());
    } else if (outcomes_.size() > 1) {
        print_line(std::string(verb_) + " " + std::to_string(done_count_) + " of " + std::to_string(outcomes_.size()) +
                   " " + noun_);
    }
    if (interrupted) return exit_interrupted;
    if (unreachable_) return exit_unreachable;
    return done_count_ == outcomes_.size() ? exit_done : exit_refused;
}
