// Every path and API name the library sends to the station, written once.
// A GET path here is a request without its session id: the request/answer
// sequence appends "&_sid=" and the id.
#pragma once

// The sign-in service; the login adds its version, method and fields.
constexpr const char auth_path[] = "/webapi/entry.cgi?api=SYNO.API.Auth";
constexpr const char logout_path[] =
    "/webapi/entry.cgi?api=SYNO.API.Auth&version=1&method=logout&session=DownloadStation";

constexpr const char info_getinfo_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo";
constexpr const char info_getconfig_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getconfig";
constexpr const char info_setserverconfig_path[] =
    "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig";
constexpr const char statistic_getinfo_path[] =
    "/webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic&version=1&method=getinfo";

// The task service: the POST calls carry their fields in the body; the GET
// calls add "&method=..." and their own fields to the query.
constexpr const char task_cgi_path[] = "/webapi/DownloadStation/task.cgi";
constexpr const char task_query_path[] =
    "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1";
constexpr const char task_api_name[] = "SYNO.DownloadStation.Task";
// What a task listing or lookup asks for beyond the task itself.
constexpr const char task_details[] = "&additional=detail,transfer";

// The current task service, which takes uploads on stations that no longer
// take them on the older one.
constexpr const char task2_create_path[] =
    "/webapi/entry.cgi?api=SYNO.DownloadStation2.Task&version=2&method=create";
constexpr const char task2_api_name[] = "SYNO.DownloadStation2.Task";

constexpr const char list_share_path[] =
    "/webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list_share";
constexpr const char list_folder_path[] = "/webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list";
