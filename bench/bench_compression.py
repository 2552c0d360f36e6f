"""Throughput of the compression envelopes on a 64 MB realistic document.

Compares, on the same bytes:
  - single-block envelopes: the document cut into 999,999-byte documents,
    each compressed on the calling thread (the largest single-block size);
  - the parallel envelope: the whole document at once, chunked over the pool;
  - lz4.block with the same pieces and with the whole document.

Everything is measured through the Python API. An encode or decode also
copies its bytes value in and out; that cost is measured on its own (the same
call without compression) and shown, and the "net" columns subtract it.

    python bench/bench_compression.py [--data DIR] [--size-mb 64] [--repeat 5]

DIR holds JSON files (for example canada.json, citm_catalog.json,
twitter.json); without it a synthetic record set stands in.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import time

import lz4.block

from quarl import Quarl

SINGLE_BLOCK_MAX = 999_999
BYTES_VALUE_OVERHEAD = 11  # 6-byte header, tag, 4-byte length


def synthetic_records(count: int) -> list[dict]:
    rng = random.Random(7)
    words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu".split()
    return [
        {
            "id": i,
            "name": f"{rng.choice(words)}-{rng.choice(words)}-{i}",
            "email": f"user{rng.randrange(10**6)}@example.org",
            "score": rng.random() * 100,
            "active": rng.random() < 0.7,
            "tags": rng.sample(words, 3),
            "text": " ".join(rng.choice(words) for _ in range(rng.randrange(5, 30))),
            "point": [rng.uniform(-180, 180), rng.uniform(-90, 90)],
        }
        for i in range(count)
    ]


def corpus(data_dir: str | None) -> list:
    if data_dir:
        files = sorted(pathlib.Path(data_dir).glob("*.json"))
        if not files:
            raise SystemExit(f"no *.json files in {data_dir}")
        return [json.loads(f.read_bytes()) for f in files]
    return synthetic_records(20_000)


def realistic_bytes(size: int, data_dir: str | None) -> bytes:
    """`size` bytes of quarl-encoded documents of the corpus, back to back."""
    objects = corpus(data_dir)
    piece = Quarl().encode_packed(objects, False)
    return (piece * (size // len(piece) + 1))[:size]


def best_time(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def decode(codec: Quarl, data: bytes) -> None:
    try:
        codec.decode_packed(data)
    except NotImplementedError:  # a build without the value decoder still unwraps envelopes
        pass


def measure(data: bytes, repeat: int) -> dict[str, tuple[float, float, float, float]]:
    """Per case: compress and decompress seconds, and the API copy seconds of each."""
    codec = Quarl()
    pieces = [data[i : i + SINGLE_BLOCK_MAX - BYTES_VALUE_OVERHEAD]
              for i in range(0, len(data), SINGLE_BLOCK_MAX - BYTES_VALUE_OVERHEAD)]
    whole = data[: len(data) - BYTES_VALUE_OVERHEAD]

    single_envelopes = [codec.encode_packed(p, True) for p in pieces]
    single_plain = [codec.encode_packed(p, False) for p in pieces]
    parallel_envelope = codec.encode_packed(whole, True)
    parallel_plain = codec.encode_packed(whole, False)
    lz4_pieces = [lz4.block.compress(p, store_size=False) for p in pieces]
    lz4_whole = lz4.block.compress(whole, store_size=False)

    def many(fn, items):
        return lambda: [fn(x) for x in items]

    out = {}
    out["quarl single-block"] = (
        best_time(many(lambda p: codec.encode_packed(p, True), pieces), repeat),
        best_time(many(lambda e: decode(codec, e), single_envelopes), repeat),
        best_time(many(lambda p: codec.encode_packed(p, False), pieces), repeat),
        best_time(many(lambda d: decode(codec, d), single_plain), repeat),
    )
    out["lz4.block, same pieces"] = (
        best_time(many(lambda p: lz4.block.compress(p, store_size=False), pieces), repeat),
        best_time(
            many(lambda c: lz4.block.decompress(c[1], uncompressed_size=len(c[0])), list(zip(pieces, lz4_pieces))),
            repeat,
        ),
        0.0,
        0.0,
    )
    out["quarl parallel"] = (
        best_time(lambda: codec.encode_packed(whole, True), repeat),
        best_time(lambda: decode(codec, parallel_envelope), repeat),
        best_time(lambda: codec.encode_packed(whole, False), repeat),
        best_time(lambda: decode(codec, parallel_plain), repeat),
    )
    out["lz4.block, whole"] = (
        best_time(lambda: lz4.block.compress(whole, store_size=False), repeat),
        best_time(lambda: lz4.block.decompress(lz4_whole, uncompressed_size=len(whole)), repeat),
        0.0,
        0.0,
    )
    ratio = len(data) / sum(len(e) for e in single_envelopes)
    return out, ratio, len(single_envelopes), len(parallel_envelope)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", help="directory of JSON files for the realistic document")
    parser.add_argument("--size-mb", type=float, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    size = int(args.size_mb * (1 << 20))
    data = realistic_bytes(size, args.data)
    results, ratio, pieces, parallel_size = measure(data, args.repeat)
    mb = size / 1e6

    print(f"document: {mb:.1f} MB of {'JSON corpora in ' + args.data if args.data else 'synthetic records'}, "
          f"encoded by quarl; LZ4 ratio {ratio:.2f}; {os.cpu_count()} processors")
    print(f"single-block: {pieces} documents of <= {SINGLE_BLOCK_MAX:,} bytes; "
          f"parallel: one document, envelope {parallel_size / 1e6:.1f} MB")
    print()
    header = f"{'':26}{'compress MB/s':>15}{'decompress MB/s':>17}{'net compress':>15}{'net decompress':>16}"
    print(header)
    for name, (c, d, c_copy, d_copy) in results.items():
        net_c = mb / (c - c_copy) if c_copy else mb / c
        net_d = mb / (d - d_copy) if d_copy else mb / d
        print(f"{name:26}{mb / c:15.0f}{mb / d:17.0f}{net_c:15.0f}{net_d:16.0f}")
    print()
    single, lz4_pieces = results["quarl single-block"], results["lz4.block, same pieces"]
    par = results["quarl parallel"]
    print("API copy cost alone (same call, no compression), seconds: "
          f"single {single[2]:.3f}/{single[3]:.3f}, parallel {par[2]:.3f}/{par[3]:.3f} (encode/decode)")
    print(f"parallel / single-block:   compress {single[0] / par[0]:.2f}x, decompress {single[1] / par[1]:.2f}x"
          "   (target >= 1.6x)")
    print(f"single-block / lz4.block:  compress {lz4_pieces[0] / single[0]:.2f}, decompress {lz4_pieces[1] / single[1]:.2f}"
          "   (target >= 0.90)")


if __name__ == "__main__":
    main()
