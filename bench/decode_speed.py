"""Decode speed of quarl against orjson and msgspec on JSON corpora.

Usage: python bench/decode_speed.py DATA_DIR [--repeat N]

DATA_DIR holds twitter.json, citm_catalog.json and canada.json (or any
other *.json files named with --files). Each corpus is loaded once, encoded
with every codec, and decoded repeatedly; the best time per decode is
reported together with quarl's speed relative to each peer (above 1.0 means
quarl is faster).
"""

import argparse
import pathlib
import timeit

import msgspec
import orjson

import quarl

CORPORA = ["twitter.json", "citm_catalog.json", "canada.json"]


def best_time(func, repeat: int) -> float:
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def decoders(obj):
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", type=pathlib.Path)
    parser.add_argument("--files", nargs="*", default=CORPORA)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    print(f"{'corpus':<20}{'codec':<17}{'bytes':>10}{'µs/decode':>12}{'quarl speed-up':>16}")
    for name in args.files:
        obj = orjson.loads((args.data_dir / name).read_bytes())
        times = {}
        for codec_name, (func, size) in decoders(obj).items():
            times[codec_name] = (best_time(func, args.repeat), size)
        quarl_time = times["quarl"][0]
        for codec_name, (seconds, size) in times.items():
            ratio = "" if codec_name == "quarl" else f"{seconds / quarl_time:.2f}x"
            print(f"{name:<20}{codec_name:<17}{size:>10}{seconds * 1e6:>12.1f}{ratio:>16}")


if __name__ == "__main__":
    main()
