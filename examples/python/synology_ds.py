"""brellock-synology-downloadstation from Python, with the standard library alone.

A thin layer over the shared library's C functions (see synology_ds.h):
the same calls without the ``ds_`` prefix, JSON results parsed with json,
and failures raised as DownloadStationError carrying ds_last_error().

The library is loaded on first use from the path in the environment variable
DS_LIBRARY, else by its name (brellock-synology-downloadstation.so), which the
system's loader finds in LD_LIBRARY_PATH or its own folders. load() takes a
path as well.

    import synology_ds as ds
    ds.connect("nas.local", 5000, "admin", "secret")
    for task in ds.list_tasks_filtered("downloading"):
        print(task["title"], task["progress"])
    ds.disconnect()

Like the library, every call is synchronous and may be made from any thread;
the library's session is one for the whole process.
"""

import ctypes
import json
import os
import threading

LIBRARY_NAME = "brellock-synology-downloadstation.so"

_text = ctypes.c_char_p
_int = ctypes.c_int

# Every exported function: (result type, argument types).
_SIGNATURES = {
    "ds_version": (_text, []),
    "ds_last_error": (_text, []),
    "ds_is_connected": (_int, []),
    "ds_set_timeout": (_int, [_int]),
    "ds_connect": (_int, [_text, _int, _text, _text]),
    "ds_connect_with": (_int, [_text, _int, _text, _text, _text]),
    "ds_session_info": (_text, []),
    "ds_disconnect": (_int, []),
    "ds_ping": (_int, []),
    "ds_list_tasks": (_text, []),
    "ds_list_tasks_filtered": (_text, [_text]),
    "ds_get_task": (_text, [_text]),
    "ds_pause": (_int, [_text]),
    "ds_resume": (_int, [_text]),
    "ds_delete": (_int, [_text, _int]),
    "ds_pause_all": (_int, []),
    "ds_resume_all": (_int, []),
    "ds_delete_completed": (_int, []),
    "ds_add_url": (_int, [_text, _text]),
    "ds_add_urls": (_int, [_text, _text]),
    "ds_add_torrent": (_int, [_text, _text]),
    "ds_info": (_text, []),
    "ds_stats": (_text, []),
    "ds_get_config": (_text, []),
    "ds_set_speed_limit": (_int, [_int, _int]),
    "ds_get_default_destination": (_text, []),
    "ds_set_default_destination": (_int, [_text]),
    "ds_list_shares": (_text, []),
    "ds_list_folders": (_text, [_text]),
}


class DownloadStationError(Exception):
    """A failed call: message is the library's ds_last_error() text; code is
    the station's error code when the call returned one (an int call refused
    by the station), else None."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.message = message
        self.code = code


_lib = None
_lib_lock = threading.Lock()


def load(path=None):
    """Loads the library (once) from path, DS_LIBRARY or by its name, declares
    every signature and returns the ctypes handle."""
    global _lib
    with _lib_lock:
        if _lib is None:
            lib = ctypes.CDLL(path or os.environ.get("DS_LIBRARY") or LIBRARY_NAME)
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _lib = lib
        return _lib


def _encoded(text):
    return None if text is None else text.encode("utf-8")


def _message():
    # A message quoting a station's answer may end inside a UTF-8 character.
    return load().ds_last_error().decode("utf-8", errors="replace")


def _status(result):
    """An int call's 0, station code or -1: None, or the raised failure."""
    if result != 0:
        raise DownloadStationError(_message(), result if result > 0 else None)


def _count(result):
    if result < 0:
        # A bulk call whose task listing is no JSON at all leaves no message.
        raise DownloadStationError(_message() or "the task list could not be read")
    return result


def _json(result):
    # A text call's failure value ("{}", "[]") is told apart by the message:
    # every call empties it first and only a failure fills it.
    message = _message()
    if message:
        raise DownloadStationError(message)
    return json.loads(result.decode("utf-8"))


# ---- session and state -------------------------------------------------------

def version():
    return load().ds_version().decode("ascii")


def last_error():
    return _message()


def is_connected():
    return load().ds_is_connected() == 1


def set_timeout(seconds):
    _status(load().ds_set_timeout(seconds))


def connect(host, port, username, password=None):
    _status(load().ds_connect(_encoded(host), port, _encoded(username), _encoded(password)))


def disconnect():
    load().ds_disconnect()


def ping():
    """True while the station accepts the session; False otherwise (the
    reason is in last_error())."""
    return load().ds_ping() == 1


# ---- tasks ---------------------------------------------------------------------

def list_tasks():
    """A list of task records (dicts of 23 members)."""
    return _json(load().ds_list_tasks())


def list_tasks_filtered(statuses=None):
    return _json(load().ds_list_tasks_filtered(_encoded(statuses)))


def get_task(task_id):
    return _json(load().ds_get_task(_encoded(task_id)))


def pause(task_ids):
    """task_ids: one id or several joined by ","."""
    _status(load().ds_pause(_encoded(task_ids)))


def resume(task_ids):
    _status(load().ds_resume(_encoded(task_ids)))


def delete(task_ids, force_complete=False):
    _status(load().ds_delete(_encoded(task_ids), 1 if force_complete else 0))


def pause_all():
    """The number of tasks paused."""
    return _count(load().ds_pause_all())


def resume_all():
    return _count(load().ds_resume_all())


def delete_completed():
    return _count(load().ds_delete_completed())


def add_url(url, destination=None):
    _status(load().ds_add_url(_encoded(url), _encoded(destination)))


def add_urls(urls, destination=None):
    """Adds each line of urls; the number added. Raises when nothing could be
    tried, or when every URL failed (with the last one's message)."""
    added = _count(load().ds_add_urls(_encoded(urls), _encoded(destination)))
    if added == 0:
        raise DownloadStationError(_message())
    return added


def add_torrent(file_path, destination=None):
    _status(load().ds_add_torrent(_encoded(file_path), _encoded(destination)))


# ---- station -----------------------------------------------------------------

def info():
    return _json(load().ds_info())


def stats():
    return _json(load().ds_stats())


def get_config():
    return _json(load().ds_get_config())


def set_speed_limit(download_limit, upload_limit):
    """A negative limit stays as it is."""
    _status(load().ds_set_speed_limit(download_limit, upload_limit))


def get_default_destination():
    """Plain text, not JSON; "" when the station has none."""
    result = load().ds_get_default_destination()
    message = _message()
    if message:
        raise DownloadStationError(message)
    return result.decode("utf-8")


def set_default_destination(destination):
    _status(load().ds_set_default_destination(_encoded(destination)))


# ---- folders -------------------------------------------------------------------

def list_shares():
    return _json(load().ds_list_shares())


def list_folders(folder_path):
    return _json(load().ds_list_folders(_encoded(folder_path)))
