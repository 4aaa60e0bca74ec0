"""Runs the README's installation of the Python package as a reader pastes
it into bash, in the reader's environment (PATH as it is, so a python3 that
comes before Debian's is the one a reader would get), with a home folder of
its own; then imports the package from the virtual environment it made.
The block's apt-get lines are left out: the test command installed those
packages already.

    readme_python_test.py README.md PYTHON_PACKAGE_DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile

from readme_blocks import fenced_blocks

SECTION = "### From Python"


def install_block(readme):
    """The sh block of the Python section that makes the virtual environment."""
    for section, language, block in fenced_blocks(readme, 3):
        if section == SECTION and language == "sh" and any("venv" in l for l in block):
            return block
    return None


def main(readme_path, package_dir):
    with open(readme_path, encoding="utf-8") as readme:
        block = install_block(readme.read())
    if block is None:
        print("the README's Python section has no block that makes a virtual environment")
        return 1
    script = "\n".join(line for line in block if "apt-get" not in line and not line.startswith("sudo=")) + "\n"
    with tempfile.TemporaryDirectory() as folder:
        home = os.path.join(folder, "home")
        work = os.path.join(folder, "work")
        os.mkdir(home)
        os.mkdir(work)
        shutil.copytree(package_dir, os.path.join(work, "python"),
                        ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DS_LIBRARY")}
        environment["HOME"] = home
        print(script)
        installed = subprocess.run(["bash", "-e", "-c", script], cwd=work, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=240)
        print(installed.stdout[-4000:])
        if installed.returncode != 0:
            print(f"the block ended with {installed.returncode}")
            return 1
        venv_python = os.path.join(home, ".venvs", "ds", "bin", "python")
        imported = subprocess.run(
            [venv_python, "-c", "import synology_ds; from synology_ds import Client, TaskStatus; print(synology_ds.__file__)"],
            cwd=folder, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        print(imported.stdout)
        if imported.returncode != 0 or not imported.stdout.startswith(os.path.join(home, ".venvs", "ds")):
            print("the package is not importable from the virtual environment")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
