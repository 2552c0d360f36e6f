"""Keys crafted to collide against ordinary keys of the same count.

A table that finds keys by a hash anyone can compute can be flooded: keys
whose hashes are all equal pile up in one bucket, and every lookup then walks
all of them, so one encode of n such keys costs n² comparisons. The crafted
keys here collide completely under the fixed, well-known hash of libstdc++'s
std::hash (64-bit MurmurHash2 with a fixed seed): 16 ASCII bytes each, whose
second 8-byte block cancels the first. quarl finds keys by Python's own str
hash, keyed per process, so they must cost what ordinary keys cost.

    .venv/bin/python bench/bench_keys.py [--keys 26000]
"""

import argparse
import statistics
import time

import numpy as np

MASK = (1 << 64) - 1
MUL = (0xC6A4A793 << 32) + 0x5BD1E995
MUL_INVERSE = pow(MUL, -1, 1 << 64)
SEED = 0xC70F6907
KEY_BYTES = 16


def shift_mix(v):
    return v ^ (v >> np.uint64(47))


def crafted_keys(count: int, seed: int = 1) -> list[str]:
    """`count` distinct 16-byte ASCII keys with one and the same std::hash."""
    rng = np.random.default_rng(seed)
    mul, inverse = np.uint64(MUL), np.uint64(MUL_INVERSE)
    h0 = np.uint64((SEED ^ (KEY_BYTES * MUL)) & MASK)
    target = np.uint64(0x0123456789ABCDEF)  # the state after both blocks, the same for every key
    found: dict[bytes, None] = {}
    with np.errstate(over="ignore"):
        while len(found) < count:
            first = rng.integers(0x20, 0x7F, size=(1 << 20, 8), dtype=np.uint8).view("<u8").ravel()
            h1 = (h0 ^ (shift_mix(first * mul) * mul)) * mul
            # The second block's mixed value must be h1 ^ target; mixing is invertible.
            second = shift_mix((h1 ^ target) * inverse) * inverse
            ok = (second & np.uint64(0x8080808080808080)) == 0  # ASCII, control characters included
            for a, b in zip(first[ok], second[ok]):
                found[a.tobytes() + b.tobytes()] = None
    return [k.decode("ascii") for k in list(found)[:count]]


def ordinary_keys(count: int) -> list[str]:
    return [f"field-{i:010d}" for i in range(count)]  # 16 bytes, like the crafted ones


def best_time(function, rounds: int = 5) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(count: int) -> dict[str, float]:
    """Seconds to encode and to decode one dict of `count` keys, crafted and ordinary."""
    import quarl

    codec = quarl.Quarl()
    result = {}
    for name, keys in [("crafted", crafted_keys(count)), ("ordinary", ordinary_keys(count))]:
        value = dict.fromkeys(keys, 1)
        document = codec.encode_packed(value, False)
        result[f"{name} encode"] = best_time(lambda: codec.encode_packed(value, False))
        result[f"{name} decode"] = best_time(lambda: codec.decode_packed(document))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=26000)
    args = parser.parse_args()
    times = measure(args.keys)
    for step in ("encode", "decode"):
        crafted, ordinary = times[f"crafted {step}"], times[f"ordinary {step}"]
        print(f"{step}: crafted {crafted * 1e3:.2f} ms, ordinary {ordinary * 1e3:.2f} ms, "
              f"ratio {crafted / ordinary:.2f}")


if __name__ == "__main__":
    main()
