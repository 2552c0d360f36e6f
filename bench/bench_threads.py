"""Whether another Python thread keeps running while quarl compresses or
decompresses a large document.

A ticker thread runs a pure-Python loop and notes the time of every turn.
Meanwhile the main thread encodes (with compression) or decodes one document
again and again. For each operation the table shows its time per call, the
longest stretch in which the ticker made no turn at all (the stall the
operation causes to every other thread), and how many turns the ticker made
per second, against its rate while the main thread sleeps. lz4.frame, which
lets other threads run during its work, is measured on the same bytes for
reference.

The documents hold large bytes values of compressible text, so building the
decoded value costs little and the LZ4 work dominates: 25 MB take the
parallel envelope, 900 KB the single-block envelope.

    python bench/bench_threads.py [--size-mb 25] [--seconds 2]
"""

from __future__ import annotations

import argparse
import random
import threading
import time

from quarl import Quarl

BLOB_SIZE = 1_000_000
SINGLE_BLOCK_SIZE = 900_000


class Ticker:
    """A thread that turns as fast as the interpreter lets it."""

    def __init__(self):
        self.turns = 0
        self.longest_gap = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        last = time.perf_counter()
        while not self._stop.is_set():
            now = time.perf_counter()
            if now - last > self.longest_gap:
                self.longest_gap = now - last
            last = now
            self.turns += 1

    def __enter__(self):
        self._thread.start()
        time.sleep(0.05)  # let it settle into its loop
        self.turns, self.longest_gap = 0, 0.0
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def compressible_bytes(size: int, seed: int) -> bytes:
    rng = random.Random(seed)
    words = [w.encode() for w in "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu".split()]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" " + str(rng.randrange(10**6)).encode() + b"\n"
    return bytes(out[:size])


def measure(operation, seconds: float) -> tuple[float, float, float]:
    """(seconds per call, the ticker's longest stall, the ticker's turns per second)."""
    operation()  # warm-up outside the measurement
    with Ticker() as ticker:
        calls, start = 0, time.perf_counter()
        while time.perf_counter() - start < seconds:
            operation()
            calls += 1
        elapsed = time.perf_counter() - start
    return elapsed / calls, ticker.longest_gap, ticker.turns / elapsed


def idle_rate(seconds: float) -> float:
    with Ticker() as ticker:
        time.sleep(seconds)
    return ticker.turns / seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=25)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()

    codec = Quarl()
    large = [compressible_bytes(BLOB_SIZE, i) for i in range(args.size_mb)]
    small = [compressible_bytes(SINGLE_BLOCK_SIZE, 0)]
    rows = []
    for label, value in ((f"{args.size_mb} MB, parallel envelope", large), ("900 KB, single block", small)):
        packed = codec.encode_packed(value, True)
        assert codec.decode_packed(packed) == value
        rows.append((f"quarl encode, {label}", measure(lambda: codec.encode_packed(value, True), args.seconds)))
        rows.append((f"quarl decode, {label}", measure(lambda: codec.decode_packed(packed), args.seconds)))
    try:
        import lz4.frame
    except ImportError:
        pass
    else:
        plain = codec.encode_packed(large, False)
        framed = lz4.frame.compress(plain)
        rows.append((f"lz4.frame compress, {args.size_mb} MB", measure(lambda: lz4.frame.compress(plain), args.seconds)))
        rows.append((f"lz4.frame decompress, {args.size_mb} MB", measure(lambda: lz4.frame.decompress(framed), args.seconds)))

    idle = idle_rate(args.seconds / 2)
    print(f"ticker alone: {idle:,.0f} turns/s")
    print(f"{'operation':40} {'per call':>10} {'longest stall':>14} {'ticker turns/s':>15} {'of idle':>8}")
    for name, (per_call, stall, rate) in rows:
        print(f"{name:40} {per_call * 1e3:8.1f} ms {stall * 1e3:11.1f} ms {rate:15,.0f} {rate / idle:8.0%}")


if __name__ == "__main__":
    main()
