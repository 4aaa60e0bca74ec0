"""Client: a signed-in session with a station, over the library's calls."""

from __future__ import annotations

import json
import os
import threading
from types import TracebackType
from typing import Any, Dict, Iterable, List, Optional, Sequence, Type, Union

from . import _library
from .errors import DownloadStationError, NotConnectedError, SignInError, error_for
from .models import Folder, SessionInfo, Share, Stats, Task, TaskStatus

TaskIds = Union[str, Sequence[str]]
Statuses = Iterable[Union[TaskStatus, str]]

# The library keeps one session for the whole process; this is the client
# that holds it.
_current: Optional["Client"] = None
_current_lock = threading.Lock()


def _encoded(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode("utf-8")


def _last_error() -> str:
    # A message that quotes a station's answer may end inside a UTF-8 character.
    message: bytes = _library.load().ds_last_error()
    return message.decode("utf-8", errors="replace")


def _raise_for_status(status: int, sign_in: bool = False) -> None:
    """An int call's 0, station code or -1: nothing, or the failure raised."""
    if status != 0:
        raise error_for(_last_error(), status if status > 0 else None, sign_in)


def _count(result: int) -> int:
    if result < 0:
        # A bulk call whose task listing is no JSON leaves no message.
        raise error_for(_last_error() or "The station's task list could not be read")
    return result


def _raise_if_failed() -> None:
    # A text call's failure value ("{}", "[]", "") is told by its message:
    # every call empties it first and only a failure fills it.
    message = _last_error()
    if message:
        raise error_for(message)


def _json(result: bytes) -> Any:
    _raise_if_failed()
    return json.loads(result.decode("utf-8"))


def version() -> str:
    """The library's version, e.g. "2.0.0"."""
    text: bytes = _library.load().ds_version()
    return text.decode("ascii")


def set_timeout(seconds: int) -> None:
    """Seconds every later request may take (1 to 300; 10 at start), for the
    whole process."""
    _raise_for_status(_library.load().ds_set_timeout(seconds))


def _ids(task_ids: TaskIds) -> str:
    return task_ids if isinstance(task_ids, str) else ",".join(task_ids)


def _statuses(statuses: Statuses) -> str:
    return ",".join(s.value if isinstance(s, TaskStatus) else s for s in statuses)


class Client:
    """A session with a Download Station, signed in on creation.

    >>> with Client("nas.local", "admin", "secret") as station:
    ...     station.add_urls(["https://example.org/a.iso"])

    port 0 means 5000, or 5001 with https. The HTTPS and 2-step options are
    those of ds_connect_with: verify=False encrypts without checking who
    answers (unsafe); ca_file trusts the certificates of a PEM file;
    fingerprint trusts exactly the certificate of that SHA-256 fingerprint;
    otp_code is the 2-step verification code, with device_name also asking
    the station to trust this device (session_info().device_id then holds
    its id); device_id with device_name signs in as that trusted device.
    timeout sets every later request's time-out (process-wide).

    The library keeps one session per process: a new Client replaces the
    session of an earlier one, whose calls then raise NotConnectedError.
    Closing (or leaving the with block) signs out. Calls may come from any
    thread.
    """

    def __init__(
        self,
        host: str,
        username: str,
        password: Optional[str] = None,
        *,
        port: int = 0,
        https: bool = False,
        verify: bool = True,
        ca_file: Optional[str] = None,
        fingerprint: Optional[str] = None,
        otp_code: Optional[str] = None,
        device_name: Optional[str] = None,
        device_id: Optional[str] = None,
        timeout: Optional[int] = None,
    ) -> None:
        global _current
        options: Dict[str, Any] = {"https": True} if https else {}
        if not verify:
            options["verify"] = False
        for name, value in (
            ("ca_file", ca_file),
            ("fingerprint_sha256", fingerprint),
            ("otp_code", otp_code),
            ("device_name", device_name),
            ("device_id", device_id),
        ):
            if value is not None:
                options[name] = value
        if timeout is not None:
            set_timeout(timeout)
        lib = _library.load()
        with _current_lock:
            status = lib.ds_connect_with(
                _encoded(host), port, _encoded(username), _encoded(password), _encoded(json.dumps(options))
            )
            _raise_for_status(status, sign_in=True)
            if not lib.ds_is_connected():
                raise SignInError("The station gave no session id")
            _current = self

    def __enter__(self) -> "Client":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def close(self) -> None:
        """Signs out (when this client still holds the session)."""
        global _current
        with _current_lock:
            if _current is self:
                _library.load().ds_disconnect()
                _current = None

    def _lib(self) -> Any:
        if _current is not self:
            raise NotConnectedError("Not connected to NAS")
        return _library.load()

    # ---- session -------------------------------------------------------------

    @property
    def connected(self) -> bool:
        """True while this client holds the library's session."""
        return _current is self and _library.load().ds_is_connected() == 1

    def session_info(self) -> SessionInfo:
        """What the library knows of the session (sends nothing)."""
        text: bytes = _library.load().ds_session_info()
        return SessionInfo.from_json(json.loads(text.decode("utf-8")))

    def ping(self) -> bool:
        """True while the station accepts the session; False otherwise."""
        return bool(self._lib().ds_ping() == 1)

    # ---- tasks ---------------------------------------------------------------

    def tasks(self, statuses: Optional[Statuses] = None) -> List[Task]:
        """Every task, or those of the given statuses, in the station's order."""
        lib = self._lib()
        if statuses is None:
            records = _json(lib.ds_list_tasks())
        else:
            chosen = _statuses(statuses)
            # No status chosen keeps no task ("" would keep every one).
            records = _json(lib.ds_list_tasks_filtered(_encoded(chosen or ",")))
        return [Task.from_json(record) for record in records]

    def task(self, task_id: str) -> Task:
        """The task with that id; StationError (code 404) when there is none."""
        return Task.from_json(_json(self._lib().ds_get_task(_encoded(task_id))))

    def pause(self, task_ids: TaskIds) -> None:
        """Pauses the tasks (one id, or a list of ids) in one request."""
        _raise_for_status(self._lib().ds_pause(_encoded(_ids(task_ids))))

    def resume(self, task_ids: TaskIds) -> None:
        """Resumes the tasks (one id, or a list of ids) in one request."""
        _raise_for_status(self._lib().ds_resume(_encoded(_ids(task_ids))))

    def delete(self, task_ids: TaskIds, force_complete: bool = False) -> None:
        """Deletes the tasks; force_complete moves what was downloaded of
        unfinished ones to their destination."""
        _raise_for_status(self._lib().ds_delete(_encoded(_ids(task_ids)), 1 if force_complete else 0))

    def pause_all(self) -> int:
        """Pauses every task that is not paused, finished or failed; how many."""
        return _count(self._lib().ds_pause_all())

    def resume_all(self) -> int:
        """Resumes every paused task; how many."""
        return _count(self._lib().ds_resume_all())

    def delete_completed(self) -> int:
        """Deletes every finished or failed task; how many."""
        return _count(self._lib().ds_delete_completed())

    def add_url(self, url: str, destination: Optional[str] = None) -> None:
        """Adds a download; without destination it goes to the station's
        default folder."""
        _raise_for_status(self._lib().ds_add_url(_encoded(url), _encoded(destination)))

    def add_urls(self, urls: Sequence[str], destination: Optional[str] = None) -> int:
        """Adds each URL in its own request; how many the station took. Raises
        when it took none (with the last refusal)."""
        added = _count(self._lib().ds_add_urls(_encoded("\n".join(urls)), _encoded(destination)))
        if added == 0:
            raise error_for(_last_error())
        return added

    def add_torrent(self, path: Union[str, "os.PathLike[str]"], destination: Optional[str] = None) -> None:
        """Uploads a local torrent file (up to 20 MiB) as a new task."""
        _raise_for_status(self._lib().ds_add_torrent(_encoded(os.fspath(path)), _encoded(destination)))

    # ---- station -------------------------------------------------------------

    def info(self) -> Dict[str, Any]:
        """The station's information object, as it gives it."""
        result: Dict[str, Any] = _json(self._lib().ds_info())
        return result

    def stats(self) -> Stats:
        """The station's total speeds."""
        return Stats.from_json(_json(self._lib().ds_stats()))

    def config(self) -> Dict[str, Any]:
        """The station's configuration object, as it gives it."""
        result: Dict[str, Any] = _json(self._lib().ds_get_config())
        return result

    def set_speed_limit(self, download: Optional[int] = None, upload: Optional[int] = None) -> None:
        """Sets the BitTorrent limits in KB/s (0: none); None leaves one as it is."""
        _raise_for_status(
            self._lib().ds_set_speed_limit(-1 if download is None else download, -1 if upload is None else upload)
        )

    def default_destination(self) -> str:
        """The folder new tasks go to by default ("" when the station names none)."""
        result: bytes = self._lib().ds_get_default_destination()
        _raise_if_failed()
        return result.decode("utf-8")

    def set_default_destination(self, folder: str) -> None:
        """Makes folder the default destination."""
        _raise_for_status(self._lib().ds_set_default_destination(_encoded(folder)))

    # ---- folders -------------------------------------------------------------

    def shares(self) -> List[Share]:
        """The NAS's shared folders."""
        return [Share.from_json(share) for share in _json(self._lib().ds_list_shares())]

    def folders(self, path: str) -> List[Folder]:
        """The folders in path ("video", "/video/films")."""
        return [Folder.from_json(folder) for folder in _json(self._lib().ds_list_folders(_encoded(path)))]
