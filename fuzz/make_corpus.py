"""Writes the seed corpus: valid documents, envelopes and streams for each target."""

import datetime
import decimal
import hashlib
import os
import random
import struct
import uuid

from quarl import Quarl, QuarlStreamEncoder

HERE = os.path.dirname(os.path.abspath(__file__))


def sample_values():
    rng = random.Random(7)
    yield None
    yield {"a": [1, 2.5, None]}
    yield [True, False, 0, 7, 8, -1, 2**63 - 1, 2**64, 1.5, "", "é\U0001f600", b"\x00\x01"]
    yield {"when": datetime.datetime(2024, 5, 1, 12, 30), "day": datetime.date(2024, 1, 2)}
    yield {"t": datetime.time(1, 2, 3), "id": uuid.UUID(int=5), "price": decimal.Decimal("1.10")}
    yield [[[[[]]]]]
    # Decimals that are written in place and some just beyond what is.
    yield [decimal.Decimal(t) for t in ("1.10", "-0.00", "9999999999999999999", "1E+5", "-1.5E-999999",
                                        "12345678901234567890", "0.000001234", "NaN")]
    yield {f"k{i}": i for i in range(300)}
    yield [{"id": i, "name": f"n{i}", "score": i / 3} for i in range(40)]
    # Rows of one shape, which the decoder builds from a template, and rows that leave it.
    yield [dict([("id", i), ("a", 1), ("b", 2), *([] if i % 5 == 4 else [("c", 3)]), ("d", 4), ("e", [i])])
           for i in range(12)]
    yield "x" * 400
    yield bytes(rng.randrange(256) for _ in range(600))


def write(target: str, data: bytes) -> None:
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def stream_of(values, handshake=True, compress=False) -> bytes:
    encoder = QuarlStreamEncoder()
    stream = bytearray(QuarlStreamEncoder.get_handshake() if handshake else b"")
    for value in values:
        stream += encoder.encode_frame(value, compress=compress)
    stream += b"\x03\x00\x00\x00\x02\x00abc"  # a skip frame
    stream += QuarlStreamEncoder.get_eos_frame()
    return bytes(stream)


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def nested_forged_lists(size: int) -> bytes:
    """127 nested lists, each declaring as many items as there are bytes left after its
    count, then None bytes: once, every level reserved its count before anything failed."""
    levels = 127
    fill = size - 6 - 5 * levels
    value = b"".join(b"\x60" + u32(5 * (levels - k - 1) + fill) for k in range(levels))
    return b"QL\x00\x01\x00\x00" + value + b"\x10" * fill


def forged_inputs() -> None:
    """Forged inputs that once broke the decoder's resource bounds, kept small."""
    write("decode", bytes([1]) + nested_forged_lists(4000))
    write("decode", bytes([0]) + nested_forged_lists(1500))
    # A single block declaring 255 times its size, and single blocks cut short.
    envelope = Quarl().encode_packed(bytes(random.Random(5).randbytes(700)), True)
    block = envelope[4:]
    write("decode", bytes([1]) + u32(255 * len(block)) + block)
    text = Quarl().encode_packed(" ".join(str(i) for i in range(400)), True)
    for cut in (len(text) // 2, len(text) - 1):
        write("decode", bytes([1]) + text[:cut])
    # Streams: options 8 is a decoder with max_frame_size 4096 and no handshake looked
    # for. A small compressed frame whose document is larger than that; then a frame that
    # fails, followed by more frames, which meet the remembered failure.
    encoder = QuarlStreamEncoder()
    big = encoder.encode_frame("y" * 20_000, compress=True)
    write("stream", bytes([8, 5]) + big + encoder.encode_frame(1))
    failing = u32(7) + b"\x01\x00" + b"QL\x00\x01\x00\x00\x99"
    write("stream", bytes([8, 6]) + encoder.encode_frame([1, 2]) + failing + encoder.encode_frame(3) * 3)


def main() -> None:
    for value in sample_values():
        for compress in (False, True):
            document = Quarl().encode_packed(value, compress)
            write("decode", bytes([1]) + document)
            write("decode", bytes([0]) + document)
    # A parallel envelope: highly compressible, so the seed stays small.
    write("decode", bytes([1]) + Quarl().encode_packed(["ab" * 500_000], True))

    # Streams stay small (every frame carries its encoder's whole key table);
    # the first byte picks the decoder's options (see
    # harnesses.stream_target), the second the chunking.
    small = [None, {"a": [1, 2.5, None]}, [{"id": i, "name": f"n{i}"} for i in range(3)], "x" * 300]
    write("stream", bytes([12, 42]) + stream_of(small))
    write("stream", bytes([13, 7]) + stream_of(small, compress=True))
    write("stream", bytes([14, 9]) + stream_of(small[:2], handshake=False))
    write("stream", bytes([9, 1]) + stream_of(small[:3]))
    write("stream", bytes([16, 200]) + stream_of(small[1:], compress=True))
    write("stream", bytes([0, 3]) + stream_of([]))

    forged_inputs()

    rng = random.Random(3)
    for _ in range(16):
        write("roundtrip", bytes(rng.randrange(256) for _ in range(rng.randrange(8, 200))))


if __name__ == "__main__":
    main()
