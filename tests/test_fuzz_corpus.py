"""The fuzz seed corpus and every input a fuzzer ever flagged, replayed through their targets, which
absorb only the codec's expected errors: any other exception, a failed round trip or a crash fails here."""

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
_spec = importlib.util.spec_from_file_location("quarl_fuzz_harnesses", FUZZ_DIR / "harnesses.py")
harnesses = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(harnesses)
REPLAYS = [pytest.param(target, path, id=f"{kind}/{target}/{path.name}")
           for kind in ("corpus", "crashes") for target in TARGET_NAMES
           for path in sorted((FUZZ_DIR / kind / target).glob("[!.]*")) if path.is_file()]


def test_every_target_has_seeds():
    assert all(any((FUZZ_DIR / "corpus" / target).iterdir()) for target in TARGET_NAMES)


@pytest.mark.parametrize("target, path", REPLAYS)
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
        cwd=tmp_path,  # away from the source tree, whose quarl/ has no built module
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert "Done " in result.stderr
