"""The simulated station for the package's tests: ds-sim-server (its path in
DS_SIM_SERVER) on a free loopback port, with its clock stopped; the library
comes from DS_LIBRARY or is found as an installed one."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
import urllib.request
from dataclasses import dataclass
from typing import Iterator, List

import pytest

import synology_ds


@dataclass
class Station:
    port: int
    log_path: str

    def get(self, target: str) -> str:
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}{target}", timeout=30) as answer:
            body: bytes = answer.read()
            return body.decode("utf-8")

    def advance(self, seconds: int) -> None:
        """Moves the station's clock forward."""
        assert json.loads(self.get(f"/sim/advance?seconds={seconds}"))["success"] is True

    def log(self) -> str:
        """The requests the station has answered, one line each."""
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()


def start_station(options: List[str]) -> Iterator[Station]:
    server = os.environ.get("DS_SIM_SERVER")
    if not server:
        pytest.skip("DS_SIM_SERVER does not name the simulated station")
    with tempfile.NamedTemporaryFile("w+b", suffix=".log") as log:
        process = subprocess.Popen(
            [server, "--port", "0", "--verbose", *options], stdout=subprocess.PIPE, stderr=log
        )
        assert process.stdout is not None
        first = process.stdout.readline().decode()
        if not first.startswith("listening on 127.0.0.1:"):
            process.kill()
            process.wait()
            pytest.skip(f"the simulated station did not start with {options}")
        try:
            yield Station(int(first.rsplit(":", 1)[1]), log.name)
        finally:
            process.terminate()
            assert process.wait(timeout=30) == 0
            process.stdout.close()


@pytest.fixture
def station() -> Iterator[Station]:
    yield from start_station(["--speed", "0", "--seed", "7", "--epoch", "1700000000", "--error-rate", "0"])


@pytest.fixture
def client(station: Station) -> Iterator[synology_ds.Client]:
    with synology_ds.Client("127.0.0.1", "admin", "admin", port=station.port) as signed_in:
        yield signed_in
