"""The README's Python snippet, run as it stands against the simulated station."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import List

import synology_ds
from conftest import Station

README = Path(__file__).resolve().parents[2] / "README.md"


def readme_snippet() -> str:
    """The python block of the README's Python section."""
    section = ""
    block: List[str] | None = None
    other_fence = False  # inside a block of another language
    for line in README.read_text(encoding="utf-8").splitlines():
        if block is not None:
            if line == "```":
                if section == "### From Python":
                    return "\n".join(block) + "\n"
                block = None
            else:
                block.append(line)
        elif other_fence:
            other_fence = line != "```"
        elif line.startswith("#"):
            section = line
        elif line == "```python":
            block = []
        elif line.startswith("```"):
            other_fence = True
    raise AssertionError("the README's Python section has no python block")


def test_readme_snippet_adds_lists_and_pauses(station: Station) -> None:
    environment = dict(os.environ, DS_HOST="127.0.0.1", DS_PORT=str(station.port), DS_USER="admin",
                       DS_PASSWORD="admin")
    run = subprocess.run([sys.executable, "-c", readme_snippet()], env=environment, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["dbid_1 a.iso 0%", "dbid_2 b.iso 0%"]
    with synology_ds.Client("127.0.0.1", "admin", "admin", port=station.port) as check:
        tasks = check.tasks()
    assert [(task.id, task.destination, task.status) for task in tasks] == [
        ("dbid_1", "downloads", synology_ds.TaskStatus.PAUSED),
        ("dbid_2", "downloads", synology_ds.TaskStatus.PAUSED),
    ]
