#include "render.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

namespace {

using json_value = rapidjson::Value;

// Parses the library's text; a text that is not JSON gives a null document.
rapidjson::Document parse(std::string_view text)
{
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError()) doc.SetNull();
    return doc;
}

const json_value *member(const json_value &object, const char *key)
{
    if (!object.IsObject()) return nullptr;
    auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

std::string text_of(const json_value &object, const char *key)
{
    const json_value *v = member(object, key);
    return v && v->IsString() ? std::string(v->GetString(), v->GetStringLength()) : std::string();
}

int64_t number_of(const json_value &object, const char *key)
{
    const json_value *v = member(object, key);
    return v && v->IsInt64() ? v->GetInt64() : 0;
}

double real_of(const json_value &object, const char *key)
{
    const json_value *v = member(object, key);
    return v && v->IsNumber() ? v->GetDouble() : 0.0;
}

std::string compact(const json_value &value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Display width of UTF-8 text: one column per character.
size_t columns_of(std::string_view text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Wraps a cell's text in an escape sequence, or leaves it; padding is
// measured on the text alone.
using cell_painter = std::function<std::string(size_t row, size_t column, const std::string &text)>;

// Rows of cells, left-aligned, two spaces between columns; the last column
// is not padded.
std::string table(const std::vector<std::vector<std::string>> &rows, const cell_painter &paint = nullptr)
{
    std::vector<size_t> widths;
    for (const auto &row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], columns_of(row[i]));
    }
    std::string out;
    for (size_t r = 0; r < rows.size(); ++r) {
        const auto &row = rows[r];
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += paint ? paint(r, i, row[i]) : row[i];
            if (i + 1 < row.size()) line.append(widths[i] - columns_of(row[i]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

// SGR colour of a status word: active green, stopped yellow, done blue,
// failed red, on its way cyan.
const char *status_colour(const std::string &status)
{
    if (status == "downloading" || status == "seeding") return "32";
    if (status == "paused") return "33";
    if (status == "finished") return "34";
    if (status == "error") return "31";
    return "36";
}

std::string painted(const char *sgr, const std::string &text) { return std::string("\x1b[") + sgr + "m" + text + "\x1b[0m"; }

// value with the given digits after the point.
std::string decimals(double value, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string utc_time(int64_t seconds)
{
    if (seconds <= 0) return "-";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!gmtime_r(&t, &parts)) return "-";
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string speed_cell(int64_t speed) { return speed > 0 ? human_speed(speed) : "-"; }

std::vector<std::string> task_row(const json_value &task)
{
    std::string title = text_of(task, "title");
    const std::string detail = text_of(task, "error_detail");
    if (!detail.empty()) title += " (" + detail + ")";
    return {text_of(task, "id"),
            text_of(task, "status"),
            progress_bar(real_of(task, "progress")),
            human_size(number_of(task, "size_total")),
            speed_cell(number_of(task, "speed_download")),
            speed_cell(number_of(task, "speed_upload")),
            human_duration(number_of(task, "eta_seconds")),
            title};
}

// "3 tasks: 1 downloading, 2 finished", statuses in their usual order.
std::string summary(const json_value &tasks)
{
    static const char *const order[] = {"downloading", "waiting", "paused", "finished", "error"};
    std::map<std::string, int> counts;
    for (const json_value &task : tasks.GetArray()) ++counts[text_of(task, "status")];
    std::string parts;
    auto add = [&](const std::string &status) {
        auto found = counts.find(status);
        if (found == counts.end()) return;
        parts += (parts.empty() ? "" : ", ") + std::to_string(found->second) + " " + status;
        counts.erase(found);
    };
    for (const char *status : order) add(status);
    while (!counts.empty()) add(counts.begin()->first);
    const size_t n = tasks.Size();
    return std::to_string(n) + (n == 1 ? " task: " : " tasks: ") + parts + "\n";
}

}  // namespace

std::string human_size(int64_t bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    return decimals(value, 1) + " " + units[unit];
}

std::string human_speed(int64_t bytes_per_second) { return human_size(bytes_per_second) + "/s"; }

std::string human_duration(int64_t seconds)
{
    if (seconds < 0) return "-";
    char text[32];
    if (seconds < 60) std::snprintf(text, sizeof text, "%" PRId64 "s", seconds);
    else if (seconds < 3600) std::snprintf(text, sizeof text, "%" PRId64 "m%02" PRId64 "s", seconds / 60, seconds % 60);
    else if (seconds < 86400) std::snprintf(text, sizeof text, "%" PRId64 "h%02" PRId64 "m", seconds / 3600, seconds % 3600 / 60);
    else std::snprintf(text, sizeof text, "%" PRId64 "d%02" PRId64 "h", seconds / 86400, seconds % 86400 / 3600);
    return text;
}

std::string progress_bar(double fraction, int width)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    const auto filled = static_cast<size_t>(fraction * width);
    const std::string percent = decimals(fraction * 100.0, 1);
    std::string bar = "[";
    bar.append(filled, '#').append(static_cast<size_t>(width) - filled, '-').append("]");
    bar.append(6 - std::min<size_t>(5, percent.size()), ' ').append(percent).append("%");
    return bar;
}

std::string task_table(std::string_view tasks_json, const table_style &style)
{
    rapidjson::Document tasks = parse(tasks_json);
    if (!tasks.IsArray() || tasks.Empty()) return style.headers ? "No tasks\n" : "";
    std::vector<std::vector<std::string>> rows;
    if (style.headers) rows.push_back({"ID", "STATUS", "PROGRESS", "SIZE", "DOWN", "UP", "ETA", "TITLE"});
    for (const json_value &task : tasks.GetArray()) rows.push_back(task_row(task));
    const size_t first_task = style.headers ? 1 : 0;
    cell_painter paint = nullptr;
    if (style.colour) {
        paint = [first_task](size_t row, size_t column, const std::string &text) {
            return row >= first_task && column == 1 ? painted(status_colour(text), text) : text;
        };
    }
    return table(rows, paint) + (style.headers ? summary(tasks) : "");
}

std::string task_details(std::string_view task_json)
{
    rapidjson::Document t = parse(task_json);
    char peers[160];
    std::snprintf(peers, sizeof peers, "%" PRId64 " connected (%" PRId64 " seeders, %" PRId64
                  " leechers) of %" PRId64, number_of(t, "connected_peers"), number_of(t, "connected_seeders"),
                  number_of(t, "connected_leechers"), number_of(t, "total_peers"));
    std::vector<std::vector<std::string>> rows = {
        {"ID", text_of(t, "id")},
        {"Title", text_of(t, "title")},
        {"Status", text_of(t, "status")},
        {"Type", text_of(t, "type")},
        {"Progress", progress_bar(real_of(t, "progress"))},
        {"Size", human_size(number_of(t, "size_total"))},
        {"Downloaded", human_size(number_of(t, "size_downloaded"))},
        {"Uploaded", human_size(number_of(t, "size_uploaded")) +
                         " (seed ratio " + decimals(real_of(t, "seed_ratio"), 2) + ")"},
        {"Speed", "down " + human_speed(number_of(t, "speed_download")) + ", up " +
                      human_speed(number_of(t, "speed_upload"))},
        {"ETA", human_duration(number_of(t, "eta_seconds"))},
        {"Destination", text_of(t, "destination")},
        {"User", text_of(t, "username")},
        {"URI", text_of(t, "uri")},
        {"Created", utc_time(number_of(t, "create_time"))},
        {"Started", utc_time(number_of(t, "started_time"))},
        {"Completed", utc_time(number_of(t, "completed_time"))},
        {"Peers", peers},
    };
    if (!text_of(t, "error_detail").empty()) rows.push_back({"Error", text_of(t, "error_detail")});
    return table(rows);
}

std::string share_table(std::string_view shares_json, const table_style &style)
{
    rapidjson::Document shares = parse(shares_json);
    if (!shares.IsArray() || shares.Empty()) return style.headers ? "No shared folders\n" : "";
    std::vector<std::vector<std::string>> rows;
    if (style.headers) rows.push_back({"NAME", "PATH", "DESCRIPTION"});
    for (const json_value &share : shares.GetArray())
        rows.push_back({text_of(share, "name"), text_of(share, "path"), text_of(share, "desc")});
    return table(rows);
}

std::string object_lines(std::string_view object_json)
{
    rapidjson::Document object = parse(object_json);
    if (!object.IsObject()) return std::string(object_json) + "\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto &m : object.GetObject()) {
        const json_value &v = m.value;
        std::string shown = v.IsString() ? std::string(v.GetString(), v.GetStringLength()) : compact(v);
        rows.push_back({std::string(m.name.GetString(), m.name.GetStringLength()), shown});
    }
    return table(rows);
}

std::string speed_lines(std::string_view stats_json)
{
    rapidjson::Document stats = parse(stats_json);
    return table({{"Download", human_speed(number_of(stats, "speed_download"))},
                  {"Upload", human_speed(number_of(stats, "speed_upload"))}});
}

std::vector<folder_entry> parse_folders(std::string_view folders_json)
{
    rapidjson::Document folders = parse(folders_json);
    std::vector<folder_entry> entries;
    if (!folders.IsArray()) return entries;
    for (const json_value &f : folders.GetArray()) {
        const json_value *isdir = member(f, "isdir");
        entries.push_back({text_of(f, "name"), text_of(f, "path"), isdir && isdir->IsTrue()});
    }
    return entries;
}
