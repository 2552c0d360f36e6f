"""Compression envelopes: when a document is wrapped, the envelope bytes, recognition, and every failure."""

import contextlib
import random
import struct
import threading

import pytest

from builders import doc, lz4_block, u32
from conftest import installed, run_python
from quarl import Quarl, QuarlError

lz4 = installed("lz4.block")

CHUNK = 262_144


def filler(size: int, kind: str = "text") -> bytes:
    """Zeros, random bytes, or repetitive but not trivially so text."""
    if kind == "text":
        return b",".join(b"%d" % (i * 7919 % 1000) for i in range(size // 2))[:size]
    return bytes(size) if kind == "zeros" else random.Random(size).randbytes(size)


def document_for(value: bytes, compress_flag: int = 1) -> bytes:
    return doc(b"\x80" + u32(len(value)) + value, compress_flag=compress_flag)


def record(data: bytes, declared: int | None = None) -> bytes:
    """The body of a chunk record: a size-prefixed LZ4 block."""
    return u32(len(data) if declared is None else declared) + lz4_block(data)


def parallel(total: int, records: list[bytes], count: int | None = None, tail: bytes = b"") -> bytes:
    header = u32(total) + u32(len(records) if count is None else count)
    return header + b"".join(u32(len(r)) + r for r in records) + tail


def chunked(document: bytes, sizes: list[int], declared: list | None = None, tail: bytes = b"") -> bytes:
    """A parallel envelope of `document` in chunks of `sizes`, each declaring its size unless `declared` says."""
    starts = [sum(sizes[:i]) for i in range(len(sizes))]
    records = [record(document[a : a + n], d) for a, n, d in zip(starts, sizes, declared or [None] * len(sizes))]
    return parallel(len(document), records, tail=tail)


def unwrap(envelope: bytes) -> tuple[int, list[int], bytes]:
    """Total, declared size per chunk and the joined output of a parallel envelope; the records fill it."""
    total, count = struct.unpack_from("<II", envelope)
    pos, sizes, out = 8, [], b""
    for _ in range(count):
        length, declared = struct.unpack_from("<II", envelope, pos)
        sizes.append(declared)
        out += lz4.block.decompress(envelope[pos + 8 : pos + 4 + length], uncompressed_size=declared)
        pos += 4 + length
    assert pos == len(envelope)
    return total, sizes, out


# Up to 256 bytes plain, then single-block, and from 1,000,000 bytes parallel; sizes whose low 16 bits
# spell the magic (19,537 = 0x4C51) get one byte of padding. Random chunks come out larger than they went in.
ENCODED = [(256, "zeros"), (257, "zeros"), (1_000_000, "text"), (257, "random"), (257, "text"), (4096, "text"),
           (5 * CHUNK + 17, "zeros"), (19_537, "text"), (85_073, "text"), (999_999, "zeros"), (999_999, "random"),
           (999_999, "text"), (5 * CHUNK + 17, "random"), (1_002_577, "text"), (4 * CHUNK, "text"),
           (4 * CHUNK + 1, "text")]
CODEC = Quarl()  # one codec for every row, each envelope written over the buffers of the one before


@pytest.mark.parametrize("size, kind", ENCODED)
def test_envelope_for_each_document_size(size, kind):
    value = filler(size - 11, kind)  # a document of `size` bytes: a header of 6, then tag and length
    envelope = CODEC.encode_packed(value, True)
    assert envelope == Quarl().encode_packed(value, True)
    assert Quarl().encode_packed(value, False) == document_for(value, compress_flag=0)
    padded = document_for(value) + (b"\0" if size % 65536 == 0x4C51 else b"")
    if size <= 256:
        assert envelope == padded
    elif size < 1_000_000:
        assert envelope[:4] == u32(len(padded))
        assert lz4.block.decompress(envelope[4:], uncompressed_size=len(padded)) == padded
    else:
        sizes = [min(CHUNK, len(padded) - start) for start in range(0, len(padded), CHUNK)]
        assert unwrap(envelope) == (len(padded), sizes, padded)
    assert CODEC.decode_packed(envelope) == Quarl().decode_packed(envelope) == value


# --- envelopes of other writers ----------------------------------------------

TEXT_DOC = document_for(filler(3000))
# A match at offset 0 (literals: the document head and "a"; 40 bytes at offset 0; 16 final literals).
OFFSET_ZERO = (bytes([0xCF]) + doc(b"\x80" + u32(57), compress_flag=1) + b"a" + b"\x00\x00" + bytes([40 - 4 - 15])
               + b"\xf0\x01" + b"z" * 16)
READER = Quarl()  # one codec for every row: no row's value shows bytes an earlier row left in its buffer


@pytest.mark.parametrize(
    "value, envelope",
    [
        (filler(50_000), u32(50_011) + lz4_block(document_for(filler(50_000)))),  # from another LZ4 encoder
        # blocks at LZ4's highest ratio
        (bytes(3 * CHUNK), u32(3 * CHUNK + 11) + lz4_block(document_for(bytes(3 * CHUNK)))),
        (bytes(3 * CHUNK), chunked(document_for(bytes(3 * CHUNK)), [CHUNK, CHUNK, CHUNK, 11])),
        (filler(3000), chunked(TEXT_DOC, [1000, 2000, 11], tail=b"\xff" * 9)),
        (b"a" + bytes(40) + b"z" * 16, u32(68) + OFFSET_ZERO),
        # chunks keep only the bytes their blocks produce, whatever they declare
        (filler(3000), chunked(TEXT_DOC, [1000, 1000, 1011], [1500, 1001, None])),
        (filler(3000), chunked(TEXT_DOC, [1000, 0, 2011])),
        (b"a" + bytes(40) + b"z" * 16, parallel(68, [u32(68) + OFFSET_ZERO])),
        (None, u32(0x4C51) + b"\x00\x00\x10"),  # a size field that begins with the magic: a plain document
    ],
    ids=["single block", "single block at top ratio", "parallel at top ratio", "bytes after the last record",
         "match at offset 0", "declared sizes", "an empty chunk", "parallel match at offset 0",
         "size field reads as the magic"],
)
def test_envelopes_built_by_hand_decode(value, envelope):
    assert READER.decode_packed(envelope) == value


CUT_TEXT = filler(25_000).decode()


@pytest.mark.parametrize("envelope", [Quarl().encode_packed(CUT_TEXT, True),
                                      chunked(Quarl().encode_packed(CUT_TEXT, False), [7000] * 3 + [4011])],
                         ids=["single-block", "parallel"])
def test_cut_envelopes_fail_or_give_the_exact_value(envelope):
    # A block that yields fewer bytes than declared is never padded out with the previous cut's bytes.
    codec = Quarl()
    for cut in range(len(envelope) + 1):
        with contextlib.suppress(ValueError):
            assert codec.decode_packed(envelope[:cut]) == CUT_TEXT, cut


# --- failures ----------------------------------------------------------------


# A hand-made LZ4 block per fault, each in a chunk after the declared total.
CHUNK_FAULTS = [
    (b"\x07\x00\x00", "a block of 3 bytes has no room for its 4-byte size"),
    (u32(511) + b"\0\0", "the declared 511 bytes are more than 2 compressed bytes can hold"),
    (u32(0x80000000) + b"\0" * 9_000_000, "the declared 2147483648 bytes are more than an LZ4 block can hold"),
    (u32(0), "the block is empty"),
    (u32(100) + b"\xf0", "the block ends inside a literal length"),
    (u32(100) + b"\xf0\xff", "the block ends inside a literal length"),
    (u32(5) + b"\x50ab", "5 literals run past the end of the block"),
    (u32(100) + b"\xf0\x00" + b"a" * 14, "15 literals run past the end of the block"),
    (u32(3) + b"\x50abcde", "the block holds more than the declared 3 bytes"),
    (u32(6) + b"\x10a\x01\x00\x50abcde", "the block holds more than the declared 6 bytes"),
    (u32(10) + b"\x10a\x01", "the block ends inside a match offset"),
    (u32(100) + b"\x10a\x00\x00\x00", "0 is not a valid match offset"),
    (u32(100) + b"\x10a\x05\x00\x50abcde", "match offset 5 reaches before the start of the chunk"),
    (u32(100) + b"\x1fa\x01\x00", "the block ends inside a match length"),
    (u32(100) + b"\x10a\x01\x00", "the block ends after a match instead of with literals"),
    (u32(10) + b"\x50abcde\x01\x00\x10z", "the block breaks the end-of-block rules"),
]

# Sizes at the 32-bit limit, or within reach of the LZ4 API but not of the bytes behind them.
FORGED = [
    (u32(0xFFFFFFFF) + u32(0), "Decompressed size mismatch: expected 4294967295, got 0"),
    (u32(0xFFFFFFFF) + b"\xf0" + b"\xff" * 1000, "Invalid chunks count in parallel compression header"),
    (u32(0xFFFFFFFF) + u32(1) + u32(8) + u32(0xFFFFFFFF) + bytes(4),
     "LZ4 chunk decompression failed: the declared 4294967295 bytes are more than 4 compressed bytes can hold"),
    (u32(0xFFFFFFFF) + u32(2) + (u32(5) + u32(0xFFFFFFF0) + b"\x00") * 2,
     "LZ4 chunk decompression failed: the declared 4294967280 bytes are more than 1 compressed bytes can hold"),
    (u32(0x7FFFFFF0) + u32(0), "Decompressed size mismatch: expected 2147483632, got 0"),
    (u32(0x7FFFFFF0) + u32(1) + u32(12) + u32(0x7FFFFFF0) + bytes(8),
     "LZ4 chunk decompression failed: the declared 2147483632 bytes are more than 8 compressed bytes can hold"),
]
TWO_RECORDS = [record(b"abc"), record(b"def")]
FAILURES = [
    *[(data, "Buffer too small for QUARL payload") for data in (b"", b"\x01", b"Q")],
    *[(data, "Buffer too small for compressed QUARL data")
      for data in (b"\x00\x00", b"LQ\x00", u32(5), u32(5) + b"\x50ab", u32(0xFFFFFFFF) + b"\x00\x00")],
    (parallel(10, [], count=1), "Invalid chunks count in parallel compression header"),
    # Two records of 12 bytes leave room for 6 counts, 3 bytes more for none.
    (parallel(10, TWO_RECORDS, count=7), "Invalid chunks count in parallel compression header"),
    (parallel(10, TWO_RECORDS, count=6, tail=bytes(3)), "Unexpected end of data in parallel compression chunk headers"),
    (parallel(10, [u32(0)], count=2, tail=b"\0\0\0"), "Unexpected end of data in parallel compression chunk headers"),
    (u32(10) + u32(1) + u32(10) + b"12345", "Unexpected end of data in parallel compression chunk data"),
    (parallel(5, []), "Decompressed size mismatch: expected 5, got 0"),
    (parallel(11, [record(b"0123456789")]), "Decompressed size mismatch: expected 11, got 10"),
    (parallel(9, [record(b"0123456789")]), "Decompressed size mismatch: expected 9, got 10"),
    (parallel(20, [record(b"0123456789", declared=20)]), "Decompressed size mismatch: expected 20, got 10"),
    (parallel(4_000_000, [record(b"x" * 100), u32(5) + b"\x50ab", *[record(b"y" * 100)] * 30]),
     "LZ4 chunk decompression failed: 5 literals run past the end of the block"),
    (parallel(0, []), "Decompressed buffer too small for QUARL header"),  # an empty parallel envelope
    *FORGED,
    *[(parallel(1000, [record]), f"LZ4 chunk decompression failed: {text}") for record, text in CHUNK_FAULTS],
]


@pytest.mark.parametrize("data, message", FAILURES, ids=[f"{i}:{m}" for i, (_, m) in enumerate(FAILURES)])
def test_envelope_failures(data, message):
    codec = Quarl()
    with pytest.raises(QuarlError) as error:
        codec.decode_packed(data)
    assert type(error.value) is ValueError and str(error.value) == message
    assert codec.encode_packed(bytes(289), True)[:4] == u32(300)


def test_forged_sizes_are_refused_without_allocating():
    result = run_python(f"""
        import contextlib
        from quarl import Quarl

        def peaks():  # of virtual memory and of the resident set, in KiB
            with open("/proc/self/status") as f:
                return [int(line.split()[1]) for line in f if line.startswith(("VmPeak:", "VmHWM:"))]

        codec = Quarl()
        codec.encode_packed(bytes(2_000_000), True)  # the pool is running
        before = peaks()
        for data in {[data for data, _ in FORGED]!r}:
            with contextlib.suppress(ValueError):
                codec.decode_packed(data)
        print(*[after - start for after, start in zip(peaks(), before)])
    """)
    assert result.returncode == 0, result.stderr
    virtual_kib, resident_kib = map(int, result.stdout.split())
    assert virtual_kib < 64 << 10 and resident_kib < 16 << 10


def test_forked_child_compresses_with_its_own_pool():
    result = run_python("""
        import os, random, signal
        from quarl import Quarl

        data = random.Random(1).randbytes(1 << 16) * 64  # 4 MB
        expected = Quarl().encode_packed(data, True)  # the parent's pool exists
        pid = os.fork()
        if pid == 0:
            signal.alarm(30)  # a hang kills the child instead of blocking the test
            os._exit(0 if Quarl().encode_packed(data, True) == expected else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), Quarl().encode_packed(data, True) == expected)
    """, timeout=90)
    assert result.stdout.strip() == "0 True", result.stderr


@pytest.mark.parametrize("size", [CHUNK, 4 * CHUNK], ids=["single block", "parallel"])
def test_other_threads_run_during_lz4_work_and_find_the_codec_in_use(size):
    codec, value = Quarl(), filler(size)
    refusals, stop = [], threading.Event()

    def knock():  # succeeds between the main thread's calls, is refused during them
        while not stop.is_set():
            try:
                codec.decode_packed(doc(b"\x10"))
            except RuntimeError as error:
                refusals.append(str(error))

    thread = threading.Thread(target=knock)
    thread.start()
    try:
        for _ in range(200):
            assert codec.decode_packed(codec.encode_packed(value, True)) == value
            if len(refusals) >= 2:
                break
    finally:
        stop.set()
        thread.join()
    assert refusals and set(refusals) == {"Already borrowed"}
