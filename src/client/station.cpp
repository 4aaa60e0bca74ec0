// The station's own information and settings: info, statistics and
// configuration passed through as JSON, speed limits, default destination.
#include "synology_ds.h"
#include "synology.h"

#include <string>

namespace {

const char info_getinfo_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo";
const char info_getconfig_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getconfig";
const char info_setserverconfig_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig";
const char statistic_getinfo_path[] =
    "/webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic&version=1&method=getinfo";

const call_words info_words = {
    "HTTP info request failed: %s", "Failed to parse info JSON: %s", "Get info failed (code %d: %s)"};
const call_words stats_words = {
    "HTTP stats request failed: %s", "Failed to parse stats JSON: %s", "Get stats failed (code %d: %s)"};
const call_words config_words = {
    "HTTP config request failed: %s", "Failed to parse config JSON: %s", "Get config failed (code %d: %s)"};
const call_words speed_limit_words = {"HTTP set speed limit failed: %s",
                                      "Failed to parse set speed limit JSON response: %s",
                                      "Set speed limit failed (code %d: %s)"};
const call_words get_destination_words = {"HTTP get default destination failed: %s",
                                          "Failed to parse getconfig JSON: %s",
                                          "Get default destination failed (code %d: %s)"};
const call_words set_destination_words = {"HTTP set default destination failed: %s",
                                          "Failed to parse set default destination response: %s",
                                          "Set default destination failed (code %d: %s)"};

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
    if (!call.send(get_request(info_getconfig_path), get_destination_words, a)) return "";
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
    const std::string folder(normalize_destination(destination));
    return change_settings(call, "&default_destination=" + url_encoded(folder.c_str()),
                           set_destination_words);
}

}  // namespace

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
