"""Client against the simulated station: typed results, lists in, one
exception class per cause, signing out on leaving the with block."""

from __future__ import annotations

import socket
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

import synology_ds as ds
from conftest import Station, start_station

EXPORTS = Path(__file__).resolve().parents[2] / "tests" / "abi" / "exports.txt"


def test_declares_every_exported_function() -> None:
    exported = set(EXPORTS.read_text().split())
    assert exported == set(ds._library.SIGNATURES)
    lib = ds.load()
    for name in exported:
        assert getattr(lib, name).restype is not None, name
    assert ds.version() == "2.0.0"


def test_with_block_signs_in_and_out(station: Station) -> None:
    with ds.Client("127.0.0.1", "admin", "admin", port=station.port) as client:
        assert client.connected
        assert client.ping()
        info = client.session_info()
        assert (info.host, info.port, info.https, info.verification, info.connected) == (
            "127.0.0.1", station.port, False, "none", True)
    assert not client.connected
    assert "SYNO.API.Auth logout" in station.log()
    with pytest.raises(ds.NotConnectedError) as caught:
        client.tasks()
    assert caught.value.message == "Not connected to NAS"


def test_a_later_client_takes_the_session(station: Station) -> None:
    first = ds.Client("127.0.0.1", "admin", "admin", port=station.port)
    with ds.Client("127.0.0.1", "admin", "admin", port=station.port) as second:
        first.close()  # no longer holds the session: signs nothing out
        assert second.ping()
        with pytest.raises(ds.NotConnectedError):
            first.pause_all()
    assert station.log().count("SYNO.API.Auth logout") == 1


def test_sign_in_refused(station: Station) -> None:
    with pytest.raises(ds.SignInError) as caught:
        ds.Client("127.0.0.1", "admin", "wrong", port=station.port)
    assert caught.value.code == 400
    assert caught.value.message.startswith("Login failed (code 400: ")
    assert isinstance(caught.value, ds.DownloadStationError)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def test_no_station_is_a_transport_error() -> None:
    port = free_port()
    with pytest.raises(ds.TransportError) as caught:
        ds.Client("127.0.0.1", "admin", "admin", port=port)
    assert caught.value.message == f"HTTP connect failed: Failed to connect to 127.0.0.1:{port}"
    assert caught.value.code is None


def test_options_go_to_the_library(station: Station) -> None:
    with pytest.raises(ds.InvalidArgumentError) as caught:
        ds.Client("127.0.0.1", "admin", "admin", port=station.port, verify=False)
    assert caught.value.message == 'Invalid options: "verify" needs "https": true'
    with pytest.raises(ds.InvalidArgumentError) as caught:
        ds.Client("127.0.0.1", "admin", "admin", port=station.port, https=True, fingerprint="AB:CD")
    assert caught.value.message == 'Invalid options: "fingerprint_sha256" must be 64 hexadecimal digits'
    # A plain HTTP port does not speak TLS: no answer that counts.
    with pytest.raises(ds.TransportError):
        ds.Client("127.0.0.1", "admin", "admin", port=station.port, https=True, verify=False, timeout=2)
    ds.set_timeout(10)


def test_tasks_come_back_typed(station: Station, client: ds.Client) -> None:
    assert client.add_urls(["https://example.org/a.iso", "  ", "https://example.org/b.iso"], "video/new") == 2
    waiting = client.tasks()
    assert [(t.id, t.title, t.status) for t in waiting] == [
        ("dbid_1", "a.iso", ds.TaskStatus.WAITING), ("dbid_2", "b.iso", ds.TaskStatus.WAITING)]
    first = waiting[0]
    assert first.destination == "video/new"
    assert first.create_time == datetime(2023, 11, 14, 22, 13, 20, tzinfo=timezone.utc)
    assert first.started_time is None and first.completed_time is None
    assert len(first.raw) == 23 and first.raw["status"] == "waiting"

    station.advance(60)
    downloading = client.task("dbid_2")
    assert downloading.status is ds.TaskStatus.DOWNLOADING
    assert 0.0 < downloading.progress < 1.0
    assert downloading.eta_seconds is not None and downloading.eta_seconds > 0
    assert downloading.speed_download > 0 and downloading.started_time is not None
    assert client.tasks([ds.TaskStatus.PAUSED]) == []
    assert client.tasks([]) == []
    assert [t.id for t in client.tasks(["paused", ds.TaskStatus.DOWNLOADING])] == ["dbid_1", "dbid_2"]
    assert client.stats().speed_download == sum(t.speed_download for t in client.tasks())


def test_actions_take_lists_of_ids(client: ds.Client) -> None:
    client.add_urls(["https://example.org/a.iso", "https://example.org/b.iso", "https://example.org/c.iso"])
    client.pause(["dbid_1", "dbid_3"])
    assert [t.id for t in client.tasks([ds.TaskStatus.PAUSED])] == ["dbid_1", "dbid_3"]
    client.resume("dbid_1")
    assert client.resume_all() == 1
    client.delete(["dbid_2", "dbid_3"])
    assert [t.id for t in client.tasks()] == ["dbid_1"]
    assert client.pause_all() == 1

    with pytest.raises(ds.StationError) as caught:
        client.resume(["dbid_1", "dbid_404"])
    assert caught.value.code == 404
    assert caught.value.message == "Task dbid_404 resume failed (code 404: Invalid task id)"
    assert client.task("dbid_1").status is ds.TaskStatus.WAITING
    with pytest.raises(ds.StationError) as caught:
        client.task("dbid_9")
    assert caught.value.code == 404


def test_urls_and_torrents(client: ds.Client, tmp_path: Path) -> None:
    assert client.add_urls(["gopher://example.org/x", "https://example.org/a.iso"]) == 1
    with pytest.raises(ds.StationError) as caught:
        client.add_urls(["gopher://example.org/x"])
    assert (caught.value.code, caught.value.message) == (101, "Add URL failed (code 101: Invalid parameter)")
    torrent = tmp_path / "demo.torrent"
    torrent.write_bytes(b"d4:infod6:lengthi10e4:name9:demo.filee")
    client.add_torrent(torrent, "video")
    assert [(t.title, t.destination) for t in client.tasks()][-1] == ("demo.file", "video")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.pause([]), "Task IDs cannot be empty"),
        (lambda c: c.folders(""), "Share path cannot be empty"),
        (lambda c: c.add_urls([" ", ""]), "No valid URLs found in batch"),
        (lambda c: c.add_url(""), "URL cannot be empty"),
        (lambda c: ds.set_timeout(301), "Invalid timeout: 301 (must be between 1 and 300 seconds)"),
    ],
)
def test_bad_arguments(client: ds.Client, call: Callable[[ds.Client], Any], message: str) -> None:
    with pytest.raises(ds.InvalidArgumentError) as caught:
        call(client)
    assert caught.value.message == message
    assert caught.value.code is None
    assert isinstance(caught.value, ValueError)


def test_station_settings_and_folders(client: ds.Client) -> None:
    assert client.info()["version_string"] == "3.8.16-3566"
    client.set_speed_limit(download=500)
    client.set_speed_limit(upload=20)
    config = client.config()
    assert (config["bt_max_download"], config["bt_max_upload"]) == (500, 20)
    assert client.default_destination() == "downloads"
    client.set_default_destination("/video/new")
    assert client.default_destination() == "video/new"
    with pytest.raises(ds.StationError) as caught:
        client.set_default_destination("nowhere")
    assert caught.value.code == 403
    assert [(s.name, s.path, s.is_dir) for s in client.shares()][0] == ("downloads", "/downloads", True)
    assert [(f.name, f.path) for f in client.folders("video")] == [
        ("films", "/video/films"), ("new", "/video/new"), ("series", "/video/series")]


@pytest.fixture
def two_step_station() -> Iterator[Station]:
    yield from start_station(["--speed", "0", "--otp-secret", "JBSWY3DPEHPK3PXP"])


def current_code(station: Station) -> str:
    body = station.get("/sim/otp")
    digits = "".join(c for c in body if c.isdigit())
    return digits[:6]


def test_two_step_sign_in(two_step_station: Station) -> None:
    port = two_step_station.port
    with pytest.raises(ds.SignInError) as caught:
        ds.Client("127.0.0.1", "admin", "admin", port=port)
    assert caught.value.code == 403
    with ds.Client("127.0.0.1", "admin", "admin", port=port, otp_code=current_code(two_step_station),
                   device_name="tests") as client:
        device_id = client.session_info().device_id
        assert device_id
    with ds.Client("127.0.0.1", "admin", "admin", port=port, device_name="tests", device_id=device_id) as client:
        assert client.ping()
