"""Creating a codec against creating msgspec's msgpack encoder, in one run.

    .venv/bin/python bench/bench_construction.py
"""

import timeit

import msgspec

import quarl

NUMBER = 200_000
ROUNDS = 9


def measure() -> dict[str, float]:
    """Best seconds per construction, the constructors taking turns round by round."""
    constructors = {
        "msgspec.msgpack.Encoder()": msgspec.msgpack.Encoder,
        "Quarl()": quarl.Quarl,
        "QuarlStreamEncoder()": quarl.QuarlStreamEncoder,
        "QuarlStreamDecoder()": quarl.QuarlStreamDecoder,
    }
    best = dict.fromkeys(constructors, float("inf"))
    for _ in range(ROUNDS):
        for name, constructor in constructors.items():
            best[name] = min(best[name], timeit.timeit(constructor, number=NUMBER) / NUMBER)
    return best


def main() -> None:
    times = measure()
    base = times["msgspec.msgpack.Encoder()"]
    for name, seconds in times.items():
        print(f"{name:28s} {seconds * 1e9:6.1f} ns  {seconds / base:.2f}×")


if __name__ == "__main__":
    main()
