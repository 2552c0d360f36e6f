"""Finds the CPython interpreters that the abi3 wheel claims (3.11 and later) on this machine.

Looks on PATH (python3.N) and among pyenv's versions; prints one line per minor version,
"3.N /path/to/python", skipping the version given with --except (the one the main suite runs
on). Every expected version that is missing is reported on stderr in one line, never dropped
in silence; other versions found (a newer CPython, say) are added to the list.
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

FIRST_MINOR = 11  # the wheel is tagged cp311-abi3
LAST_MINOR_PROBED = 20

# Prints "3.N" for a usable CPython, nothing for anything else (a pyenv shim whose version is not
# selected fails; a free-threaded build cannot load an abi3 module).
IDENTIFY = (
    "import sys, sysconfig; "
    "ok = sys.implementation.name == 'cpython' and not sysconfig.get_config_var('Py_GIL_DISABLED'); "
    "print('%d.%d' % sys.version_info[:2] if ok else '')"
)


def candidates():
    for minor in range(FIRST_MINOR, LAST_MINOR_PROBED + 1):
        found = shutil.which(f"python3.{minor}")
        if found:
            yield found
    root = os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))
    versions = Path(root) / "versions"
    if versions.is_dir():
        for version in sorted(versions.iterdir()):
            yield str(version / "bin" / "python3")


def identify(python):
    try:
        proc = subprocess.run([python, "-c", IDENTIFY], capture_output=True, text=True, timeout=60)
    except OSError:
        return None
    version = proc.stdout.strip()
    return version if proc.returncode == 0 and version else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", default="", help="versions that must be found, e.g. '3.12 3.13'")
    parser.add_argument("--except", dest="skip", default="", help="the version the main suite runs on")
    args = parser.parse_args()
    found = {}
    for python in candidates():
        version = identify(python)
        if version and int(version.split(".")[1]) >= FIRST_MINOR:
            found.setdefault(version, os.path.realpath(python))
    for version in args.expect.split():
        if version not in found:
            print(f"MISSING: CPython {version} is not on PATH nor in pyenv; the suite was not run on it",
                  file=sys.stderr)
    for version, python in sorted(found.items(), key=lambda item: int(item[0].split(".")[1])):
        if version != args.skip:
            print(version, python)


if __name__ == "__main__":
    main()
