"""What hostile input can cost: the bounds that docs/security.md promises.

Most bounds are proved beside the feature they guard (test_decode.py, test_compression.py,
test_encode.py, test_stream.py); the ones here are those no other test pins down.
"""

import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from builders import doc, exact, frame, lz4_block, u32
from quarl import Quarl, QuarlStreamDecoder

# The most output one byte of an LZ4 block can stand for.
LZ4_MAX_RATIO = 255
FRAME_HEADER_SIZE = 6
DOCUMENT = doc(b"\x80" + u32(3) + b"abc")
BLOCK = lz4_block(DOCUMENT)


def decode(data: bytes, decompress: bool = True):
    return Quarl().decode_packed(data, decompress=decompress)


# A declared size beyond 255 times the compressed bytes is never believed.
def test_single_block_declared_at_and_past_the_ratio():
    # The shortfall is zero-filled and lies after the value, where nothing reads it.
    assert decode(u32(LZ4_MAX_RATIO * len(BLOCK)) + BLOCK) == b"abc"
    # Refused as a single block, the input is read as a parallel envelope, which
    # its first block bytes cannot form.
    with pytest.raises(ValueError):
        decode(u32(LZ4_MAX_RATIO * len(BLOCK) + 1) + BLOCK)


def test_chunk_declared_past_the_ratio_fails_before_decoding():
    def envelope(declared):
        record = u32(declared) + BLOCK
        return u32(len(DOCUMENT)) + u32(1) + u32(len(record)) + record

    assert decode(envelope(LZ4_MAX_RATIO * len(BLOCK))) == b"abc"
    declared = LZ4_MAX_RATIO * len(BLOCK) + 1
    message = (f"LZ4 chunk decompression failed: the declared {declared} bytes are more than "
               f"{len(BLOCK)} compressed bytes can hold")
    with pytest.raises(ValueError, match=exact(message)):
        decode(envelope(declared))


def peak_per_input_byte(data: bytes) -> float:
    tracemalloc.start()
    try:
        value = decode(data, decompress=False)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del value
    return peak / len(data)


def repeated_list(element: bytes, count: int) -> bytes:
    return doc(b"\x60" + u32(count) + element * count)


# The cheapest encodings of the costliest objects the decoder builds.
@pytest.mark.parametrize(
    "data",
    [
        repeated_list(b"\x10", 100_000),
        repeated_list(b"\x40" + bytes(8), 50_000),
        repeated_list(b"\x60" + u32(0), 50_000),
        repeated_list(b"\x70\x7f", 50_000),
        repeated_list(b"\xd5" + u32(1) + b"0", 20_000),
        repeated_list(b"\xd2" + u32(10) + b"2024-01-02", 20_000),
        doc(b"\x90" + u32(50_000) + bytes(8 * 50_000)),
    ],
    ids=["none", "float", "empty list", "empty dict", "decimal", "date", "float array"],
)
def test_decoded_objects_cost_a_bounded_multiple_of_the_input(data):
    # An empty dict is the worst: 2 bytes in, about 72 bytes out (object and list slot).
    assert peak_per_input_byte(data) < 48


def stream_frame(size: int) -> bytes:
    """A data frame of exactly `size` payload bytes (a bytes value), or a skip frame when tiny."""
    if size < 11:
        return frame(bytes(size), type=2)
    return frame(doc(b"\x80" + u32(size - 11) + bytes(size - 11)))


@given(
    sizes=st.lists(st.integers(0, 600), max_size=12),
    max_frame_size=st.integers(0, 500),
    cuts=st.lists(st.integers(1, 400), min_size=1, max_size=20),
)
@settings(max_examples=150, deadline=None)
def test_stream_decoder_holds_at_most_one_frame_between_calls(sizes, max_frame_size, cuts):
    stream = b"".join(stream_frame(size) for size in sizes)
    decoder = QuarlStreamDecoder(max_frame_size=max_frame_size, expect_handshake=False)
    pos, i = 0, 0
    while pos < len(stream):
        chunk = stream[pos : pos + cuts[i % len(cuts)]]
        pos, i = pos + len(chunk), i + 1
        try:
            decoder.feed(chunk)
        except ValueError as error:
            # Refused from its header: nothing of the frame (or before it) is kept.
            # What follows is the refused frame's payload, no longer a stream.
            assert str(error).startswith("Frame size ")
            assert decoder.pending_bytes == 0
            return
        # Whatever the chunking, only the unfinished frame stays, and only while
        # it is within the limit.
        assert decoder.pending_bytes < FRAME_HEADER_SIZE + max_frame_size
