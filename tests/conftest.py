import os
import subprocess
import sys
import textwrap

import pytest

import quarl


@pytest.fixture
def codec():
    return quarl.Quarl()


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, for behaviour that needs process isolation."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        # Away from the source tree, whose quarl/ has no built module.
        cwd=os.path.dirname(os.path.abspath(__file__)),
    )
