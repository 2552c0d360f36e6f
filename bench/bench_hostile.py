"""What forged input costs in time, against genuine input of the same size.

docs/security.md promises that forged counts and forged envelopes cost what a
genuine document of their size costs, that a stream frame which fails is
decoded once however often the peer feeds on, that dicts which start like the
rows before them cost what other dicts cost, and that `inspect` takes about the
time of a decode. The tests pin the mechanisms (and memory); this measures
the times, each as the best of several rounds taken in turns, so that load on
the machine weighs on both sides alike.

    .venv/bin/python bench/bench_hostile.py
"""

import random
import struct
import time

import lz4.block

from quarl import Quarl, QuarlStreamDecoder, _inspect

MIB = 1024 * 1024


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def doc(value: bytes) -> bytes:
    return b"QL\x00\x01\x00\x00" + value


def elapsed(action, data) -> float:
    start = time.perf_counter()
    try:
        action(data)
    except ValueError:
        pass
    return time.perf_counter() - start


def ratio(action, forged, genuine, rounds: int = 7) -> float:
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, data in enumerate((forged, genuine)):
            best[i] = min(best[i], elapsed(action, data))
    return best[0] / best[1]


def nested_counts(size: int) -> float:
    # 127 nested lists, each declaring as many items as there are bytes left after its count,
    # then None bytes: the innermost list is whole, every other runs out.
    levels, fill = 127, size - 6 - 5 * 127
    forged = doc(b"".join(b"\x60" + u32(5 * (levels - k - 1) + fill) for k in range(levels)) + b"\x10" * fill)
    genuine = doc(b"\x60" + u32(size - 11) + b"\x10" * (size - 11))
    return ratio(lambda d: Quarl().decode_packed(d), forged, genuine)


def forged_envelope(size: int) -> float:
    # Incompressible bytes whose envelope declares 255 times the block's size.
    document = doc(b"\x80" + u32(size) + random.Random(1).randbytes(size))
    block = lz4.block.compress(document, store_size=False)
    return ratio(lambda d: Quarl().decode_packed(d), u32(255 * len(block)) + block, u32(len(document)) + block)


def refeeds_after_a_failed_frame(count: int = 16_000_000) -> float:
    # A 16 MB frame failing at its last byte, then a hundred one-byte feeds.
    payload = doc(b"\x60" + u32(count) + b"\x10" * (count - 1) + b"\x99")
    decoder = QuarlStreamDecoder(expect_handshake=False)
    first = elapsed(decoder.feed, u32(len(payload)) + b"\x01\x00" + payload)
    later = sum(elapsed(decoder.feed, b"x") for _ in range(100))
    return later / first


def inspect_against_decode(records: int = 200_000) -> float:
    value = [{"id": i, "name": f"user{i}", "score": i * 1.5, "tags": ["a", "b"], "note": "x" * 60}
             for i in range(records)]
    data = Quarl().encode_packed(value, False)
    inspect = min(elapsed(lambda d: _inspect.inspect(d, "auto", [].append, max_items=100), data) for _ in range(5))
    return inspect / min(elapsed(Quarl().decode_packed, data) for _ in range(5))


def dicts_leaving_a_template(count: int = 500_000) -> float:
    # Two rows of 32 keys make a template of them; then one-key dicts whose key is the template's
    # first (each would copy it and drop the other 31 keys), against dicts with a key of their own.
    keys = [f"k{i}" for i in range(33)]
    table = struct.pack("<H", len(keys)) + b"".join(bytes([len(k)]) + k.encode() for k in keys)
    row = b"\x70" + b"".join(u32(i) + b"\x10" for i in range(32)) + b"\x7f"

    def document(key: int) -> bytes:
        return b"QL\x00\x01" + table + b"\x60" + u32(2 + count) + row * 2 + (b"\x70" + u32(key) + b"\x10\x7f") * count

    return ratio(lambda d: Quarl().decode_packed(d), document(0), document(32))


def main() -> None:
    print(f"nested forged counts, 4 MiB, against a genuine list:   {nested_counts(4 * MIB):6.2f}x")
    print(f"envelope declaring 255x, 4 MiB, against a genuine one: {forged_envelope(4 * MIB):6.2f}x")
    print(f"100 feeds after a failed 16 MB frame, against its decode: {refeeds_after_a_failed_frame():6.4f}x")
    print(f"one-key dicts after a 32-key template, against other one-key dicts: {dicts_leaving_a_template():6.2f}x")
    print(f"inspect (--max-items 100), 200,000 records, against a decode: {inspect_against_decode():6.2f}x")


if __name__ == "__main__":
    main()
