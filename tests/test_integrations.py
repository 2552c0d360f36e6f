"""quarl inside the tools that move data between processes, each tested against the real thing:
kombu's serializer registry, a Celery worker with a Redis server, a Dask LocalCluster of worker
processes. Every server and process is started here on 127.0.0.1 and stopped afterwards."""

import contextlib
import datetime
import os
import re
import shutil
import socket
import subprocess
import sys
import time

import pytest

from conftest import run_python
from test_examples import readme_snippets


# The Celery test below carries messages through kombu end to end; here, what it cannot show.
def test_kombu_finds_the_serializer_through_its_entry_point_and_refuses_unknown_objects():
    from kombu import serialization
    from kombu.exceptions import EncodeError

    assert serialization.registry.name_to_type["quarl"] == "application/x-quarl"
    assert serialization.dumps({"args": (1, 2)}, serializer="quarl")[:2] == ("application/x-quarl", "binary")
    with pytest.raises(EncodeError):  # rather than sent as its str()
        serialization.dumps({"c": 1j}, serializer="quarl")


@contextlib.contextmanager
def running(args: list[str], log, **kwargs):
    """A process that is stopped (terminated, then killed) however the block ends."""
    with open(log, "wb") as out, subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, **kwargs) as process:
        try:
            yield process
        finally:
            process.terminate()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()


@pytest.fixture
def redis_url(tmp_path):
    server = shutil.which("redis-server")
    assert server, "redis-server is missing: scripts/ensure-system-deps.sh installs it"
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    args = [server, "--bind", "127.0.0.1", "--port", str(port), "--save", "", "--appendonly", "no"]
    with running(args, tmp_path / "redis.log", cwd=tmp_path) as process:
        for _ in range(200):  # 20 s
            assert process.poll() is None, "the server exited at start"
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
                break
            time.sleep(0.1)
        else:
            raise AssertionError(f"nothing listens on port {port}")
        yield f"redis://127.0.0.1:{port}/0"


def test_celery_task_through_redis_with_the_readme_code(redis_url, tmp_path):
    # The README's tasks.py and send.py, run by the celery command and by a client that waits for the result.
    files = {re.match(r"# (\w+\.py)", s)[1]: s for s in readme_snippets(files=True)}
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
    assert "tasks.invoice" in worker_log and "succeeded" in worker_log, worker_log


def test_dask_local_cluster_sends_plain_data_through_quarl_and_the_rest_through_pickle():
    proc = run_python("""
        import datetime, decimal, uuid
        import quarl.dask
        from distributed import Client, LocalCluster

        PLAIN = {"id": uuid.UUID(int=3), "day": datetime.date(2026, 12, 6), "price": decimal.Decimal("2.50"),
                 "raw": b"\\x00\\xff", "rows": [{"n": i, "x": i / 2} for i in range(100)]}
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          preload=["quarl.dask"]) as cluster:
            # Only quarl both ways: plain data goes to a worker process and back through it.
            with Client(cluster, serializers=["quarl"], deserializers=["quarl"]) as client:
                assert client.submit(lambda v: v, client.scatter(PLAIN)).result() == PLAIN
            # With pickle after quarl, the rest falls back to pickle.
            with Client(cluster, serializers=["quarl", "pickle"], deserializers=["quarl", "pickle"]) as client:
                assert client.submit(lambda: (1, 2j)).result() == (1, 2j)
                assert client.gather(client.scatter([PLAIN, {3}])) == [PLAIN, {3}]
        print("ok")
    """, timeout=180)
    assert proc.stdout == "ok\n", proc.stdout + proc.stderr


def test_dask_family_takes_only_what_comes_back_unchanged():
    from distributed.protocol import deserialize, serialize

    import quarl.dask  # noqa: F401

    aware = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    for value in [{"a": [1, 2.5, None, "x", b"y"]}, datetime.datetime(2026, 1, 1), [[], {}], aware]:
        header, frames = serialize(value, serializers=["quarl", "pickle"])
        assert header["serializer"] == "quarl"
        assert deserialize(header, frames) == value
    for value in [(1, 2), {1: "a"}, [1, {2}], 2**70, {"a": [1, 2j]}, bytearray(b"x"), True.__class__]:
        header, _ = serialize(value, serializers=["quarl", "pickle"])
        assert header["serializer"] == "pickle", value
