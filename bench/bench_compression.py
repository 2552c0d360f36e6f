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
The "no envelope" rows decode the plain documents: the value building alone,
which the "envelope alone" ratios subtract.

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
from quarl import _quarl

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
    codec.decode_packed(data)


def measure(data: bytes, repeat: int):
    """Seconds to compress and to decompress all of `data`, per case, and the envelope sizes."""
    codec = Quarl()
    step = SINGLE_BLOCK_MAX - BYTES_VALUE_OVERHEAD
    pieces = [data[i : i + step] for i in range(0, len(data), step)]
    whole = data[: len(data) - BYTES_VALUE_OVERHEAD]

    single_envelopes = [codec.encode_packed(p, True) for p in pieces]
    plain_pieces = [codec.encode_packed(p, False) for p in pieces]
    parallel_envelope = codec.encode_packed(whole, True)
    whole_document = codec.encode_packed(whole, False)
    whole_single_block = struct.pack("<I", len(whole_document)) + lz4.block.compress(whole_document, store_size=False)
    lz4_pieces = [(len(p), lz4.block.compress(p, store_size=False)) for p in pieces]
    lz4_whole = (len(whole), lz4.block.compress(whole, store_size=False))

    def each(fn, items):
        return lambda: [fn(x) for x in items]

    def lz4_decompress(item):
        size, block = item
        return lz4.block.decompress(block, uncompressed_size=size)

    pieces_note = f"{len(pieces)} docs"
    compress = best_times(
        {
            SINGLE: each(lambda p: codec.encode_packed(p, True), pieces),
            LZ4_PIECES: each(lambda p: lz4.block.compress(p, store_size=False), pieces),
            PARALLEL: lambda: codec.encode_packed(whole, True),
            LZ4_WHOLE: lambda: lz4.block.compress(whole, store_size=False),
        },
        repeat,
    )
    decompress = best_times(
        {
            SINGLE: each(lambda e: decode(codec, e), single_envelopes),
            LZ4_PIECES: each(lz4_decompress, lz4_pieces),
            PARALLEL: lambda: decode(codec, parallel_envelope),
            LZ4_WHOLE: lambda: lz4_decompress(lz4_whole),
            SINGLE_WHOLE: lambda: decode(codec, whole_single_block),
            PLAIN_PIECES: each(lambda d: decode(codec, d), plain_pieces),
            PLAIN_WHOLE: lambda: decode(codec, whole_document),
        },
        repeat,
    )
    sizes = (sum(len(e) for e in single_envelopes), len(parallel_envelope))
    return compress, decompress, sizes, pieces_note


SINGLE = "quarl single-block, pieces"
LZ4_PIECES = "lz4.block, same pieces"
PARALLEL = "quarl parallel, whole"
LZ4_WHOLE = "lz4.block, whole"
SINGLE_WHOLE = "quarl single-block, whole (*)"
PLAIN_PIECES = "no envelope, pieces (**)"
PLAIN_WHOLE = "no envelope, whole (**)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", help="directory of JSON files for the realistic document")
    parser.add_argument("--size-mb", type=float, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"quarl memory paths: {_quarl._memory_paths()}")

    size = int(args.size_mb * (1 << 20))
    data = realistic_bytes(size, args.data)
    compress, decompress, (single_size, parallel_size), pieces_note = measure(data, args.repeat)
    mb = size / 1e6
    source = f"JSON corpora in {args.data}" if args.data else "synthetic records"

    print(f"document: {mb:.1f} MB of {source}, encoded by quarl; pieces: {pieces_note} of <= {SINGLE_BLOCK_MAX:,} bytes")
    print(f"envelopes: single-block {mb / single_size * 1e6:.2f}:1, parallel {mb / parallel_size * 1e6:.2f}:1; "
          f"{os.cpu_count()} processors; best of {args.repeat}")
    print()
    print(f"{'':32}{'compress MB/s':>15}{'decompress MB/s':>17}")
    for name, seconds in decompress.items():
        c = f"{mb / compress[name]:15.0f}" if name in compress else f"{'-':>15}"
        print(f"{name:32}{c}{mb / seconds:17.0f}")
    print(" (*) hand-made: the encoder gives documents this large the parallel envelope")
    print(" (**) decode_packed of the plain documents: building the decoded value alone")
    print()

    def envelope_only(name, plain):
        return decompress[name] - decompress[plain]

    print(f"parallel / single-block:   compress {compress[SINGLE] / compress[PARALLEL]:.2f}x, "
          f"decompress {decompress[SINGLE] / decompress[PARALLEL]:.2f}x; "
          f"envelope alone (less the value building): decompress "
          f"{envelope_only(SINGLE, PLAIN_PIECES) / envelope_only(PARALLEL, PLAIN_WHOLE):.2f}x against the pieces, "
          f"{envelope_only(SINGLE_WHOLE, PLAIN_WHOLE) / envelope_only(PARALLEL, PLAIN_WHOLE):.2f}x against the whole")
    print(f"single-block / lz4.block:  compress {compress[LZ4_PIECES] / compress[SINGLE]:.2f}, "
          f"decompress {decompress[LZ4_PIECES] / decompress[SINGLE]:.2f}")


if __name__ == "__main__":
    main()
