// The simulated station's own settings and the NAS's folder tree that File
// Station lists (shares at the top, a few folders and files below).
#pragma once

#include "json_writer.h"
#include "tasks.h"

#include <string>
#include <string_view>
#include <vector>

struct folder_entry {
    std::string path;  // absolute: "/video/films"
    std::string desc;  // shares only
    bool isdir = true;
};

enum class file_filter { all, files, dirs };

class station {
public:
    // default_destination: the folder as tasks name it ("downloads"), or
    // empty when the station has none set.
    explicit station(std::string default_destination = "downloads");

    const std::string &default_destination() const { return default_destination_; }
    // The folder as tasks name it, without a leading "/" ("video/new").
    void set_default_destination(std::string folder) { default_destination_ = std::move(folder); }
    task_limits limits() const { return limits_; }
    void set_limits(task_limits limits) { limits_ = limits; }

    // path is absolute ("/video/new").
    bool is_folder(std::string_view path) const;
    std::vector<const folder_entry *> shares() const;
    // The entries right below the folder at path, by name.
    std::vector<const folder_entry *> children(std::string_view path, file_filter filter) const;

    void write_info(json_writer &out) const;
    void write_config(json_writer &out) const;

private:
    std::vector<folder_entry> tree_;
    std::string default_destination_;
    task_limits limits_;
};
