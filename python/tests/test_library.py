"""How the package finds the library, and its type hints under mypy."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from synology_ds import LIBRARY_NAME, find_library, library_candidates

PACKAGE = Path(__file__).resolve().parents[1] / "synology_ds"


def test_candidates_cover_each_prefix_and_folder(tmp_path: Path) -> None:
    multiarch = sysconfig.get_config_var("MULTIARCH")
    folders = ["lib", "lib64"] + ([f"lib/{multiarch}"] if multiarch else [])
    first, second = tmp_path / "a", tmp_path / "b"
    assert library_candidates([first, second, first]) == [
        prefix / folder / LIBRARY_NAME for prefix in (first, second) for folder in folders]


def test_default_prefixes(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    prefixes = [c.parent.parent for c in library_candidates() if c.parent.name == "lib"]
    expected = [Path(sys.prefix), tmp_path / ".local", Path("/usr/local"), Path("/usr")]
    assert prefixes == [p for i, p in enumerate(expected) if p not in expected[:i]]


def test_finds_the_first_installed_copy(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.delenv("DS_LIBRARY", raising=False)
    home, system = tmp_path / "home" / ".local", tmp_path / "usr"
    assert find_library([home, system]) == LIBRARY_NAME  # none installed: the loader's search

    multiarch = sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu"
    installed = system / "lib" / multiarch / LIBRARY_NAME
    installed.parent.mkdir(parents=True)
    installed.write_bytes(b"")
    if sysconfig.get_config_var("MULTIARCH"):
        assert find_library([home, system]) == str(installed)

    in_home = home / "lib64" / LIBRARY_NAME
    in_home.parent.mkdir(parents=True)
    in_home.write_bytes(b"")
    assert find_library([home, system]) == str(in_home)
    (home / "lib" / LIBRARY_NAME).parent.mkdir(parents=True)
    assert find_library([home, system]) == str(in_home)  # a folder of that name is no library

    monkeypatch.setenv("DS_LIBRARY", "/opt/ds/lib/custom.so")
    assert find_library([home, system]) == "/opt/ds/lib/custom.so"


def test_type_hints_hold_under_mypy(tmp_path: Path) -> None:
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(PACKAGE)],
        capture_output=True,
        text=True,
        env={**os.environ, "MYPYPATH": ""},
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr
