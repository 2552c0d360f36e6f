"""The fuzz seed corpus and every input a fuzzer ever flagged, replayed through their targets.

A target returns normally for every input: hostile bytes may only raise the codec's
expected errors, which the target absorbs. Anything else (another exception type, a
failed round trip, a crash of the interpreter) fails here.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import installed

FUZZ_DIR = Path(__file__).resolve().parent.parent / "fuzz"
TARGET_NAMES = ("decode", "stream", "roundtrip")
SMOKE_SECONDS = int(os.environ.get("QUARL_FUZZ_SMOKE_SECONDS", "20"))


def load_harnesses():
    found = importlib.util.spec_from_file_location("quarl_fuzz_harnesses", FUZZ_DIR / "harnesses.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


harnesses = load_harnesses()


def replay_cases():
    for kind in ("corpus", "crashes"):
        for target in TARGET_NAMES:
            folder = FUZZ_DIR / kind / target
            if not folder.is_dir():
                continue
            for path in sorted(folder.iterdir()):
                if path.is_file() and not path.name.startswith("."):
                    yield pytest.param(target, path, id=f"{kind}/{target}/{path.name}")


def test_every_target_has_seeds():
    for target in TARGET_NAMES:
        assert any((FUZZ_DIR / "corpus" / target).iterdir()), target


@pytest.mark.parametrize("target, path", list(replay_cases()))
def test_replay(target, path):
    harnesses.TARGETS[target](path.read_bytes())


@pytest.mark.parametrize("target", TARGET_NAMES)
def test_smoke_run_under_atheris(target, tmp_path):
    installed("atheris")
    # New corpus entries and artifacts go to tmp_path; the repository corpus is only read.
    scratch = tmp_path / "corpus"
    scratch.mkdir()
    result = subprocess.run(
        [sys.executable, str(FUZZ_DIR / "run.py"), target, f"-max_total_time={SMOKE_SECONDS}", "-timeout=10",
         "-rss_limit_mb=2048", f"-artifact_prefix={tmp_path}/", str(scratch), str(FUZZ_DIR / "corpus" / target)],
        capture_output=True, text=True, timeout=SMOKE_SECONDS + 120,
        # Away from the source tree, whose quarl/ has no built module.
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert "Done " in result.stderr
