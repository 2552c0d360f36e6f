"""Throughput of the compression envelopes on a 64 MB realistic document.

Compares, on the same bytes:
  - single-block envelopes: the document cut into 999,999-byte documents (the
    largest single-block size), each compressed on the calling thread;
  - the parallel envelope: the whole document at once, chunked over the pool;
  - lz4.block with the same pieces and with the whole document;
  - for decompression only, one hand-made single-block envelope of the whole
    document, which decode_packed accepts although the encoder never makes it.

Everything is measured through the Python API, so an encode also copies the
bytes value into the document, and a decode also builds the decoded value.

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
import struct
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


def best_times(cases: dict, repeat: int) -> dict:
    """Best seconds per case. Rounds go through all cases in turn, so a
    neighbour's load on this shared machine falls on every case alike."""
    best = {name: float("inf") for name in cases}
    for _ in range(repeat):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def decode(codec: Quarl, data: bytes) -> None:
    try:
        codec.decode_packed(data)
    except NotImplementedError:  # a build without the value decoder still unwraps envelopes
        pass


def measure(data: bytes, repeat: int) -> tuple[dict[str, tuple[float | None, float]], float, int]:
    """Seconds to compress and to decompress all of `data`, per case."""
    codec = Quarl()
    step = SINGLE_BLOCK_MAX - BYTES_VALUE_OVERHEAD
    pieces = [data[i : i + step] for i in range(0, len(data), step)]
    whole = data[: len(data) - BYTES_VALUE_OVERHEAD]

    single_envelopes = [codec.encode_packed(p, True) for p in pieces]
    parallel_envelope = codec.encode_packed(whole, True)
    whole_document = codec.encode_packed(whole, False)
    whole_single_block = struct.pack("<I", len(whole_document)) + lz4.block.compress(whole_document, store_size=False)
    lz4_pieces = [(len(p), lz4.block.compress(p, store_size=False)) for p in pieces]
    lz4_whole = lz4.block.compress(whole, store_size=False)

    def each(fn, items):
        return lambda: [fn(x) for x in items]

    def lz4_decompress(item):
        size, block = item
        return lz4.block.decompress(block, uncompressed_size=size)

    single, parallel_name = f"quarl single-block, {len(pieces)} docs", "quarl parallel, one doc"
    compress = best_times(
        {
            single: each(lambda p: codec.encode_packed(p, True), pieces),
            "lz4.block, same pieces": each(lambda p: lz4.block.compress(p, store_size=False), pieces),
            parallel_name: lambda: codec.encode_packed(whole, True),
            "lz4.block, whole": lambda: lz4.block.compress(whole, store_size=False),
        },
        repeat,
    )
    decompress = best_times(
        {
            single: each(lambda e: decode(codec, e), single_envelopes),
            "lz4.block, same pieces": each(lz4_decompress, lz4_pieces),
            parallel_name: lambda: decode(codec, parallel_envelope),
            "lz4.block, whole": lambda: lz4_decompress((len(whole), lz4_whole)),
            "quarl single-block, one doc": lambda: decode(codec, whole_single_block),
        },
        repeat,
    )
    results = {name: (compress.get(name), seconds) for name, seconds in decompress.items()}
    ratio = len(data) / sum(len(e) for e in single_envelopes)
    return results, ratio, len(parallel_envelope)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", help="directory of JSON files for the realistic document")
    parser.add_argument("--size-mb", type=float, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    size = int(args.size_mb * (1 << 20))
    data = realistic_bytes(size, args.data)
    results, ratio, parallel_size = measure(data, args.repeat)
    mb = size / 1e6
    source = f"JSON corpora in {args.data}" if args.data else "synthetic records"

    print(f"document: {mb:.1f} MB of {source}, encoded by quarl; LZ4 ratio {ratio:.2f}; "
          f"parallel envelope {parallel_size / 1e6:.1f} MB; {os.cpu_count()} processors; best of {args.repeat}")
    print()
    print(f"{'':32}{'compress MB/s':>15}{'decompress MB/s':>17}")
    for name, (c, d) in results.items():
        print(f"{name:32}{mb / c if c else float('nan'):15.0f}{mb / d:17.0f}")
    print()
    names = list(results)
    single, lz4_pieces, par = (results[n] for n in names[:3])
    print(f"parallel / single-block:   compress {single[0] / par[0]:.2f}x, decompress {single[1] / par[1]:.2f}x")
    print(f"single-block / lz4.block:  compress {lz4_pieces[0] / single[0]:.2f}, decompress {lz4_pieces[1] / single[1]:.2f}")


if __name__ == "__main__":
    main()
