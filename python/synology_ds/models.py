"""What the station gives, as typed objects. Each keeps the library's JSON
object it was made from in raw."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime, timezone
from enum import Enum
from typing import Any, Dict, Optional


class TaskStatus(str, Enum):
    """A task's status, as the station words it."""

    WAITING = "waiting"
    DOWNLOADING = "downloading"
    PAUSED = "paused"
    FINISHING = "finishing"
    FINISHED = "finished"
    HASH_CHECKING = "hash_checking"
    SEEDING = "seeding"
    FILEHOSTING_WAITING = "filehosting_waiting"
    EXTRACTING = "extracting"
    ERROR = "error"
    #: A status this package does not know (Task.raw["status"] holds it).
    UNKNOWN = "unknown"

    @classmethod
    def of(cls, text: str) -> "TaskStatus":
        try:
            return cls(text)
        except ValueError:
            return cls.UNKNOWN


def _time(seconds: Any) -> Optional[datetime]:
    """A time in seconds since 1970 (UTC); None for 0, "not yet"."""
    return datetime.fromtimestamp(seconds, timezone.utc) if isinstance(seconds, int) and seconds > 0 else None


def _int(value: Any) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def _float(value: Any) -> float:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else 0.0


def _str(value: Any) -> str:
    return value if isinstance(value, str) else ""


@dataclass(frozen=True)
class Task:
    """A download task. Sizes in bytes, speeds in bytes per second, progress
    from 0.0 to 1.0 (1.0 once finished); times are None until they happen;
    eta_seconds is None unless the task waits or downloads at a known speed."""

    id: str
    title: str
    status: TaskStatus
    type: str
    size_total: int
    size_downloaded: int
    size_uploaded: int
    speed_download: int
    speed_upload: int
    destination: str
    username: str
    create_time: Optional[datetime]
    started_time: Optional[datetime]
    completed_time: Optional[datetime]
    progress: float
    eta_seconds: Optional[int]
    seed_ratio: float
    error_detail: str
    uri: str
    connected_peers: int
    connected_seeders: int
    connected_leechers: int
    total_peers: int
    raw: Dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, task: Dict[str, Any]) -> "Task":
        eta = task.get("eta_seconds")
        return cls(
            id=_str(task.get("id")),
            title=_str(task.get("title")),
            status=TaskStatus.of(_str(task.get("status"))),
            type=_str(task.get("type")),
            size_total=_int(task.get("size_total")),
            size_downloaded=_int(task.get("size_downloaded")),
            size_uploaded=_int(task.get("size_uploaded")),
            speed_download=_int(task.get("speed_download")),
            speed_upload=_int(task.get("speed_upload")),
            destination=_str(task.get("destination")),
            username=_str(task.get("username")),
            create_time=_time(task.get("create_time")),
            started_time=_time(task.get("started_time")),
            completed_time=_time(task.get("completed_time")),
            progress=_float(task.get("progress")),
            eta_seconds=eta if isinstance(eta, int) and eta >= 0 else None,
            seed_ratio=_float(task.get("seed_ratio")),
            error_detail=_str(task.get("error_detail")),
            uri=_str(task.get("uri")),
            connected_peers=_int(task.get("connected_peers")),
            connected_seeders=_int(task.get("connected_seeders")),
            connected_leechers=_int(task.get("connected_leechers")),
            total_peers=_int(task.get("total_peers")),
            raw=task,
        )


@dataclass(frozen=True)
class Share:
    """A shared folder of the NAS."""

    name: str
    path: str
    description: str
    is_dir: bool
    raw: Dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, share: Dict[str, Any]) -> "Share":
        return cls(
            _str(share.get("name")), _str(share.get("path")), _str(share.get("desc")), share.get("isdir") is True, share
        )


@dataclass(frozen=True)
class Folder:
    """A folder inside a shared folder."""

    name: str
    path: str
    is_dir: bool
    raw: Dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, folder: Dict[str, Any]) -> "Folder":
        return cls(_str(folder.get("name")), _str(folder.get("path")), folder.get("isdir") is True, folder)


@dataclass(frozen=True)
class Stats:
    """The station's total speeds, in bytes per second."""

    speed_download: int
    speed_upload: int
    raw: Dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, stats: Dict[str, Any]) -> "Stats":
        return cls(_int(stats.get("speed_download")), _int(stats.get("speed_upload")), stats)


@dataclass(frozen=True)
class SessionInfo:
    """What the library knows of its session. verification is how the
    station's certificate was checked ("system", "ca_file", "fingerprint" or
    "none"); fingerprint_sha256 is that of the certificate presented at the
    last sign-in, also when it was refused ("" without HTTPS); device_id is
    the id the station issued for a trusted device ("" if none)."""

    host: str
    port: int
    https: bool
    verification: str
    fingerprint_sha256: str
    device_id: str
    connected: bool
    raw: Dict[str, Any] = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, info: Dict[str, Any]) -> "SessionInfo":
        return cls(
            host=_str(info.get("host")),
            port=_int(info.get("port")),
            https=info.get("https") is True,
            verification=_str(info.get("verification")),
            fingerprint_sha256=_str(info.get("fingerprint_sha256")),
            device_id=_str(info.get("device_id")),
            connected=info.get("connected") is True,
            raw=info,
        )
