// Human output of the library's JSON results: task tables with progress bars,
// sizes in binary units, speeds and times to completion; shares as a table,
// folders as a tree; station objects as name and value lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// "0 B", "512 B", "1.5 KiB", "2.0 GiB".
std::string human_size(int64_t bytes);
// "0 B/s" for a zero speed, else the size per second.
std::string human_speed(int64_t bytes_per_second);
// "-" for -1 (unknown), else "45s", "3m05s", "2h07m", "3d04h".
std::string human_duration(int64_t seconds);
// A bar of width characters and the percentage: "[#####---------------]  25.0%".
std::string progress_bar(double fraction, int width = 20);

// How tables are drawn: headers (and the summary line) can be left out for
// scripts; colour is for terminals.
struct table_style {
    bool headers = true;
    bool colour = false;
};

// The library's task array as a table, with a summary line; "No tasks" for
// none (nothing without headers). In colour the status stands out.
std::string task_table(std::string_view tasks_json, const table_style &style = {});
// One task record as name and value lines.
std::string task_details(std::string_view task_json);
// The library's share array as a table.
std::string share_table(std::string_view shares_json, const table_style &style = {});
// Name and value lines of a JSON object's members, in their order; values
// that are objects or arrays are shown as compact JSON.
std::string object_lines(std::string_view object_json);
// "Download  5.0 MiB/s" and "Upload    0 B/s" from the station's statistics.
std::string speed_lines(std::string_view stats_json);

struct folder_entry {
    std::string name;
    std::string path;
    bool isdir = false;
};
// The library's folder array; entries that are not objects give empty names.
std::vector<folder_entry> parse_folders(std::string_view folders_json);
