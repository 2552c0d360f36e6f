"""The example programs and the README's code run as a user would run them, and say what they did."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(args: list[str], cwd: Path) -> subprocess.CompletedProcess:
    # The working directory is a temporary one: the source tree's quarl/ has no built module and
    # must not shadow the installed package.
    proc = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def run_example(name: str, tmp_path: Path, *args: str) -> list[str]:
    return run([str(EXAMPLES / name), *args], tmp_path).stdout.splitlines()


TCP_VALUES = [
    "server: received {'event': 'login', 'user': 'ada', 'at': datetime.datetime(2026, 12, 6, 9, 30)}",
    "server: received {'event': 'order', 'id': UUID('00000000-0000-0000-0000-000000000007'), "
    "'total': Decimal('19.99')}",
    "server: received [1, 2.5, None, True, 'text', b'\\x00\\x01raw']",
]


def test_tcp_example(tmp_path):
    # The server, started without a port, runs the client against itself: one run of each.
    lines = run_example("tcp_server.py", tmp_path)
    assert re.fullmatch(r"server: listening on 127\.0\.0\.1:\d+", lines[0])
    received = [line for line in lines if line.startswith("server: received")]
    assert received == TCP_VALUES + [
        "server: received {'event': 'readings', 'values': [0.0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, "
        "1.75, 2.0, 2.25, 2.5, 2.75, 3.0, 3.25, 3.5, 3 ...",
        "server: received 'bye'",
    ]
    sent = [line for line in lines if line.startswith("client: sent")]
    assert [line.endswith("(compressed)") for line in sent] == [False, False, False, True, False]
    assert "server: end of stream after 5 values" in lines
    assert lines.count("client: 5 values echoed back intact") == 1


def test_asyncio_reader(tmp_path):
    lines = run_example("asyncio_reader.py", tmp_path)
    assert re.fullmatch(r"reader: listening on 127\.0\.0\.1:\d+", lines[0])
    assert lines[1:] == [
        *(f"reader: {{'sensor': 't{i % 3}', 'seq': {i}, 'celsius': {20.0 + i / 4}}}" for i in range(8)),
        "reader: end of stream after 8 values",
    ]


def test_multiprocessing_pipe(tmp_path):
    assert run_example("multiprocessing_pipe.py", tmp_path) == [
        "parent: job 0: 100 samples, mean 49.50, done at 2026-01-01T00:00:00",
        "parent: job 1: 200 samples, mean 100.50, done at 2026-01-01T00:00:01",
        "parent: job 2: 300 samples, mean 151.50, done at 2026-01-01T00:00:02",
        "parent: job 3: 400 samples, mean 202.50, done at 2026-01-01T00:00:03",
        "parent: 4 jobs done, worker exited cleanly",
    ]


def readme_snippets(files: bool = False) -> list[str]:
    """The README's Python snippets. Those whose first line names a file ("# tasks.py") belong
    together and need a server: tests/test_integrations.py runs them (files=True gives them)."""
    text = (ROOT / "README.md").read_text()
    snippets = re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)
    return [s for s in snippets if bool(re.match(r"# \w+\.py\b", s)) == files]


@pytest.mark.parametrize("index", range(len(readme_snippets())))
def test_readme_python_snippets_run(index, tmp_path):
    script = tmp_path / "snippet.py"
    script.write_text(readme_snippets()[index])
    run([str(script)], tmp_path)
