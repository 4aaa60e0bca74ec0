/*
 * brellock-synology-downloadstation: a client for the Download Station of a
 * Synology NAS over its HTTP/JSON Web API.
 *
 * Conventions that hold for every call:
 * - Calls are synchronous and run on the caller's thread; any thread may call.
 *   The library keeps one process-wide session (host, port, session id);
 *   each call works on a copy of it taken when the call starts.
 * - A text result (JSON, or plain text for ds_get_default_destination) lives
 *   in a buffer owned by the calling thread. It stays valid until that
 *   thread's next call that returns text, and is never freed by the caller.
 *   Results are handed over whole, however large, up to 64 MiB.
 * - On failure a text call returns a constant "{}", "[]" or "" (the thread's
 *   previous result stays as it was), an int call returns -1, or the
 *   station's positive error code where the station refused with one.
 * - Every call except ds_version, ds_last_error and ds_is_connected first
 *   empties the thread's last error; after a failure ds_last_error holds one
 *   English message describing the first step that failed.
 * - Every exchange is made once over its own connection; no call retries or
 *   logs in again by itself.
 */
#ifndef SYNOLOGY_DS_H
#define SYNOLOGY_DS_H

#if defined(_WIN32)
#  if defined(DS_BUILDING_LIBRARY)
#    define DS_API __declspec(dllexport)
#  else
#    define DS_API __declspec(dllimport)
#  endif
#else
#  define DS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session and state */

/* "2.0.0". */
DS_API const char *ds_version(void);
/* The calling thread's last message; empty after a call that succeeded. */
DS_API const char *ds_last_error(void);
/* 1 when logged in with a session id, else 0. */
DS_API int ds_is_connected(void);
/* Time-out of later requests, 1 to 300 seconds (10 at start). 0 or -1. */
DS_API int ds_set_timeout(int seconds);
/* Logs in; port 0 or below means 5000; password may be NULL.
 * 0, the station's error code, or -1. */
DS_API int ds_connect(const char *host, int port, const char *username, const char *password);
/* Logs out when connected and forgets the session. Always 0. */
DS_API int ds_disconnect(void);
/* 1 when the station still accepts the session, else 0. */
DS_API int ds_ping(void);

/* Tasks: each task is a flattened record of 23 members (id, title, status,
 * type, size_total, size_downloaded, size_uploaded, speed_download,
 * speed_upload, destination, username, create_time, started_time,
 * completed_time, progress 0.0-1.0, eta_seconds or -1, seed_ratio,
 * error_detail, uri, connected_peers, connected_seeders,
 * connected_leechers, total_peers). */

/* JSON array of every task. */
DS_API const char *ds_list_tasks(void);
/* JSON array of the tasks whose status is one of the words of statuses
 * (separated by , ; | or space, case ignored); NULL, "" or "all" take all. */
DS_API const char *ds_list_tasks_filtered(const char *statuses);
/* JSON object of one task. */
DS_API const char *ds_get_task(const char *task_id);

/* Actions on one id or several ids joined by ",": 0, a station code, or -1. */
DS_API int ds_pause(const char *task_ids);
DS_API int ds_resume(const char *task_ids);
DS_API int ds_delete(const char *task_ids, int force_complete);
/* Bulk actions: the number of tasks acted on, 0 when none matched, or -1. */
DS_API int ds_pause_all(void);
DS_API int ds_resume_all(void);
DS_API int ds_delete_completed(void);

/* Adding downloads. destination may be NULL: "personal" is used. */
DS_API int ds_add_url(const char *url, const char *destination);
/* One URL per line: the number added, 0 when none was, -1 when none tried. */
DS_API int ds_add_urls(const char *urls, const char *destination);
/* Uploads a local torrent file of 1 byte to 20 MiB. */
DS_API int ds_add_torrent(const char *file_path, const char *destination);

/* Station: the station's own data as JSON objects. */
DS_API const char *ds_info(void);
DS_API const char *ds_stats(void);
DS_API const char *ds_get_config(void);
/* A negative limit is left unchanged; both negative sends nothing. */
DS_API int ds_set_speed_limit(int download_limit, int upload_limit);
/* Plain text; "" when the station has none or on failure. */
DS_API const char *ds_get_default_destination(void);
DS_API int ds_set_default_destination(const char *destination);

/* Folders: JSON arrays of {name, path, desc, isdir} / {name, path, isdir}. */
DS_API const char *ds_list_shares(void);
DS_API const char *ds_list_folders(const char *folder_path);

#ifdef __cplusplus
}
#endif

#endif
