#include "help.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

const char *const exit_statuses =
    "Exit status:\n"
    "  0    done\n"
    "  1    the station refused the request, or part of it (each item's outcome is told)\n"
    "  2    usage: unknown command or option, bad value, no password to read\n"
    "  3    sign-in refused: account, password or 2-step verification code\n"
    "  4    station unreachable: no connection, no answer within the time-out, TLS failure\n"
    "  130  interrupted by Ctrl-C (what was done so far is told)\n";

size_t edit_distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string manual_formatter::make_description(const CLI::App *app) const
{
    const auto found = descriptions_.find(app);
    std::string text = app->get_description() + "\n";
    if (found != descriptions_.end()) text += "\n" + found->second + "\n\n";
    return text;
}

void document(manual_formatter &formatter, CLI::App *app, const std::string &description,
              const std::string &examples)
{
    formatter.describe(app, description);
    app->footer("The options that say where and how to sign in, and --json, -q and -v, come\n"
                "before the command: see ds --help.\n\nExamples:\n" +
                examples + "\n" + exit_statuses);
}

std::string main_footer()
{
    return "Each command signs in, does its one thing and signs out (watch stays signed in\n"
           "until it ends). The password comes from DS_PASSWORD, a prompt on a terminal, or\n"
           "with --password-stdin the first line of standard input; never from the command\n"
           "line. When the account needs a 2-step verification code, it comes from DS_OTP or\n"
           "a prompt; --trust-device NAME has the station trust this device, and DS_DEVICE_ID\n"
           "with DS_DEVICE_NAME then signs in without a code.\n"
           "\n"
           "Tables have colour only on a terminal, never with NO_COLOR set. With --json,\n"
           "standard output holds exactly one JSON document: the result, an array of each\n"
           "item's outcome (pause, resume, delete, add, add-torrent), or {\"error\":...} after\n"
           "a failure; watch prints one document per redraw, one per line.\n"
           "\n"
           "Examples:\n"
           "  export DS_HOST=nas.local DS_USER=admin\n"
           "  ds list --status downloading\n"
           "  ds --https --fingerprint AB:CD:...:EF add https://example.org/a.iso\n"
           "  ds --json list | jq -r '.[].title'\n"
           "  ds add --help\n"
           "\n" +
           std::string(exit_statuses);
}

CLI::Validator whole_range(long min, long max)
{
    const std::string wanted = max == INT_MAX ? "a whole number of " + std::to_string(min) + " or more"
                                              : "a whole number from " + std::to_string(min) + " to " +
                                                    std::to_string(max);
    return CLI::Validator(
        [min, max, wanted](std::string &input) {
            long value = 0;
            const auto [end, error] = std::from_chars(input.data(), input.data() + input.size(), value);
            if (error == std::errc() && end == input.data() + input.size() && value >= min && value <= max) return std::string();
            return input + " is out of range: give " + wanted;
        },
        "", "");
}

CLI::Validator number_at_least(double min)
{
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", min);
    const std::string wanted = std::string("a number of ") + shown + " or more";
    return CLI::Validator(
        [min, wanted](std::string &input) {
            char *end = nullptr;
            const double value = std::strtod(input.c_str(), &end);
            if (!input.empty() && *end == '\0' && std::isfinite(value) && value >= min) return std::string();
            return input + " is out of range: give " + wanted;
        },
        "", "");
}

std::string closest(const std::string &word, const std::vector<std::string> &names)
{
    std::string best;
    size_t best_distance = SIZE_MAX;
    for (const std::string &name : names) {
        const size_t distance = edit_distance(word, name);
        if (distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    return best;
}
