"""Decode speed of quarl against orjson and msgspec on JSON corpora.

Usage: python bench/decode_speed.py DATA_DIR [--files NAME ...] [--rounds N]

DATA_DIR holds twitter.json, citm_catalog.json and canada.json (or the
files named with --files). Each corpus is loaded once and encoded with every
codec; each decoder is then timed in two ways:

- "dropped": the collector off and every result dropped at once, as timeit
  measures by default: the cost of building and freeing the objects alone;
- "kept": the collector on and ten results kept alive at a time, as a
  program that decodes documents and holds on to them.

Decoders are timed in interleaved rounds, so that load from other processes
falls on all of them alike, and the best round counts. The last column is
quarl's speed-up over each peer (above 1.0 means quarl is faster).
"""

import argparse
import gc
import pathlib
import time

import msgspec
import orjson

import quarl

CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]
KEPT_BATCH = 10


def decoders(obj) -> dict:
    codec = quarl.Quarl()
    packed = codec.encode_packed(obj, False)
    json_bytes = orjson.dumps(obj)
    msgpack_bytes = msgspec.msgpack.encode(obj)
    json_decoder = msgspec.json.Decoder()
    msgpack_decoder = msgspec.msgpack.Decoder()
    assert codec.decode_packed(packed) == obj
    return {
        "quarl": (lambda: codec.decode_packed(packed), len(packed)),
        "orjson": (lambda: orjson.loads(json_bytes), len(json_bytes)),
        "msgspec.json": (lambda: json_decoder.decode(json_bytes), len(json_bytes)),
        "msgspec.msgpack": (lambda: msgpack_decoder.decode(msgpack_bytes), len(msgpack_bytes)),
    }


def time_dropped(func, number: int) -> float:
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            func()
        return (time.perf_counter() - start) / number
    finally:
        gc.enable()


def time_kept(func, number: int) -> float:
    gc.enable()
    gc.collect()
    kept = []
    start = time.perf_counter()
    for _ in range(number):
        kept.append(func())
    elapsed = time.perf_counter() - start
    del kept
    return elapsed / number


def calls_per_round(func) -> int:
    """Enough calls for a round of about 50 ms."""
    start = time.perf_counter()
    func()
    once = max(time.perf_counter() - start, 1e-6)
    return max(1, int(0.05 / once))


MODES = {
    "dropped": (time_dropped, calls_per_round),
    "kept": (time_kept, lambda func: KEPT_BATCH),
}


def best_times(funcs: dict, mode: str, rounds: int) -> dict:
    timer, calls = MODES[mode]
    numbers = {name: calls(func) for name, func in funcs.items()}
    best = {name: float("inf") for name in funcs}
    for _ in range(rounds):
        for name, func in funcs.items():
            best[name] = min(best[name], timer(func, numbers[name]))
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", type=pathlib.Path)
    parser.add_argument("--files", nargs="*", default=CORPORA)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    print(f"quarl memory paths: {quarl._quarl._memory_paths()}")

    print(f"{'corpus':<19}{'mode':<9}{'codec':<17}{'bytes':>9}{'µs/decode':>11}{'speed-up':>10}")
    for name in args.files:
        obj = orjson.loads((args.data_dir / name).read_bytes())
        cases = decoders(obj)
        funcs = {codec: func for codec, (func, _) in cases.items()}
        for mode in MODES:
            best = best_times(funcs, mode, args.rounds)
            for codec, (_, size) in cases.items():
                ratio = "" if codec == "quarl" else f"{best[codec] / best['quarl']:.2f}x"
                print(f"{name:<19}{mode:<9}{codec:<17}{size:>9}{best[codec] * 1e6:>11.1f}{ratio:>10}")


if __name__ == "__main__":
    main()
