#!/usr/bin/env python3
"""A host program of brellock-synology-downloadstation in Python: lists the
download tasks with their progress, adds a URL and lists them again; with
--pause-all it also pauses every task (all of the station's, not only the one
it added).

    DS_HOST=nas.local DS_USER=admin DS_PASSWORD=secret python3 tasks.py [--pause-all] [URL]

It needs the synology_ds package (pip install ./python, or PYTHONPATH=python)
and the installed library, which the package finds by itself (DS_LIBRARY
names another). DS_HOST defaults to 127.0.0.1, DS_PORT to 5000, DS_USER to
admin; the URL to https://example.org/downloads/demo.iso. Exits with 1 and
the library's message after a failure, 2 after a usage error.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List

import synology_ds as ds


def show_tasks(station: ds.Client) -> None:
    tasks = station.tasks()
    print(f"{len(tasks)} {'task' if len(tasks) == 1 else 'tasks'}")
    for task in tasks:
        print(f"{task.id:<8} {task.status.value:<11} {task.progress * 100:5.1f}% {task.title}")


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description="List the tasks, add a URL, list them again.")
    parser.add_argument("--pause-all", action="store_true", help="also pause every task of the station")
    parser.add_argument("url", nargs="?", default="https://example.org/downloads/demo.iso")
    args = parser.parse_args(argv)
    try:
        ds.load()
    except OSError as error:
        print(f"tasks: cannot load the library ({error}); DS_LIBRARY names its path", file=sys.stderr)
        return 1
    step = "login"
    try:
        with ds.Client(os.environ.get("DS_HOST") or "127.0.0.1", os.environ.get("DS_USER") or "admin",
                       os.environ.get("DS_PASSWORD"), port=int(os.environ.get("DS_PORT") or "5000")) as station:
            step = "listing the tasks"
            show_tasks(station)
            step = "adding the URL"
            station.add_url(args.url)  # no destination: the station's default folder
            print(f"added {args.url}")
            if args.pause_all:
                step = "pausing every task"
                paused = station.pause_all()
                print(f"paused {paused} {'task' if paused == 1 else 'tasks'}")
            step = "listing the tasks"
            show_tasks(station)
    except ds.DownloadStationError as error:
        print(f"tasks: {step} failed: {error.message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
