/*
 * brellock-synology-downloadstation: a client for the Download Station of a
 * Synology NAS over its HTTP/JSON Web API.
 *
 * Conventions that hold for every call:
 * - Calls are synchronous and run on the caller's thread; any thread may call.
 *   The library keeps one process-wide session (host, port, how it is
 *   secured, session id); each call works on a copy of it taken when the
 *   call starts. It starts no thread and writes no file. On Windows the
 *   network layer (WSAStartup) is started by the first request and stays
 *   started for the life of the process.
 * - Texts in and out end with a NUL; the station reads and writes UTF-8.
 *   Values from the caller are percent-encoded where they go into a query
 *   or form (ids, URLs, paths, names, the password); the torrent upload
 *   sends its destination and file name in multipart parts instead (see
 *   ds_add_torrent). Requests are never cut, however long; only the host
 *   name is kept to its first 255 bytes.
 * - A text result (JSON, or plain text for ds_get_default_destination) lives
 *   in a buffer owned by the calling thread: valid until that thread's next
 *   call that returns text, gone when the thread ends, never freed or changed
 *   by the caller. It is handed over whole up to 64 MiB; over that the call
 *   fails with "Result too large (over 64 MiB)".
 * - On failure a text call returns a constant: "{}" where it returns an
 *   object, "[]" where it returns an array, "" for plain text; the thread's
 *   previous result stays as it was. An int call returns 0 on success and,
 *   on failure, -1 or the station's positive error code where the station
 *   refused with one; the exceptions say so where they are declared
 *   (ds_ping and ds_is_connected answer 1 or 0, ds_disconnect always gives
 *   0, the bulk calls and ds_add_urls count).
 * - Every call except ds_version, ds_last_error, ds_is_connected and
 *   ds_session_info first empties the thread's last error; after a failure
 *   ds_last_error holds one English message describing the first step that
 *   failed (so an empty one after a text call means success). The messages
 *   take a few shapes, with each call's own words ("list", "info", "add
 *   url", ...); words in capitals stand for the values filled in:
 *     "Not connected to NAS"             no session; nothing was sent
 *     "Task ID cannot be empty"          a required argument is NULL or ""
 *     "HTTP list request failed: WHY"    no answer; WHY is e.g. "Failed to
 *                                        connect to HOST:PORT"
 *     "Failed to parse list JSON: BODY"  the answer is no JSON ("empty")
 *     "List tasks failed (code N: TEXT)" the station refused with code N (0
 *                                        when it gave none) and its meaning
 *   A session the station no longer accepts shows as its code (105 "The
 *   logged in session does not have permission", 106 "Session timeout", 119
 *   "Invalid SID"); the library still counts itself connected until
 *   ds_disconnect or the next ds_connect.
 * - Every exchange is made once over a new connection; no call retries or
 *   logs in again by itself. Each is bounded, but for the name lookup:
 *   resolving a host name takes as long as the system's resolver takes (an
 *   address such as 192.168.1.10 needs no lookup). Connecting waits up to
 *   the time-out (ds_set_timeout) for each address the name resolves to;
 *   the TLS handshake, sending and receiving end within twice the time-out
 *   ("Response not complete within N seconds"); an answer over 64 MiB is
 *   refused ("Response too large (over 64 MiB)").
 * - Destinations (where a download goes) lose their leading "/" and "".
 *   For the calls that add downloads, NULL, "" or nothing left means the
 *   station's own default folder (its default_destination setting).
 * - No exception crosses into the host: memory running out fails the call
 *   with its failure value and "Out of memory" (or the call's own message
 *   where it names one), and no request goes out with a value missing.
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

/* "2.0.0", a constant. */
DS_API const char *ds_version(void);
/* The calling thread's last message (at most 1023 bytes), "" after a call
 * that succeeded. The text is the thread's own and changes with its next
 * call. */
DS_API const char *ds_last_error(void);
/* 1 when logged in with a session id, else 0. Sends nothing. */
DS_API int ds_is_connected(void);
/* Time-out of every thread's later requests, 1 to 300 seconds (10 at start).
 * 0; or -1 with "Invalid timeout: N (must be between 1 and 300 seconds)",
 * the time-out unchanged. */
DS_API int ds_set_timeout(int seconds);
/* Logs in with user name and password (NULL means "") over plain HTTP and
 * keeps the session id. Any earlier session is forgotten first, without
 * logging it out, even when this login then fails. port 0 or below means
 * 5000. The password travels in the login's query: use ds_connect_with and
 * "https" where others could read the network.
 * 0 when logged in (an answer without a session id also gives 0, but leaves
 * ds_is_connected at 0). The station's code when it refused, with "Login
 * failed (code N: TEXT)" in the sign-in service's own words: 400 "No such
 * account or incorrect password", 401 "Disabled account", 402 "Permission
 * denied", 403 "2-step verification code required" (see ds_connect_with),
 * 404 "Failed to authenticate 2-step verification code", 406 "2-step
 * verification must be enabled for this account", 407 "Blocked IP source
 * address (too many failed sign-ins)", 408 "Expired password, cannot be
 * changed", 409 "Expired password", 410 "Password must be changed"; other
 * codes as for every call. -1 otherwise: "Host
 * cannot be empty", "Username cannot be empty", "HTTP connect failed: WHY",
 * "Empty login response from NAS", "Failed to parse JSON login response:
 * BODY"; "Invalid session id in login response" (or device id) when the id
 * holds a blank, control or non-ASCII byte or one of ";&#", which would
 * reshape the requests that carry it; "Login superseded by another login or
 * logout" when another thread logged in or out meanwhile. */
DS_API int ds_connect(const char *host, int port, const char *username, const char *password);
/* ds_connect with options, a JSON object text; NULL, "" or "{}" make it
 * ds_connect. Members (each optional, each at most once):
 *   "https" (true/false)   TLS for every exchange of this session (TLS 1.2
 *                          or later); port 0 or below then means 5001.
 *   "verify" (true/false)  true by default: the station's certificate must
 *                          chain to a trusted root and name the host. false
 *                          encrypts without checking who answers: UNSAFE,
 *                          anyone on the way can read the password.
 *   "ca_file" (text)       a PEM file of trusted certificates, used in place
 *                          of the system's store.
 *   "fingerprint_sha256" (text)  the SHA-256 fingerprint of the station's
 *                          certificate, as browsers and "openssl x509
 *                          -noout -fingerprint -sha256" show it (64 hex
 *                          digits; colons and case free). Exactly that
 *                          certificate is trusted, without chain or name
 *                          checks (how a self-signed station is trusted);
 *                          any other is refused.
 *   "otp_code" (text)      the 2-step verification code for this sign-in.
 *   "device_name" (text)   with "otp_code": also asks the station to trust
 *                          this device from now on (ds_session_info then
 *                          holds the device id it issued); with
 *                          "device_id": signs in as that trusted device, so
 *                          no code is needed.
 *   "device_id" (text)     the device id the station issued earlier.
 * "verify", "ca_file" and "fingerprint_sha256" need "https": true, and only
 * one of "verify": false, "ca_file" and "fingerprint_sha256" may be given.
 * Options that break these rules fail with -1 and "Invalid options: ..."
 * naming the member; nothing is sent and the session stays as it was.
 * Otherwise the result and messages are ds_connect's; a certificate that is
 * refused fails with "HTTP connect failed: WHY", e.g. "Certificate not
 * trusted: self-signed (pass its fingerprint or a CA file)". */
DS_API int ds_connect_with(const char *host, int port, const char *username, const char *password,
                           const char *options);
/* What the library knows of its session, as a JSON object in the calling
 * thread's result buffer: {"host":"nas.local","port":5001,"https":true,
 * "verification":"fingerprint","fingerprint_sha256":"AB:CD:...",
 * "device_id":"...","connected":true}. "verification" tells how the
 * station's certificate was checked: "system", "ca_file", "fingerprint" or
 * "none" ("none" also for plain HTTP). "fingerprint_sha256" is that of the
 * certificate the station presented at the last sign-in, also when it was
 * refused, so a host can show it and offer to trust the station ("" without
 * TLS). "device_id" is the id the station issued for a trusted device ("" if
 * none). Sends nothing and leaves the last error as it is. */
DS_API const char *ds_session_info(void);
/* Logs out when connected (5-second time-out, the answer not looked at) and
 * forgets the session, however the logout went; host, port and time-out
 * stay. Always 0. */
DS_API int ds_disconnect(void);
/* Asks the station for its info with the session (5-second time-out).
 * 1 when it answers success; else 0 with "Not connected to NAS", "Ping
 * request failed: WHY", "Failed to parse ping response" or "Session expired
 * or invalid". Changes nothing: after a 0 the session is still kept. */
DS_API int ds_ping(void);

/* Tasks. A task is handed over as a flat JSON object of 23 members, always
 * all present, in this order: id, title, status (as the station words it:
 * "waiting", "downloading", "paused", "finished", "error", ...), type,
 * size_total, size_downloaded, size_uploaded (bytes), speed_download,
 * speed_upload (bytes per second), destination, username, create_time,
 * started_time, completed_time (seconds since 1970, 0 when not yet),
 * progress (0.0 to 1.0; 1.0 once finished), eta_seconds (-1 unless waiting
 * or downloading at a known speed), seed_ratio (uploaded / size, or uploaded
 * / downloaded when the size is unknown), error_detail (why an "error" task
 * failed, else ""), uri, connected_peers, connected_seeders,
 * connected_leechers, total_peers.
 * What the station leaves out reads "" or 0; a number the station sends as
 * a string of decimal digits ("1024", as some stations do) reads as that
 * number, any other string as 0. error_detail is the station's reason word
 * in English ("disk_full" gives "Disk full", "broken_link" "Broken link";
 * a word it does not know passes as it is), or without one the meaning of
 * the task's error code, or "Download error".
 * Statuses the station reports besides the five above include "seeding",
 * "finishing", "hash_checking", "extracting" and "filehosting_waiting";
 * they are listed and filtered like any other. */

/* JSON array of every task, in the station's order; "[]" on failure, with
 * the words "HTTP list request failed", "Failed to parse list JSON", "List
 * tasks failed". */
DS_API const char *ds_list_tasks(void);
/* As ds_list_tasks, keeping the tasks whose status is one of the words of
 * statuses: words separated by "," ";" "|" or spaces (a tab or line break
 * is no separator but is trimmed from around a word), ASCII case ignored,
 * only the first 255 bytes read. NULL, "" or "all" keep every task; a text
 * of separators only keeps none; a task without a textual status is kept
 * only by those. */
DS_API const char *ds_list_tasks_filtered(const char *statuses);
/* JSON object of the task with that id; "{}" on failure: "Task ID cannot be
 * empty", "Task TASK_ID not found (code N: TEXT)" when the station refuses,
 * "Task TASK_ID not found in tasks array", or the words "HTTP get task
 * request failed", "Failed to parse get task JSON". */
DS_API const char *ds_get_task(const char *task_id);

/* Act on one task id or several joined by "," (sent as one value).
 * ds_delete sends force_complete=true when force_complete is non-zero, else
 * force_complete=false. 0 when the station acted on every one; the station's
 * code when it refused the request ("pause failed (code N: TEXT)") or any
 * one task ("Task TASK_ID pause failed (code N: TEXT)", the first such
 * task); -1 otherwise: "Task IDs cannot be empty", "HTTP pause failed: WHY",
 * "Failed to parse pause JSON response: BODY" (with the call's word: pause,
 * resume, delete). */
DS_API int ds_pause(const char *task_ids);
DS_API int ds_resume(const char *task_ids);
DS_API int ds_delete(const char *task_ids, int force_complete);
/* Bulk actions: list the tasks, then act on every one selected, in as many
 * requests as it takes to keep each request line within 8 KiB. Only tasks
 * with an id and a textual status are selected.
 * ds_pause_all selects every task that is not paused, finished or failed
 * ("error"): seeding tasks too, which then stop uploading; ds_resume_all
 * the paused ones; ds_delete_completed the finished and failed ones (with
 * force_complete=false; a seeding task is not finished and stays).
 * The number of tasks acted on; 0 when none was selected (no action is
 * sent, also when the listing reports a failure). -1, never a station code,
 * when the listing fails ("HTTP list request failed: WHY", "Failed to parse
 * list JSON: BODY") or an action request fails (its message, as for
 * ds_pause; the tasks of requests sent before it stay acted on). */
DS_API int ds_pause_all(void);
DS_API int ds_resume_all(void);
DS_API int ds_delete_completed(void);

/* Adding downloads; destination as under the conventions (NULL: the
 * station's default folder, the field left out of the request).
 * The URL is sent as given, for the station to judge; its request waits
 * at least 15 seconds whatever the time-out.
 * 0 when the station created the task; the station's code when it refused,
 * with "Add URL failed (code N: TEXT)"; -1 otherwise: "URL cannot be empty",
 * "HTTP add url failed: WHY", "Failed to parse add_url JSON response: BODY". */
DS_API int ds_add_url(const char *url, const char *destination);
/* One URL per line (CR, LF or both), blanks around each trimmed, empty lines
 * skipped, each added as by ds_add_url in its own request. The number added;
 * 0 when every one failed (the last one's message); -1 with "URLs list cannot
 * be empty" or "No valid URLs found in batch" (only blanks and line ends).
 * After a partial success the message is the last URL's ("" when it was
 * added). */
DS_API int ds_add_urls(const char *urls, const char *destination);
/* Uploads the local torrent file (1 byte to 20 MiB, read whole and held
 * once) as a new task; the request waits at least 30 seconds whatever the
 * time-out. The file name goes with it, its quote, CR and LF sent as %22
 * %0D %0A; the destination goes unencoded in its own part.
 * Stations since Download Station 3.8.16 take uploads only on their current
 * task service and refuse the older one with code 101: the same file is
 * then sent there, and the session sends later uploads there straight away
 * (until the next login). That service wants a destination: without one,
 * the station's default folder is read first (as ds_get_default_destination
 * does).
 * 0 when the station created the task; the station's code when it refused,
 * with "Add torrent failed (code N: TEXT)", TEXT followed by what the
 * station said it wanted where it said so ("Add torrent failed (code 120:
 * Synology error; destination: required)"); -1 otherwise, nothing sent:
 * "File path cannot be empty", "Destination cannot contain line breaks",
 * "Failed to open torrent file: PATH (WHY)" (e.g. "No such file or
 * directory", "Is a directory"), "Invalid torrent file size: N" (with "(over
 * the 20 MiB limit)" when too large), "Failed to read complete torrent
 * file", "Out of memory reading torrent file", "Add torrent failed: no
 * destination given and the station has no default destination"; or after
 * sending: "HTTP add torrent failed: WHY", "Failed to parse add_torrent JSON
 * response: BODY". */
DS_API int ds_add_torrent(const char *file_path, const char *destination);

/* Station: what the station answers for its information, its transfer
 * statistics and its configuration, passed through as JSON (minified, in the
 * station's order; "{}" when it sends none). "{}" on failure, with the words
 * "info", "stats" or "config": "HTTP info request failed: WHY", "Failed to
 * parse info JSON: BODY", "Get info failed (code N: TEXT)". */
DS_API const char *ds_info(void);
DS_API const char *ds_stats(void);
DS_API const char *ds_get_config(void);
/* Sets the station's BitTorrent download and upload limits (its
 * bt_max_download and bt_max_upload, in KB/s; 0 means no limit); other
 * downloads are not limited by them. A negative limit stays as it is; both
 * negative sends nothing and gives 0. 0 when set; the station's code when it
 * refused, with "Set speed limit failed (code N: TEXT)"; -1 otherwise: "HTTP
 * set speed limit failed: WHY", "Failed to parse set speed limit JSON
 * response: BODY". */
DS_API int ds_set_speed_limit(int download_limit, int upload_limit);
/* The folder new tasks go to by default, as plain text (not JSON), e.g.
 * "downloads"; "" when the station names none (ds_last_error "") or on
 * failure: "HTTP get default destination failed: WHY", "Failed to parse
 * getconfig JSON: BODY", "Get default destination failed (code N: TEXT)". */
DS_API const char *ds_get_default_destination(void);
/* Sets that folder: leading "/" and "\" dropped, nothing left meaning
 * "personal" (but NULL or "" fails with "Destination cannot be empty").
 * 0 when set; the station's code when it refused, with "Set default
 * destination failed (code N: TEXT)"; -1 otherwise: "HTTP set default
 * destination failed: WHY", "Failed to parse set default destination
 * response: BODY". */
DS_API int ds_set_default_destination(const char *destination);

/* Folders, to choose a destination. ds_list_shares gives the shared folders
 * as a JSON array of {"name","path","desc","isdir"}; ds_list_folders the
 * folders in folder_path (a share or a folder in one, "video" or
 * "/video/films") as an array of {"name","path","isdir"}, in the station's
 * order. "[]" on failure: "Share path cannot be empty" (ds_list_folders),
 * or the words "list shares" / "list folders": "HTTP list shares request
 * failed: WHY", "Failed to parse list shares JSON: BODY", "List shares failed
 * (code N: TEXT)", "List folders in FOLDER_PATH failed (code N: TEXT)". */
DS_API const char *ds_list_shares(void);
DS_API const char *ds_list_folders(const char *folder_path);

#ifdef __cplusplus
}
#endif

#endif
