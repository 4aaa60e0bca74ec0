"""Drive the Download Station of a Synology NAS from Python.

A typed layer over the shared library brellock-synology-downloadstation
(its functions are declared in synology_ds.h), with the standard library
alone:

    from synology_ds import Client, TaskStatus

    with Client("nas.local", "admin", "secret") as station:
        for task in station.tasks([TaskStatus.DOWNLOADING]):
            print(task.title, f"{task.progress:.0%}")

The library is found by itself: the path in DS_LIBRARY when set, else under
sys.prefix, ~/.local, /usr/local or /usr (lib/, lib64/, lib/<multiarch>/),
else through the system's loader by name (see find_library).
"""

from ._library import LIBRARY_NAME, find_library, library_candidates, load
from .client import Client, set_timeout, version
from .errors import (
    DownloadStationError,
    InvalidArgumentError,
    NotConnectedError,
    SignInError,
    StationError,
    TransportError,
)
from .models import Folder, SessionInfo, Share, Stats, Task, TaskStatus

__all__ = [
    "Client",
    "DownloadStationError",
    "Folder",
    "InvalidArgumentError",
    "LIBRARY_NAME",
    "NotConnectedError",
    "SessionInfo",
    "Share",
    "SignInError",
    "StationError",
    "Stats",
    "Task",
    "TaskStatus",
    "TransportError",
    "find_library",
    "library_candidates",
    "load",
    "set_timeout",
    "version",
]
