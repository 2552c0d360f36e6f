"""Documents between processes over multiprocessing.Pipe, one document per message.

    python multiprocessing_pipe.py

A pipe's messages keep their boundaries, so each message is simply one packed document: no
stream framing is needed. A worker process receives jobs, answers each with a result, and stops
when it receives None.
"""

import datetime
import multiprocessing
import statistics

import quarl


def worker(conn) -> None:
    # Each process has its own codec: codecs are never shared between processes or peers.
    codec = quarl.Quarl()
    while True:
        job = codec.decode_packed(conn.recv_bytes())
        if job is None:
            break
        samples = job["samples"]
        result = {
            "id": job["id"],
            "count": len(samples),
            "mean": statistics.fmean(samples),
            "done_at": datetime.datetime(2026, 1, 1) + datetime.timedelta(seconds=job["id"]),
        }
        conn.send_bytes(codec.encode_packed(result, True))
    conn.close()


def main() -> None:
    codec = quarl.Quarl()
    parent, child = multiprocessing.Pipe()
    process = multiprocessing.Process(target=worker, args=(child,))
    process.start()
    child.close()

    jobs = [{"id": i, "samples": [float(i + k) for k in range(100 * (i + 1))]} for i in range(4)]
    for job in jobs:
        # Large documents are compressed; decode_packed tells which by itself.
        parent.send_bytes(codec.encode_packed(job, True))
        if not parent.poll(30):
            raise TimeoutError("the worker did not answer")
        result = codec.decode_packed(parent.recv_bytes())
        print(f"parent: job {result['id']}: {result['count']} samples, mean {result['mean']:.2f}, "
              f"done at {result['done_at'].isoformat()}", flush=True)
    parent.send_bytes(codec.encode_packed(None, False))
    process.join(30)
    if process.exitcode != 0:
        raise SystemExit(f"worker exited with {process.exitcode}")
    print(f"parent: {len(jobs)} jobs done, worker exited cleanly", flush=True)


if __name__ == "__main__":
    main()
