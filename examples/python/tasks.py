#!/usr/bin/env python3
"""A host program of brellock-synology-downloadstation in Python: lists the
download tasks with their progress, adds a URL and pauses every task.

    DS_LIBRARY=/usr/local/lib/brellock-synology-downloadstation.so \\
    DS_HOST=nas.local DS_USER=admin DS_PASSWORD=secret python3 tasks.py [URL]

DS_HOST defaults to 127.0.0.1, DS_PORT to 5000, DS_USER to admin; the URL to
https://example.org/downloads/demo.iso. Exits with 1 and the library's
message after a failure.
"""

import os
import sys

import synology_ds as ds


def setting(name, fallback):
    return os.environ.get(name) or fallback


def show_tasks():
    tasks = ds.list_tasks()
    print(f"{len(tasks)} {'task' if len(tasks) == 1 else 'tasks'}")
    for task in tasks:
        print(f"{task['id']:<8} {task['status']:<11} {task['progress'] * 100:5.1f}% {task['title']}")


def main():
    url = sys.argv[1] if len(sys.argv) > 1 else "https://example.org/downloads/demo.iso"
    try:
        ds.load()
    except OSError as error:
        print(f"tasks: cannot load the library ({error}); DS_LIBRARY names its path", file=sys.stderr)
        return 1
    step = "login"
    try:
        ds.connect(setting("DS_HOST", "127.0.0.1"), int(setting("DS_PORT", "5000")),
                   setting("DS_USER", "admin"), os.environ.get("DS_PASSWORD"))
        step = "listing the tasks"
        show_tasks()
        step = "adding the URL"
        ds.add_url(url)  # no destination: the station's folder "personal"
        print(f"added {url}")
        step = "pausing every task"
        paused = ds.pause_all()
        print(f"paused {paused} {'task' if paused == 1 else 'tasks'}")
        step = "listing the tasks"
        show_tasks()
    except ds.DownloadStationError as error:
        print(f"tasks: {step} failed: {error.message}", file=sys.stderr)
        return 1
    finally:
        ds.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
