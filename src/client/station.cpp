// The station's own information and settings: info, statistics and
// configuration passed through as JSON, speed limits, default destination.
#include "synology_ds.h"
#include "synology.h"

#include <string>

namespace {

const call_words info_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP info request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse info JSON: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Get info failed (code %d: %s)", code, meaning);
    },
};
const call_words stats_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP stats request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse stats JSON: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Get stats failed (code %d: %s)", code, meaning);
    },
};
const call_words config_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP config request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse config JSON: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Get config failed (code %d: %s)", code, meaning);
    },
};
const call_words speed_limit_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP set speed limit failed: %s", why); },
    .parse = [](const char *, const char *body) {
        set_error("Failed to parse set speed limit JSON response: %s", body);
    },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Set speed limit failed (code %d: %s)", code, meaning);
    },
};
const call_words set_destination_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP set default destination failed: %s", why); },
    .parse = [](const char *, const char *body) {
        set_error("Failed to parse set default destination response: %s", body);
    },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Set default destination failed (code %d: %s)", code, meaning);
    },
};

request get_request(std::string path)
{
    request req;
    req.path = std::move(path);
    return req;
}

// The answer's data, whatever its type, written back minified.
const char *station_data(const char *path, const call_words &words)
{
    call_scope call;
    if (!call.connected()) return "{}";
    answer a;
    if (!call.send(get_request(path), words, a)) return "{}";
    return hand_over_json(a.data, "{}");
}

// settings: "&name=value" pairs, values already percent-encoded.
int change_settings(const call_scope &call, const std::string &settings, const call_words &words)
{
    answer a;
    if (!call.send(get_request(info_setserverconfig_path + settings), words, a))
        return a.failure_status();
    return 0;
}

// A negative limit leaves that limit as the station has it.
std::string speed_limit_settings(int download_limit, int upload_limit)
{
    std::string settings;
    if (download_limit >= 0) settings += "&bt_max_download=" + std::to_string(download_limit);
    if (upload_limit >= 0) settings += "&bt_max_upload=" + std::to_string(upload_limit);
    return settings;
}

int set_speed_limit(int download_limit, int upload_limit)
{
    call_scope call;
    if (!call.connected()) return -1;
    if (download_limit < 0 && upload_limit < 0) return 0;
    return change_settings(call, speed_limit_settings(download_limit, upload_limit),
                           speed_limit_words);
}

// Plain text, not JSON: "" when the station names no default destination.
const char *get_default_destination()
{
    call_scope call;
    if (!call.connected()) return "";
    answer a;
    if (!read_default_destination(call, a)) return "";
    return hand_over(string_or_empty(member(a.data, "default_destination")), "");
}

int set_default_destination(const char *destination)
{
    call_scope call;
    if (!call.connected()) return -1;
    // Tested before the destination rule: "///" is accepted and becomes "personal".
    if (!destination || !*destination) {
        set_error("Destination cannot be empty");
        return -1;
    }
    // Setting it to nothing is no choice the station offers: the folder named "personal" stands in.
    std::string folder(destination_folder(destination));
    if (folder.empty()) folder = "personal";
    return change_settings(call, "&default_destination=" + url_encoded(folder.c_str()),
                           set_destination_words);
}

}  // namespace

bool read_default_destination(const call_scope &call, answer &out)
{
    static const call_words words = {
        .transport = [](const char *, const char *why) { set_error("HTTP get default destination failed: %s", why); },
        .parse = [](const char *, const char *body) { set_error("Failed to parse getconfig JSON: %s", body); },
        .station = [](const char *, int code, const char *meaning) {
            set_error("Get default destination failed (code %d: %s)", code, meaning);
        },
    };
    return call.send(get_request(info_getconfig_path), words, out);
}

const char *ds_info(void)
{
    return guarded("{}", [] { return station_data(info_getinfo_path, info_words); });
}

const char *ds_stats(void)
{
    return guarded("{}", [] { return station_data(statistic_getinfo_path, stats_words); });
}

const char *ds_get_config(void)
{
    return guarded("{}", [] { return station_data(info_getconfig_path, config_words); });
}

int ds_set_speed_limit(int download_limit, int upload_limit)
{
    return guarded(-1, [&] { return set_speed_limit(download_limit, upload_limit); });
}

const char *ds_get_default_destination(void)
{
    return guarded("", [] { return get_default_destination(); });
}

int ds_set_default_destination(const char *destination)
{
    return guarded(-1, [&] { return set_default_destination(destination); });
}
