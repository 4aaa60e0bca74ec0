"""Runs the README's Python snippet as it stands against the simulated
station, then checks with the package what it added and paused.

    readme_snippet_test.py README.md DS_SIM_SERVER
"""

import os
import subprocess
import sys

import synology_ds
from readme_blocks import fenced_blocks

SECTION = "### From Python"


def readme_snippet(readme):
    """The python block of the README's Python section."""
    for section, language, block in fenced_blocks(readme, 3):
        if section == SECTION and language == "python":
            return "\n".join(block) + "\n"
    raise AssertionError("the README's Python section has no python block")


def check_snippet(snippet, port):
    environment = dict(os.environ, DS_HOST="127.0.0.1", DS_PORT=str(port), DS_USER="admin", DS_PASSWORD="admin")
    run = subprocess.run([sys.executable, "-c", snippet], env=environment, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["dbid_1 a.iso 0%", "dbid_2 b.iso 0%"]
    with synology_ds.Client("127.0.0.1", "admin", "admin", port=port) as check:
        tasks = check.tasks()
    assert [(task.id, task.destination, task.status) for task in tasks] == [
        ("dbid_1", "downloads", synology_ds.TaskStatus.PAUSED),
        ("dbid_2", "downloads", synology_ds.TaskStatus.PAUSED),
    ]


def main(readme_path, sim):
    with open(readme_path, encoding="utf-8") as readme:
        snippet = readme_snippet(readme.read())
    station = subprocess.Popen([sim, "--port", "0", "--speed", "0", "--seed", "7", "--epoch", "1700000000",
                                "--error-rate", "0"], stdout=subprocess.PIPE, text=True)
    try:
        first = station.stdout.readline()
        assert first.startswith("listening on 127.0.0.1:"), f"the simulated station did not start: {first!r}"
        check_snippet(snippet, int(first.rsplit(":", 1)[1]))
    finally:
        station.terminate()
        station.wait(timeout=30)
        station.stdout.close()
    assert station.returncode == 0, f"the simulated station ended with {station.returncode}"
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
