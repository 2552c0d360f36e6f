"""Document sizes: quarl next to msgpack, compact JSON and pickle, for the README's size table.

Usage: python bench/bench_sizes.py [--data ../shared/bench-data]

Prints a Markdown table of encoded sizes in bytes. msgpack is optional (a column of "-" without it).
"""

import argparse
import json
import os
import pickle
import random

from quarl import Quarl


def cases(data_dir):
    rng = random.Random(1)
    found = {
        "1,000 ints 0–7": [i % 8 for i in range(1000)],
        "1,000 ints 8–127": [8 + i % 120 for i in range(1000)],
        "1,000 ints near 1,000,000": [1_000_000 + i for i in range(1000)],
        "1,000 floats": [rng.random() for _ in range(1000)],
        "1,000 short strings": [f"s{i}" for i in range(1000)],
        "1,000 records, 5 repeated keys": [
            {"id": i, "name": f"user{i}", "active": i % 2 == 0, "score": i / 3, "tags": ["a", "b"]}
            for i in range(1000)
        ],
    }
    for name in ("twitter.json", "citm_catalog.json", "canada.json"):
        path = os.path.join(data_dir, name)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                found[name] = json.load(f)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "bench-data"))
    args = parser.parse_args()
    try:
        import msgpack
    except ImportError:
        msgpack = None
    codec = Quarl()
    print("| value | quarl | quarl, compress=True | msgpack | JSON (compact) | pickle |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, value in cases(args.data).items():
        sizes = [
            len(codec.encode_packed(value, False)),
            len(codec.encode_packed(value, True)),
            len(msgpack.packb(value)) if msgpack else None,
            len(json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()),
            len(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)),
        ]
        print(f"| {name} | " + " | ".join("-" if s is None else f"{s:,}" for s in sizes) + " |")


if __name__ == "__main__":
    main()
