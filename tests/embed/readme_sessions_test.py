"""Runs the README's sessions with ds against the simulated station, as a
reader pastes them into bash: each must wait for the station before its
first call, succeed, and stop the station it started (by its PID) before it
ends.

    readme_sessions_test.py README.md DS_SIM_SERVER DS
"""

import os
import re
import signal
import subprocess
import sys
import tempfile

from readme_blocks import fenced_blocks

SECTION = "## The command-line tool `ds`"


def sessions(readme):
    """The sh blocks of the ds section that start a station."""
    return [block for section, language, block in fenced_blocks(readme, 2)
            if section == SECTION and language == "sh" and "ds-sim-server" in "\n".join(block)]


def runnable(block, sim, ds):
    """The block with the built programs' paths; its build lines dropped (the
    programs are built)."""
    lines = [line for line in block if not re.match(r"(cmake|ninja) ", line)]
    script = "\n".join(lines) + "\n"
    return script.replace("build/demo/tools/sim_server/ds-sim-server", sim).replace("build/demo/tools/cli/ds", ds)


def left_running(group):
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    os.killpg(group, signal.SIGKILL)
    return True


def main(readme_path, sim, ds):
    with open(readme_path, encoding="utf-8") as readme:
        blocks = sessions(readme.read())
    assert blocks, "the README's ds section starts no station"
    sim_help = subprocess.run([sim, "--help"], capture_output=True, text=True).stdout
    environment = {k: v for k, v in os.environ.items() if not k.startswith("DS_") and k != "NO_COLOR"}
    failures = 0
    for number, block in enumerate(blocks, 1):
        if "--https" in "\n".join(block) and "--https" not in sim_help:
            print(f"session {number}: skipped, this build's station serves no HTTPS")
            continue
        with tempfile.TemporaryDirectory() as folder:
            bash = subprocess.Popen(["bash", "-c", runnable(block, sim, ds)], cwd=folder, env=environment,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                    start_new_session=True)
            try:
                output, _ = bash.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                os.killpg(bash.pid, signal.SIGKILL)
                output, _ = bash.communicate()
                output += "\n(did not end within 120 seconds)"
            problems = []
            if bash.returncode != 0:
                problems.append(f"it ended with {bash.returncode}, not with the station's clean stop")
            if left_running(bash.pid):
                problems.append("it left a program running")
            # A refused certificate is shown on purpose; a station that was
            # not there yet, or no longer, is the fault.
            if "Failed to connect" in output or "Empty response from server" in output:
                problems.append("a call found no station")
        # An endless session prints without end: its last lines tell enough.
        print(f"session {number}: {'; '.join(problems) or 'ok'}\n{output[-3000:]}")
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
