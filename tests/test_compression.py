"""Compression envelopes: when a document is wrapped, the envelope bytes, recognition, and every failure."""

import random
import struct

import lz4.block
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarl import Quarl, QuarlError

from builders import doc, u32
from conftest import run_python

CHUNK = 262_144
# A bytes value costs 5 bytes (tag and length) after the 6-byte header.
BYTES_VALUE_OVERHEAD = 11


def filler(size: int, kind: str = "zeros") -> bytes:
    if kind == "zeros":
        return bytes(size)
    if kind == "random":
        return random.Random(size).randbytes(size)
    # Text-like: repetitive but not trivially so.
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta", b"theta"]
    rng = random.Random(size)
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" " + str(rng.randrange(1000)).encode() + b","
    return bytes(out[:size])


def value_for_size(size: int, kind: str = "zeros") -> bytes:
    """The bytes value whose document is exactly `size` bytes on a fresh codec."""
    return filler(size - BYTES_VALUE_OVERHEAD, kind)


def document_for(value: bytes, compress_flag: int = 1) -> bytes:
    return doc(b"\x80" + u32(len(value)) + value, compress_flag=compress_flag)


def single_block(declared: int, block: bytes) -> bytes:
    return u32(declared) + block


def lz4_block(data: bytes) -> bytes:
    return lz4.block.compress(data, store_size=False)


def chunk_record(data: bytes, declared: int | None = None) -> bytes:
    """The body of a chunk record: a size-prefixed LZ4 block."""
    return u32(len(data) if declared is None else declared) + lz4_block(data)


def parallel(total: int, records: list[bytes], count: int | None = None, tail: bytes = b"") -> bytes:
    header = u32(total) + u32(len(records) if count is None else count)
    return header + b"".join(u32(len(r)) + r for r in records) + tail


def read_parallel(envelope: bytes) -> tuple[int, list[tuple[int, bytes]]]:
    """Total and (declared size, block) per record; the records must fill the envelope."""
    total, count = struct.unpack_from("<II", envelope)
    pos, chunks = 8, []
    for _ in range(count):
        (length,) = struct.unpack_from("<I", envelope, pos)
        (declared,) = struct.unpack_from("<I", envelope, pos + 4)
        chunks.append((declared, envelope[pos + 8 : pos + 4 + length]))
        pos += 4 + length
    assert pos == len(envelope)
    return total, chunks


def unwrap_parallel(envelope: bytes) -> bytes:
    _, chunks = read_parallel(envelope)
    return b"".join(lz4.block.decompress(block, uncompressed_size=size) for size, block in chunks)


def split(data: bytes, sizes: list[int]) -> list[bytes]:
    out, pos = [], 0
    for size in sizes:
        out.append(data[pos : pos + size])
        pos += size
    return out


class TestEncoderChoosesEnvelope:
    def test_documents_up_to_256_bytes_stay_plain(self):
        value = value_for_size(256)
        assert Quarl().encode_packed(value, True) == document_for(value, compress_flag=1)

    def test_compress_false_keeps_large_documents_plain(self):
        value = value_for_size(2_000_000)
        assert Quarl().encode_packed(value, False) == document_for(value, compress_flag=0)

    @pytest.mark.parametrize("size", [257, 4096, 999_999])
    @pytest.mark.parametrize("kind", ["zeros", "random", "text"])
    def test_single_block_envelope(self, size, kind):
        value = value_for_size(size, kind)
        envelope = Quarl().encode_packed(value, True)
        assert envelope[:4] == u32(size)
        assert lz4.block.decompress(envelope[4:], uncompressed_size=size) == document_for(value)

    def test_257_bytes_is_the_first_enveloped_size(self):
        assert Quarl().encode_packed(value_for_size(257), True)[:4] == bytes.fromhex("01010000")

    def test_parallel_envelope_from_one_million_bytes(self):
        value = value_for_size(1_000_000, "text")
        envelope = Quarl().encode_packed(value, True)
        assert envelope[:8] == bytes.fromhex("40420f0004000000")
        _, chunks = read_parallel(envelope)
        assert [size for size, _ in chunks] == [CHUNK, CHUNK, CHUNK, 213_568]
        assert unwrap_parallel(envelope) == document_for(value)

    @pytest.mark.parametrize("kind", ["zeros", "random"])
    def test_parallel_chunks_hold_consecutive_slices(self, kind):
        # Incompressible chunks come out larger than they went in.
        size = 5 * CHUNK + 17
        value = value_for_size(size, kind)
        envelope = Quarl().encode_packed(value, True)
        total, chunks = read_parallel(envelope)
        assert (total, len(chunks)) == (size, 6)
        assert [s for s, _ in chunks] == [CHUNK] * 5 + [17]
        assert unwrap_parallel(envelope) == document_for(value)

    def test_repeated_compression_on_one_codec_gives_the_same_envelopes(self):
        codec = Quarl()
        big, small = value_for_size(1_500_000, "text"), value_for_size(3000, "text")
        first = [codec.encode_packed(v, True) for v in (big, small, big)]
        assert first[0] == first[2] == Quarl().encode_packed(big, True)
        assert first[1] == Quarl().encode_packed(small, True)

    # Sizes whose low 16 bits spell the magic: 19,537 and 85,073 single-block,
    # 15 * 65,536 + 19,537 parallel.
    @pytest.mark.parametrize("size", [19_537, 85_073, 1_002_577])
    def test_envelope_never_begins_with_the_magic(self, size):
        value = value_for_size(size, "text")
        envelope = Quarl().encode_packed(value, True)
        assert envelope[:2] != b"QL"
        assert envelope[:4] == u32(size + 1)
        padded = document_for(value) + b"\0"
        if size < 1_000_000:
            assert lz4.block.decompress(envelope[4:], uncompressed_size=size + 1) == padded
        else:
            assert unwrap_parallel(envelope) == padded


class TestRoundTrips:
    @pytest.mark.parametrize(
        "size", [256, 257, 19_537, 85_073, 999_999, 1_000_000, 1_002_577, 4 * CHUNK, 4 * CHUNK + 1]
    )
    def test_own_envelopes_round_trip(self, size):
        codec = Quarl()
        value = value_for_size(size, "text")
        assert codec.decode_packed(codec.encode_packed(value, True)) == value
        assert Quarl().decode_packed(codec.encode_packed(value, True)) == value

    @given(value=st.binary(max_size=3000), text=st.text(max_size=300))
    @settings(max_examples=60, deadline=None)
    def test_any_value_round_trips_through_an_envelope(self, value, text):
        obj = {"value": value, "text": text, "n": [len(value), None, True]}
        codec = Quarl()
        assert codec.decode_packed(codec.encode_packed(obj, True)) == obj

    def test_single_block_from_another_lz4_encoder(self):
        value = filler(50_000, "text")
        document = document_for(value)
        assert Quarl().decode_packed(single_block(len(document), lz4_block(document))) == value

    def test_blocks_at_lz4s_highest_ratio_decode(self):
        value = bytes(3 * CHUNK)
        document = document_for(value)
        assert Quarl().decode_packed(single_block(len(document), lz4_block(document))) == value
        pieces = split(document, [CHUNK, CHUNK, CHUNK, len(document)])
        assert Quarl().decode_packed(parallel(len(document), [chunk_record(p) for p in pieces])) == value

    @given(cuts=st.lists(st.integers(min_value=0, max_value=4000), max_size=8))
    @settings(max_examples=40, deadline=None)
    def test_parallel_envelope_with_any_chunk_sizes(self, cuts):
        value = filler(4000, "text")
        document = document_for(value)
        bounds = sorted(set(cuts) | {0, len(document)})
        pieces = [document[a:b] for a, b in zip(bounds, bounds[1:])]
        envelope = parallel(len(document), [chunk_record(p) for p in pieces])
        assert Quarl().decode_packed(envelope) == value

    def test_bytes_after_the_last_record_are_ignored(self):
        value = filler(3000, "text")
        document = document_for(value)
        records = [chunk_record(p) for p in split(document, [1000, 2000, len(document)])]
        assert Quarl().decode_packed(parallel(len(document), records, tail=b"\xff" * 9)) == value

    def test_chunks_keep_only_the_bytes_their_blocks_produce(self):
        value = filler(3000, "text")
        document = document_for(value)
        first, middle, last = split(document, [1000, 1000, len(document)])
        records = [chunk_record(first, declared=1500), chunk_record(middle, declared=1001), chunk_record(last)]
        assert Quarl().decode_packed(parallel(len(document), records)) == value

    def test_single_block_shortfall_is_zero_filled(self):
        codec = Quarl()
        # Leave old bytes in the decompression buffer first.
        ones = b"\xff" * 100
        codec.decode_packed(single_block(len(document_for(ones)), lz4_block(document_for(ones))))
        document = document_for(b"abcdefghij")
        produced = document[:-4]
        assert codec.decode_packed(single_block(len(document), lz4_block(produced))) == b"abcdef\0\0\0\0"

    @pytest.mark.parametrize("form", ["single-block", "parallel"])
    def test_match_at_offset_zero_shows_no_earlier_output(self, form):
        # Literals: the document head and "a"; a 40-byte match at offset 0; 16 final literals.
        head = doc(b"\x80" + u32(57), compress_flag=1) + b"a"
        block = bytes([0xCF]) + head + b"\x00\x00" + bytes([40 - 4 - 15]) + b"\xf0\x01" + b"z" * 16
        wrap = (lambda size, b: single_block(size, b)) if form == "single-block" else (
            lambda size, b: parallel(size, [u32(size) + b])
        )
        codec = Quarl()
        secret = document_for(b"\xff" * 200)
        assert codec.decode_packed(wrap(len(secret), lz4_block(secret))) == b"\xff" * 200
        try:
            value = codec.decode_packed(wrap(68, block))
        except QuarlError:
            return  # refusing the match is as good
        assert value == b"a" + bytes(40) + b"z" * 16

    def test_magic_prefixed_envelope_is_read_as_a_plain_document(self):
        document = document_for(filler(19_537 - BYTES_VALUE_OVERHEAD, "text"))
        envelope = single_block(len(document), lz4_block(document))
        assert envelope[:2] == b"QL"
        with pytest.raises(Exception) as plain:
            Quarl().decode_packed(envelope, decompress=False)
        with pytest.raises(type(plain.value)) as read:
            Quarl().decode_packed(envelope)
        assert str(read.value) == str(plain.value)

    def test_decompress_false_passes_an_envelope_to_the_header_check(self):
        envelope = Quarl().encode_packed(value_for_size(5000), True)
        with pytest.raises(QuarlError, match="^Invalid QUARL magic number$"):
            Quarl().decode_packed(envelope, decompress=False)

    def test_empty_parallel_envelope_is_an_empty_document(self):
        with pytest.raises(QuarlError, match="^Decompressed buffer too small for QUARL header$"):
            Quarl().decode_packed(parallel(0, []))

    @given(data=st.data())
    @settings(max_examples=150, deadline=None)
    def test_corrupted_envelopes_fail_cleanly(self, data):
        value = filler(3000, "text")
        document = document_for(value)
        envelope = bytearray(
            data.draw(
                st.sampled_from(
                    [
                        single_block(len(document), lz4_block(document)),
                        parallel(len(document), [chunk_record(p) for p in split(document, [900, 900, 2000])]),
                    ]
                )
            )
        )
        for _ in range(data.draw(st.integers(1, 4))):
            envelope[data.draw(st.integers(0, len(envelope) - 1))] = data.draw(st.integers(0, 255))
        try:
            Quarl().decode_packed(bytes(envelope))
        except (ValueError, RecursionError):
            pass


def _rec(block: bytes, declared: int) -> bytes:
    return u32(declared) + block


# A hand-made LZ4 block per fault, each in a chunk after the declared total.
CHUNK_FAULTS = [
    (b"", "a block of 0 bytes has no room for its 4-byte size"),
    (b"\x07\x00\x00", "a block of 3 bytes has no room for its 4-byte size"),
    (_rec(b"\0\0", 511), "the declared 511 bytes are more than 2 compressed bytes can hold"),
    (_rec(b"\0" * 9_000_000, 0x80000000), "the declared 2147483648 bytes are more than an LZ4 block can hold"),
    (_rec(b"", 0), "the block is empty"),
    (_rec(b"", 10), "the block is empty"),
    (_rec(b"\xf0", 100), "the block ends inside a literal length"),
    (_rec(b"\xf0\xff", 100), "the block ends inside a literal length"),
    (_rec(b"\x50ab", 5), "5 literals run past the end of the block"),
    (_rec(b"\x50abcde", 3), "the block holds more than the declared 3 bytes"),
    (_rec(b"\x10a\x01\x00\x50abcde", 6), "the block holds more than the declared 6 bytes"),
    (_rec(b"\x10a\x01", 10), "the block ends inside a match offset"),
    (_rec(b"\x10a\x00\x00\x00", 100), "0 is not a valid match offset"),
    (_rec(b"\x10a\x05\x00\x50abcde", 100), "match offset 5 reaches before the start of the chunk"),
    (_rec(b"\x1fa\x01\x00", 100), "the block ends inside a match length"),
    (_rec(b"\x10a\x01\x00", 100), "the block ends after a match instead of with literals"),
    (_rec(b"\x50abcde\x01\x00\x10z", 10), "the block breaks the end-of-block rules"),
]

FAILURES = [
    (b"", "Buffer too small for QUARL payload"),
    (b"\x01", "Buffer too small for QUARL payload"),
    (b"Q", "Buffer too small for QUARL payload"),
    (b"\x00\x00", "Buffer too small for compressed QUARL data"),
    (b"LQ\x00", "Buffer too small for compressed QUARL data"),
    (u32(5), "Buffer too small for compressed QUARL data"),
    (u32(5) + b"\x50ab", "Buffer too small for compressed QUARL data"),
    (u32(0xFFFFFFFF) + b"\x00\x00", "Buffer too small for compressed QUARL data"),
    (parallel(10, [], count=1), "Invalid chunks count in parallel compression header"),
    (
        parallel(10, [chunk_record(b"abc"), chunk_record(b"def")], count=(24 // 4) + 1),
        "Invalid chunks count in parallel compression header",
    ),
    (
        parallel(10, [chunk_record(b"abc"), chunk_record(b"def")], count=(24 + 3) // 4, tail=b"\0\0\0"),
        "Unexpected end of data in parallel compression chunk headers",
    ),
    (parallel(10, [u32(0)], count=2, tail=b"\0\0\0"), "Unexpected end of data in parallel compression chunk headers"),
    (u32(10) + u32(1) + u32(10) + b"12345", "Unexpected end of data in parallel compression chunk data"),
    (parallel(5, []), "Decompressed size mismatch: expected 5, got 0"),
    (parallel(11, [chunk_record(b"0123456789")]), "Decompressed size mismatch: expected 11, got 10"),
    (parallel(9, [chunk_record(b"0123456789")]), "Decompressed size mismatch: expected 9, got 10"),
    # Chunks keep what their blocks produce, not what they declare.
    (parallel(20, [chunk_record(b"0123456789", declared=20)]), "Decompressed size mismatch: expected 20, got 10"),
    (
        parallel(4_000_000, [chunk_record(b"x" * 100), u32(5) + b"\x50ab"]),
        "LZ4 chunk decompression failed: 5 literals run past the end of the block",
    ),
    *[(parallel(1000, [record]), f"LZ4 chunk decompression failed: {text}") for record, text in CHUNK_FAULTS],
]


@pytest.mark.parametrize("data, message", FAILURES, ids=[f"{i}:{m}" for i, (_, m) in enumerate(FAILURES)])
def test_envelope_failures(data, message):
    codec = Quarl()
    with pytest.raises(QuarlError) as error:
        codec.decode_packed(data)
    assert type(error.value) is ValueError
    assert str(error.value) == message
    # The codec stays usable.
    assert codec.encode_packed(value_for_size(300), True)[:4] == u32(300)


def test_forged_sizes_are_refused_without_allocating():
    result = run_python(
        """
        import resource, struct
        from quarl import Quarl

        def peak_virtual():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmPeak:")) * 1024

        def peak_resident():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

        u32 = lambda n: struct.pack("<I", n)
        codec = Quarl()
        codec.encode_packed(bytes(2_000_000), True)  # the pool is running
        forged = [
            u32(0xFFFFFFFF) + u32(0),
            u32(0xFFFFFFFF) + b"\\x00" * 8,
            u32(0xFFFFFFFF) + b"\\xf0" + b"\\xff" * 1000,
            u32(0xFFFFFFFF) + u32(1) + u32(8) + u32(0xFFFFFFFF) + b"\\x00" * 4,
            u32(0xFFFFFFFF) + u32(2) + (u32(5) + u32(0xFFFFFFF0) + b"\\x00") * 2,
            # Within reach of the LZ4 API, but not of the bytes behind them.
            u32(0x7FFFFFF0) + u32(0),
            u32(0x7FFFFFF0) + u32(1) + u32(12) + u32(0x7FFFFFF0) + b"\\x00" * 8,
        ]
        before = peak_virtual(), peak_resident()
        messages = []
        for data in forged:
            try:
                codec.decode_packed(data)
            except ValueError as e:
                messages.append(str(e))
        grown = peak_virtual() - before[0], peak_resident() - before[1]
        print(grown[0] < 64 << 20, grown[1] < 16 << 20, messages[0])
        print(messages[3])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True True Decompressed size mismatch: expected 4294967295, got 0",
        "LZ4 chunk decompression failed: the declared 4294967295 bytes are more than 4 compressed bytes can hold",
    ]


def test_forked_child_compresses_with_its_own_pool():
    result = run_python(
        """
        import os, random, signal
        from quarl import Quarl

        data = random.Random(1).randbytes(1 << 16) * 64  # 4 MB
        expected = Quarl().encode_packed(data, True)    # the parent's pool exists

        def in_child(depth):
            signal.alarm(30)  # a hang kills the child instead of blocking the test
            ok = Quarl().encode_packed(data, True) == expected
            if ok and depth < 2:
                ok = fork_and_check(depth + 1)
            os._exit(0 if ok else 1)

        def fork_and_check(depth):
            pid = os.fork()
            if pid == 0:
                in_child(depth)
            return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

        print(fork_and_check(1), Quarl().encode_packed(data, True) == expected)
        """,
        timeout=90,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True True"
