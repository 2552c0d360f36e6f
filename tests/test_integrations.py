"""quarl inside the tools that move data between processes, each tested against the real thing:
kombu's serializer registry, a Celery worker with a Redis server, a Dask LocalCluster of worker
processes. Every server and process is started here on 127.0.0.1 and stopped afterwards."""

import contextlib
import os
import re
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import run_python
from test_examples import readme_snippets

ROOT = Path(__file__).resolve().parent.parent


def test_kombu_finds_the_serializer_through_its_entry_point():
    # A fresh interpreter that imports kombu, not quarl: the entry point does the rest.
    proc = run_python(
        """
        import datetime, decimal, sys, uuid
        from kombu import serialization
        from kombu.exceptions import EncodeError

        assert "quarl.kombu" in sys.modules  # loaded by kombu, through the entry point
        assert serialization.registry.name_to_type["quarl"] == "application/x-quarl"
        body = {"id": uuid.UUID(int=1), "at": datetime.datetime(2026, 12, 6, 9, 30),
                "price": decimal.Decimal("1.10"), "raw": b"\\x00", "args": (1, 2)}
        content_type, encoding, payload = serialization.dumps(body, serializer="quarl")
        assert (content_type, encoding) == ("application/x-quarl", "binary")
        accept = serialization.prepare_accept_content(["quarl"])  # what accept=["quarl"] gives
        back = serialization.loads(payload, content_type, encoding, accept=accept)
        assert back == {**body, "args": [1, 2]}, back
        try:
            serialization.dumps({"c": 1j}, serializer="quarl")
        except EncodeError as error:
            print("refused:", error)
        else:
            raise AssertionError("an object without an encoding was sent as its str()")
        """
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "refused: quarl cannot encode an object of type complex" in proc.stdout


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port: int, process: subprocess.Popen, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert process.poll() is None, "the server exited at start"
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
            return
        time.sleep(0.1)
    raise AssertionError(f"nothing listens on port {port} after {timeout} s")


@contextlib.contextmanager
def running(args: list[str], log: Path, **kwargs):
    """A process that is stopped (terminated, then killed) however the block ends."""
    with open(log, "wb") as out:
        process = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, **kwargs)
        try:
            yield process
        finally:
            process.terminate()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)


@pytest.fixture
def redis_url(tmp_path):
    server = shutil.which("redis-server")
    assert server, "redis-server is missing: scripts/ensure-system-deps.sh installs it"
    port = free_port()
    args = [server, "--bind", "127.0.0.1", "--port", str(port), "--save", "", "--appendonly", "no",
            "--dir", str(tmp_path)]
    with running(args, tmp_path / "redis.log") as process:
        wait_for_port(port, process, timeout=20)
        yield f"redis://127.0.0.1:{port}/0"


def test_celery_task_through_redis_with_the_readme_code(redis_url, tmp_path):
    # The README's tasks.py and send.py, as a user would run them: a worker process started
    # with the celery command, and a client that calls the task and waits for its result.
    files = {re.match(r"# (\w+\.py)", s)[1]: s for s in readme_snippets(files=True)}
    assert {"tasks.py", "send.py"} <= set(files)
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    env = {**os.environ, "REDIS_URL": redis_url, "PYTHONPATH": str(tmp_path)}
    worker_args = [sys.executable, "-m", "celery", "-A", "tasks", "worker", "--pool=solo",
                   "--without-gossip", "--without-mingle", "--without-heartbeat", "--loglevel=INFO"]
    log = tmp_path / "worker.log"
    with running(worker_args, log, cwd=tmp_path, env=env):
        proc = subprocess.run([sys.executable, "send.py"], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=90)
    worker_log = log.read_text(errors="replace")
    assert proc.returncode == 0, proc.stdout + proc.stderr + worker_log
    assert proc.stdout == "invoice 12345678-1234-5678-1234-567812345678 59.97 2027-01-05\n"
    # The message went as quarl, and the worker ran the task.
    assert "tasks.invoice" in worker_log and "succeeded" in worker_log, worker_log


DASK_CHECKS = """
import datetime
import decimal
import uuid

import quarl.dask  # noqa: F401
from distributed import Client, LocalCluster

PLAIN = {"id": uuid.UUID(int=3), "day": datetime.date(2026, 12, 6), "price": decimal.Decimal("2.50"),
         "raw": b"\\x00\\xff", "rows": [{"n": i, "x": i / 2} for i in range(100)]}


def fail(message):
    raise SystemExit(message)


if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      preload=["quarl.dask"]) as cluster:
        # Only quarl both ways: plain data goes and comes back through it...
        with Client(cluster, serializers=["quarl"], deserializers=["quarl"]) as client:
            future = client.scatter(PLAIN)
            assert client.submit(lambda v: v, future).result() == PLAIN
            # ...and what quarl cannot take is refused rather than changed.
            try:
                client.submit(lambda: (1, 2j)).result()
            except TypeError as error:
                print("quarl alone refuses:", str(error).splitlines()[0])
            else:
                fail("a tuple travelled through quarl")
        # With pickle after quarl, the rest falls back to pickle.
        with Client(cluster, serializers=["quarl", "pickle"], deserializers=["quarl", "pickle"]) as client:
            assert client.submit(lambda: (1, 2j)).result() == (1, 2j)
            assert client.gather(client.scatter([PLAIN, {3}])) == [PLAIN, {3}]
            print("fallback to pickle works")
"""


def test_dask_local_cluster_sends_plain_data_through_quarl_and_the_rest_through_pickle(tmp_path):
    script = tmp_path / "dask_checks.py"
    script.write_text(DASK_CHECKS)
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=180)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    # The worker could not send the tuple through quarl alone: its result comes as an error.
    assert re.fullmatch(r"quarl alone refuses: Data serialized with \w+ but only able to "
                        r"deserialize data with \['quarl'\]", lines[0]), lines
    assert lines[1:] == ["fallback to pickle works"]


def test_dask_family_takes_only_what_comes_back_unchanged():
    from distributed.protocol import deserialize, serialize

    import quarl.dask  # noqa: F401

    import datetime

    for value in [{"a": [1, 2.5, None, "x", b"y"]}, datetime.datetime(2026, 1, 1), [[], {}]]:
        header, frames = serialize(value, serializers=["quarl", "pickle"])
        assert header["serializer"] == "quarl"
        assert deserialize(header, frames) == value
    zone = datetime.timezone(datetime.timedelta(hours=2))
    aware = datetime.datetime(2026, 1, 1, tzinfo=zone)
    assert serialize(aware, serializers=["quarl", "pickle"])[0]["serializer"] == "quarl"
    for value in [(1, 2), {1: "a"}, [1, {2}], 2**70, {"a": [1, 2j]}, bytearray(b"x"), True.__class__]:
        header, _ = serialize(value, serializers=["quarl", "pickle"])
        assert header["serializer"] == "pickle", value
