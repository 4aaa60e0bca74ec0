#include "tasks.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace {

constexpr int64_t kib = 1024;
constexpr int64_t mib = 1024 * kib;
constexpr int64_t gib = 1024 * mib;
// A resumed task waits this long for a download slot again.
constexpr int64_t resume_wait_ms = 2000;
// The words a failed task's status_extra gives, by kind of task.
constexpr const char *url_failures[] = {"broken_link", "destination_not_exist", "destination_denied",
                                        "disk_full", "quota_reached", "timeout", "file_not_exist", "unknown"};
constexpr const char *torrent_failures[] = {"destination_not_exist", "destination_denied", "disk_full",
                                            "quota_reached", "timeout", "torrent_duplicate", "unknown"};

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes decoded (a broken one stays as it is); with plus_is_space, "+"
// is a space as in a query value.
std::string percent_decoded(std::string_view text, bool plus_is_space)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else if (plus_is_space && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

// The last non-empty segment of a URL's path, else its host.
std::string title_of_url(std::string_view rest)
{
    rest = rest.substr(0, rest.find_first_of("?#"));
    const size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t last = path.rfind('/');
    std::string_view name = last == std::string_view::npos ? path : path.substr(last + 1);
    std::string title = percent_decoded(name, false);
    return title.empty() ? std::string(host) : title;
}

// A magnet link's "dn" (display name), else the end of its "xt" hash.
std::string title_of_magnet(std::string_view query)
{
    std::string hash;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.substr(0, 3) == "dn=" && pair.size() > 3) return percent_decoded(pair.substr(3), true);
        if (pair.substr(0, 3) == "xt=") hash = std::string(pair.substr(pair.rfind(':') + 1));
    }
    return hash.empty() ? std::string("magnet link") : "magnet " + hash;
}

// The "name" of a torrent's info dictionary, read as bencode writes it
// ("4:name" and a length-prefixed string); empty when it is not there or
// holds a control byte.
std::string torrent_name(std::string_view content)
{
    const size_t key = content.find("4:name");
    if (key == std::string_view::npos) return "";
    size_t at = key + 6;
    size_t length = 0;
    while (at < content.size() && std::isdigit(static_cast<unsigned char>(content[at])) && length < 4096)
        length = length * 10 + static_cast<size_t>(content[at++] - '0');
    if (at >= content.size() || content[at] != ':' || length == 0 || content.size() - at - 1 < length) return "";
    std::string_view name = content.substr(at + 1, length);
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return "";
    }
    return std::string(name);
}

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

bool is_torrent(const task &t) { return t.type == "bt"; }

// Downloading torrents upload too.
bool uploads(const task &t) { return t.status == "seeding" || (is_torrent(t) && t.status == "downloading"); }

// The byte count at which a downloading task's next event happens.
int64_t target_bytes(const task &t) { return t.fail_at_bytes >= 0 ? t.fail_at_bytes : t.size; }

// When the task's next event happens, or -1 when it waits for nothing.
int64_t next_event_ms(const task &t)
{
    if (t.status == "waiting") return t.start_at_ms;
    if (t.status != "downloading" || t.speed_download <= 0) return -1;
    const int64_t left = std::max<int64_t>(0, target_bytes(t) - t.downloaded_base);
    return t.stretch_start_ms + ceil_div(left * 1000, t.speed_download);
}

int64_t bytes_at(int64_t base, int64_t speed, int64_t since_ms, int64_t now_ms)
{
    return base + speed * std::max<int64_t>(0, now_ms - since_ms) / 1000;
}

int64_t downloaded_at(const task &t, int64_t now_ms)
{
    if (t.status != "downloading") return t.downloaded_base;
    return std::min(target_bytes(t), bytes_at(t.downloaded_base, t.speed_download, t.stretch_start_ms, now_ms));
}

int64_t uploaded_at(const task &t, int64_t now_ms)
{
    if (!uploads(t)) return t.uploaded_base;
    return bytes_at(t.uploaded_base, t.speed_upload, t.stretch_start_ms, now_ms);
}

// What the task's event does to it, at the moment it happens.
void happen(task &t, int64_t at_ms)
{
    t.stretch_start_ms = at_ms;
    if (t.status == "waiting") {
        t.status = "downloading";
        if (t.started_time == 0) t.started_time = at_ms / 1000;
        return;
    }
    t.downloaded_base = target_bytes(t);
    if (t.fail_at_bytes >= 0) {
        t.status = "error";
    } else {
        t.status = is_torrent(t) ? "seeding" : "finished";
        t.completed_time = at_ms / 1000;
    }
}

void draw_figures(task &t, sim_random &random, double error_rate, int64_t now_ms)
{
    const bool torrent = is_torrent(t);
    t.size = torrent ? random.between(256 * mib, 4 * gib) : random.between(64 * mib, gib);
    t.own_download = random.between(512 * kib, 8 * mib);
    t.own_upload = torrent ? random.between(16 * kib, t.own_download / 4) : 0;
    t.start_at_ms = now_ms + random.between(1000, 5000);
    if (torrent) {
        t.seeders = static_cast<int>(random.between(1, 40));
        t.leechers = static_cast<int>(random.between(1, 60));
        t.total_peers = t.seeders + t.leechers + static_cast<int>(random.between(0, 150));
    }
    if (random.chance(error_rate)) {
        t.fail_at_bytes = t.size / 100 * random.between(10, 90);
        t.error_detail = torrent ? torrent_failures[random.next() % std::size(torrent_failures)]
                                 : url_failures[random.next() % std::size(url_failures)];
    }
}

// null, or what the station adds to a status: the word for a failure.
void write_status_extra(json_writer &out, const task &t)
{
    out.Key("status_extra");
    if (t.status != "error") {
        out.Null();
        return;
    }
    out.StartObject();
    write_text(out, "error_detail", t.error_detail);
    out.EndObject();
}

}  // namespace

std::optional<task_source> describe_url(std::string_view uri)
{
    task_source source;
    source.uri = std::string(uri);
    if (starts_with_ignoring_case(uri, "magnet:?")) {
        source.type = "bt";
        source.title = title_of_magnet(uri.substr(8));
        return source;
    }
    static const std::pair<std::string_view, const char *> schemes[] = {
        {"http://", "http"}, {"https://", "http"}, {"ftp://", "ftp"}};
    for (const auto &[prefix, type] : schemes) {
        if (!starts_with_ignoring_case(uri, prefix)) continue;
        std::string_view rest = uri.substr(prefix.size());
        if (rest.empty() || rest.front() == '/') return std::nullopt;
        source.type = type;
        source.title = title_of_url(rest);
        return source;
    }
    return std::nullopt;
}

task_source describe_torrent(std::string_view file_name, std::string_view content)
{
    task_source source;
    source.uri = std::string(file_name);
    source.type = "bt";
    source.title = torrent_name(content);
    if (source.title.empty()) {
        std::string_view name = file_name;
        if (name.size() > 8 && starts_with_ignoring_case(name.substr(name.size() - 8), ".torrent"))
            name.remove_suffix(8);
        source.title = std::string(name);
    }
    return source;
}

void task_store::catch_up(int64_t now_ms)
{
    for (;;) {
        task *next = nullptr;
        int64_t when = 0;
        for (task &t : tasks_) {
            const int64_t at = next_event_ms(t);
            if (at < 0 || at > now_ms || (next && at >= when)) continue;
            next = &t;
            when = at;
        }
        if (!next) return;
        settle(when);
        happen(*next, when);
        share_bandwidth();
    }
}

// Ends the current stretch of every task at now_ms, before speeds change.
void task_store::settle(int64_t now_ms)
{
    for (task &t : tasks_) {
        t.downloaded_base = downloaded_at(t, now_ms);
        t.uploaded_base = uploaded_at(t, now_ms);
        t.stretch_start_ms = now_ms;
    }
}

// Downloading torrents share the download limit evenly, downloading and
// seeding ones the upload limit; other tasks and torrents under their share
// keep their own speed.
void task_store::share_bandwidth()
{
    const auto downloading = std::count_if(tasks_.begin(), tasks_.end(), [](const task &t) {
        return is_torrent(t) && t.status == "downloading";
    });
    const auto uploading = std::count_if(tasks_.begin(), tasks_.end(), uploads);
    for (task &t : tasks_) {
        t.speed_download = t.status == "downloading" ? t.own_download : 0;
        t.speed_upload = uploads(t) ? t.own_upload : 0;
        if (!is_torrent(t)) continue;
        if (limits_.download_kib > 0 && t.speed_download > 0)
            t.speed_download = std::min(t.speed_download, std::max<int64_t>(1, limits_.download_kib * kib / downloading));
        if (limits_.upload_kib > 0 && t.speed_upload > 0)
            t.speed_upload = std::min(t.speed_upload, limits_.upload_kib * kib / uploading);
    }
}

std::string task_store::add(task_source source, int64_t now_ms, sim_random &random)
{
    catch_up(now_ms);
    settle(now_ms);
    task t;
    t.id = "dbid_" + std::to_string(next_number_++);
    t.title = std::move(source.title);
    t.type = std::move(source.type);
    t.username = std::move(source.username);
    t.uri = std::move(source.uri);
    t.destination = std::move(source.destination);
    t.status = "waiting";
    t.create_time = now_ms / 1000;
    t.stretch_start_ms = now_ms;
    draw_figures(t, random, error_rate_, now_ms);
    tasks_.push_back(std::move(t));
    share_bandwidth();
    return tasks_.back().id;
}

task *task_store::find_mutable(std::string_view id)
{
    auto found = std::find_if(tasks_.begin(), tasks_.end(), [&](const task &t) { return t.id == id; });
    return found == tasks_.end() ? nullptr : &*found;
}

const task *task_store::find(std::string_view id) const
{
    auto found = std::find_if(tasks_.begin(), tasks_.end(), [&](const task &t) { return t.id == id; });
    return found == tasks_.end() ? nullptr : &*found;
}

int task_store::pause(std::string_view id, int64_t now_ms)
{
    catch_up(now_ms);
    task *t = find_mutable(id);
    if (!t) return 404;
    if (t->status != "waiting" && t->status != "downloading" && t->status != "seeding") return 405;
    settle(now_ms);
    t->status = "paused";
    share_bandwidth();
    return 0;
}

int task_store::resume(std::string_view id, int64_t now_ms)
{
    catch_up(now_ms);
    task *t = find_mutable(id);
    if (!t) return 404;
    if (t->status != "paused" && t->status != "error") return 405;
    settle(now_ms);
    if (t->status == "error") t->fail_at_bytes = -1;  // the retry goes through
    // A torrent paused while seeding has all it needs.
    const bool complete = t->downloaded_base >= t->size;
    t->status = complete ? "seeding" : "waiting";
    t->start_at_ms = now_ms + resume_wait_ms;
    share_bandwidth();
    return 0;
}

int task_store::remove(std::string_view id, int64_t now_ms)
{
    catch_up(now_ms);
    task *t = find_mutable(id);
    if (!t) return 404;
    settle(now_ms);
    tasks_.erase(tasks_.begin() + (t - tasks_.data()));
    share_bandwidth();
    return 0;
}

void task_store::set_limits(task_limits limits, int64_t now_ms)
{
    catch_up(now_ms);
    settle(now_ms);
    limits_ = limits;
    share_bandwidth();
}

int64_t task_store::total_download_speed() const
{
    int64_t sum = 0;
    for (const task &t : tasks_) sum += t.speed_download;
    return sum;
}

int64_t task_store::total_upload_speed() const
{
    int64_t sum = 0;
    for (const task &t : tasks_) sum += t.speed_upload;
    return sum;
}

void task_store::write_figure(json_writer &out, const char *key, int64_t value) const
{
    if (numbers_as_text_) write_text(out, key, std::to_string(value));
    else write_int(out, key, value);
}

void task_store::write_detail(json_writer &out, const task &t) const
{
    const bool downloading = t.status == "downloading";
    const bool seeding = t.status == "seeding";
    out.Key("detail");
    out.StartObject();
    write_text(out, "destination", t.destination);
    write_text(out, "uri", t.uri);
    write_text(out, "priority", "auto");
    write_figure(out, "create_time", t.create_time);
    write_int(out, "started_time", t.started_time);
    write_int(out, "completed_time", t.completed_time);
    write_int(out, "connected_peers", downloading ? t.seeders + t.leechers : seeding ? t.leechers : 0);
    write_int(out, "connected_seeders", downloading ? t.seeders : 0);
    write_int(out, "connected_leechers", downloading || seeding ? t.leechers : 0);
    write_int(out, "total_peers", t.total_peers);
    out.EndObject();
}

void task_store::write_transfer(json_writer &out, const task &t, int64_t now_ms) const
{
    out.Key("transfer");
    out.StartObject();
    write_figure(out, "size_downloaded", downloaded_at(t, now_ms));
    write_figure(out, "size_uploaded", uploaded_at(t, now_ms));
    write_figure(out, "speed_download", t.speed_download);
    write_figure(out, "speed_upload", t.speed_upload);
    out.EndObject();
}

void task_store::write(json_writer &out, const task &t, int64_t now_ms, bool detail, bool transfer) const
{
    out.StartObject();
    write_text(out, "id", t.id);
    write_text(out, "type", t.type);
    write_text(out, "username", t.username);
    write_text(out, "title", t.title);
    write_figure(out, "size", t.size);
    write_text(out, "status", t.status);
    write_status_extra(out, t);
    if (detail || transfer) {
        out.Key("additional");
        out.StartObject();
        if (detail) write_detail(out, t);
        if (transfer) write_transfer(out, t, now_ms);
        out.EndObject();
    }
    out.EndObject();
}
