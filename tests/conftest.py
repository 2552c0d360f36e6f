import os
import subprocess
import sys
import textwrap

import pytest

import quarl


def installed(name: str):
    """The package of module `name`, imported; where it is not installed for this interpreter (a
    dependency with no build for it), a skip of the tests that need it, saying so."""
    version = "%d.%d" % sys.version_info[:2]
    pytest.importorskip(name, reason=f"{name} is not installed for CPython {version}")
    return sys.modules[name.partition(".")[0]]


def pytest_report_header():
    return f"quarl: {quarl.__file__}, memory paths: {quarl._quarl._memory_paths()}"


@pytest.fixture
def codec():
    return quarl.Quarl()


def run_python(code: str, timeout: float = 120, env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, for behaviour that needs process isolation."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        # Away from the source tree, whose quarl/ has no built module.
        cwd=os.path.dirname(os.path.abspath(__file__)),
    )
