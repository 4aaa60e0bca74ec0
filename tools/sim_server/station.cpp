#include "station.h"

#include <algorithm>
#include <utility>

namespace {

std::string_view parent_of(std::string_view path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? std::string_view("/") : path.substr(0, slash);
}

}  // namespace

station::station(std::string default_destination)
    : tree_{
          {"/downloads", "Download Station's default folder", true},
          {"/downloads/README.txt", "", false},
          {"/downloads/incoming", "", true},
          {"/downloads/iso", "", true},
          {"/music", "Music library", true},
          {"/music/albums", "", true},
          {"/music/podcasts", "", true},
          {"/personal", "Personal files", true},
          {"/personal/documents", "", true},
          {"/video", "Films and series", true},
          {"/video/films", "", true},
          {"/video/films/classics", "", true},
          {"/video/films/trailer.mp4", "", false},
          {"/video/new", "", true},
          {"/video/series", "", true},
      },
      default_destination_(std::move(default_destination))
{
    std::sort(tree_.begin(), tree_.end(), [](const folder_entry &a, const folder_entry &b) { return a.path < b.path; });
}

bool station::is_folder(std::string_view path) const
{
    return std::any_of(tree_.begin(), tree_.end(),
                       [&](const folder_entry &e) { return e.isdir && e.path == path; });
}

std::vector<const folder_entry *> station::shares() const { return children("/", file_filter::dirs); }

std::vector<const folder_entry *> station::children(std::string_view path, file_filter filter) const
{
    std::vector<const folder_entry *> found;
    for (const folder_entry &e : tree_) {
        if (parent_of(e.path) != path) continue;
        if ((filter == file_filter::dirs && !e.isdir) || (filter == file_filter::files && e.isdir)) continue;
        found.push_back(&e);
    }
    return found;
}

void station::write_info(json_writer &out) const
{
    out.StartObject();
    write_bool(out, "is_manager", true);
    write_int(out, "version", 3566);
    write_text(out, "version_string", "3.8.16-3566");
    out.EndObject();
}

void station::write_config(json_writer &out) const
{
    out.StartObject();
    write_int(out, "bt_max_download", limits_.download_kib);
    write_int(out, "bt_max_upload", limits_.upload_kib);
    write_text(out, "default_destination", default_destination_);
    write_bool(out, "emule_enabled", false);
    write_int(out, "ftp_max_download", 0);
    write_int(out, "http_max_download", 0);
    write_bool(out, "unzip_service_enabled", false);
    out.EndObject();
}
