"""Stream decoding throughput: many small messages fed in fixed-size chunks.

Compares QuarlStreamDecoder.feed with msgpack.Unpacker.feed on the same
messages. Run from outside the source tree so the installed package is used:

    .venv/bin/python bench/bench_stream.py [--messages 100000] [--chunk 65536]
"""

import argparse
import time

import msgpack

from quarl import QuarlStreamDecoder, QuarlStreamEncoder
from quarl import _quarl


def messages(count: int) -> list[dict]:
    return [
        {
            "id": i,
            "user": f"user{i % 1000}",
            "score": i * 0.25,
            "active": i % 2 == 0,
            "tags": ["alpha", "beta"] if i % 3 else [],
            "parent": None if i % 5 else i - 1,
        }
        for i in range(count)
    ]


def chunked(stream: bytes, size: int) -> list[bytes]:
    return [stream[i : i + size] for i in range(0, len(stream), size)]


def quarl_stream(values) -> bytes:
    encoder = QuarlStreamEncoder()
    parts = [encoder.get_handshake()]
    parts += [encoder.encode_frame(v) for v in values]
    parts.append(encoder.get_eos_frame())
    return b"".join(parts)


def decode_quarl(chunks) -> int:
    decoder = QuarlStreamDecoder()
    count = 0
    for chunk in chunks:
        count += len(decoder.feed(chunk))
    assert decoder.is_eos
    return count


def decode_msgpack(chunks) -> int:
    unpacker = msgpack.Unpacker()
    count = 0
    for chunk in chunks:
        unpacker.feed(chunk)
        for _ in unpacker:
            count += 1
    return count


def best_time(decode, chunks, expected: int, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        count = decode(chunks)
        best = min(best, time.perf_counter() - start)
        assert count == expected, (count, expected)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--chunk", type=int, default=64 * 1024)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"quarl memory paths: {_quarl._memory_paths()}")

    values = messages(args.messages)
    streams = {
        "quarl": (quarl_stream(values), decode_quarl),
        "msgpack": (b"".join(msgpack.packb(v) for v in values), decode_msgpack),
    }
    print(f"{args.messages:,} messages, {args.chunk:,}-byte chunks, best of {args.repeat}")
    print(f"{'codec':<10}{'stream MB':>11}{'frames/s':>14}{'MB/s':>10}")
    for name, (stream, decode) in streams.items():
        seconds = best_time(decode, chunked(stream, args.chunk), args.messages, args.repeat)
        mb = len(stream) / 1e6
        print(f"{name:<10}{mb:>11.2f}{args.messages / seconds:>14,.0f}{mb / seconds:>10.1f}")


if __name__ == "__main__":
    main()
