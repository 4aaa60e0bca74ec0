// The flattened task record: what it is made of, read from the station's
// task, and the one definition of its members, their order and the values
// derived from them. Whichever way a task is read, its record is written
// here.
#pragma once

#include "synology.h"

#include <cstdint>
#include <string_view>

// What a task's record is made of. Texts refer to the answer's strings (a
// view without data is absent and written as ""); absent integers are 0.
struct task_fields {
    std::string_view id, title, type, username, destination, uri;
    task_status status;
    // Why a task failed, as the station words it: status_extra.error_detail.
    std::string_view error_word;
    // additional.detail.error_code, present of whatever type (then read as a
    // 32-bit integer, 0 when it is none).
    bool has_error_code = false;
    int32_t error_code = 0;
    int64_t size_total = 0, size_downloaded = 0, size_uploaded = 0;
    int64_t speed_download = 0, speed_upload = 0;
    int64_t create_time = 0, started_time = 0, completed_time = 0;
    int32_t connected_peers = 0, connected_seeders = 0, connected_leechers = 0, total_peers = 0;
};

// A task member counted as an integer: a JSON integer, or a string holding
// only a decimal integer within 64 bits (an optional "-", digits, nothing
// else), as some stations send their numbers. Anything else is absent.
bool read_task_integer(const json_value *value, int64_t &out);
bool read_decimal_text(std::string_view text, int64_t &out);

// Reads the members of a station task; task may be null or of any type.
task_fields read_task_fields(const json_value *task);

// The derived members.
double task_progress(const task_fields &f);
int64_t task_eta_seconds(const task_fields &f);
double task_seed_ratio(const task_fields &f);
std::string_view task_error_detail(const task_fields &f);

// Hands the record's 23 members, in their order, to a RapidJSON handler (a
// writer, or a document being built). Keys are static texts; strings are
// not copied.
template <class Handler>
void emit_task_record(const task_fields &f, Handler &out)
{
    // Keys are literals: their lengths are known where they are named.
    auto key = [&out](std::string_view name) {
        out.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()), false);
    };
    auto text = [&](std::string_view name, std::string_view value) {
        key(name);
        if (!value.data()) value = "";
        out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), false);
    };
    auto integer = [&](std::string_view name, int64_t value) {
        key(name);
        out.Int64(value);
    };
    auto integer32 = [&](std::string_view name, int32_t value) {
        key(name);
        out.Int(value);
    };
    auto real = [&](std::string_view name, double value) {
        key(name);
        out.Double(value);
    };
    out.StartObject();
    text("id", f.id);
    text("title", f.title);
    text("status", f.status.value_or(""));
    text("type", f.type);
    integer("size_total", f.size_total);
    integer("size_downloaded", f.size_downloaded);
    integer("size_uploaded", f.size_uploaded);
    integer("speed_download", f.speed_download);
    integer("speed_upload", f.speed_upload);
    text("destination", f.destination);
    text("username", f.username);
    integer("create_time", f.create_time);
    integer("started_time", f.started_time);
    integer("completed_time", f.completed_time);
    real("progress", task_progress(f));
    integer("eta_seconds", task_eta_seconds(f));
    real("seed_ratio", task_seed_ratio(f));
    text("error_detail", task_error_detail(f));
    text("uri", f.uri);
    integer32("connected_peers", f.connected_peers);
    integer32("connected_seeders", f.connected_seeders);
    integer32("connected_leechers", f.connected_leechers);
    integer32("total_peers", f.total_peers);
    out.EndObject(23);
}
