"""Compression envelopes: when a document is wrapped, the envelope bytes, recognition, and every failure."""

import random
import struct
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from builders import doc, lz4_block, u32
from conftest import installed, run_python
from quarl import Quarl, QuarlError

lz4 = installed("lz4.block")

CHUNK = 262_144
BYTES_VALUE_OVERHEAD = 11  # the 6-byte header, then a bytes value's tag and length


def filler(size: int, kind: str = "text") -> bytes:
    """Zeros, random bytes, or repetitive but not trivially so text."""
    rng = random.Random(size)
    if kind != "text":
        return bytes(size) if kind == "zeros" else rng.randbytes(size)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon", b"zeta", b"eta", b"theta"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" " + str(rng.randrange(1000)).encode() + b","
    return bytes(out[:size])


def value_for_size(size: int, kind: str = "zeros") -> bytes:
    """The bytes value whose document is exactly `size` bytes on a fresh codec."""
    return filler(size - BYTES_VALUE_OVERHEAD, kind)


def document_for(value: bytes, compress_flag: int = 1) -> bytes:
    return doc(b"\x80" + u32(len(value)) + value, compress_flag=compress_flag)


def record(data: bytes, declared: int | None = None) -> bytes:
    """The body of a chunk record: a size-prefixed LZ4 block."""
    return u32(len(data) if declared is None else declared) + lz4_block(data)


def parallel(total: int, records: list[bytes], count: int | None = None, tail: bytes = b"") -> bytes:
    header = u32(total) + u32(len(records) if count is None else count)
    return header + b"".join(u32(len(r)) + r for r in records) + tail


def pieces(document: bytes, sizes: list[int]) -> list[bytes]:
    bounds = [0, *(sum(sizes[: i + 1]) for i in range(len(sizes)))]
    return [document[a:b] for a, b in zip(bounds, bounds[1:])]


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


# --- which envelope the encoder writes ---------------------------------------


@pytest.mark.parametrize("size, compress", [(256, True), (2_000_000, False)])
def test_documents_stay_plain_up_to_256_bytes_or_without_compression(size, compress):
    value = value_for_size(size)
    assert Quarl().encode_packed(value, compress) == document_for(value, compress_flag=int(compress))


@pytest.mark.parametrize("size", [257, 4096, 999_999])
@pytest.mark.parametrize("kind", ["zeros", "random", "text"])
def test_single_block_envelope(size, kind):
    value = value_for_size(size, kind)
    envelope = Quarl().encode_packed(value, True)
    assert envelope[:4] == u32(size)
    assert lz4.block.decompress(envelope[4:], uncompressed_size=size) == document_for(value)


@pytest.mark.parametrize(
    "size, kind, head, sizes",
    [(1_000_000, "text", "40420f0004000000", [CHUNK] * 3 + [213_568]),
     # incompressible chunks come out larger than they went in
     *[(5 * CHUNK + 17, kind, "11001400" "06000000", [CHUNK] * 5 + [17]) for kind in ("zeros", "random")]],
)
def test_parallel_envelope_holds_consecutive_slices(size, kind, head, sizes):
    value = value_for_size(size, kind)
    envelope = Quarl().encode_packed(value, True)
    assert envelope[:8] == bytes.fromhex(head)
    assert unwrap(envelope) == (size, sizes, document_for(value))


def test_repeated_compression_on_one_codec_gives_the_same_envelopes():
    codec = Quarl()
    big, small = value_for_size(1_500_000, "text"), value_for_size(3000, "text")
    first = [codec.encode_packed(v, True) for v in (big, small, big)]
    assert first[0] == first[2] == Quarl().encode_packed(big, True)
    assert first[1] == Quarl().encode_packed(small, True)


@pytest.mark.parametrize("size", [19_537, 85_073, 1_002_577])
def test_envelope_never_begins_with_the_magic(size):
    """Sizes whose low 16 bits spell the magic: two single-block, 15 * 65,536 + 19,537 parallel."""
    value = value_for_size(size, "text")
    envelope = Quarl().encode_packed(value, True)
    assert envelope[:2] != b"QL" and envelope[:4] == u32(size + 1)
    padded = document_for(value) + b"\0"
    if size < 1_000_000:
        assert lz4.block.decompress(envelope[4:], uncompressed_size=size + 1) == padded
    else:
        assert unwrap(envelope)[2] == padded


# --- reading envelopes -------------------------------------------------------


@pytest.mark.parametrize("size", [256, 257, 19_537, 85_073, 999_999, 1_000_000, 1_002_577, 4 * CHUNK, 4 * CHUNK + 1])
def test_own_envelopes_round_trip(size):
    codec = Quarl()
    value = value_for_size(size, "text")
    assert codec.decode_packed(codec.encode_packed(value, True)) == value
    assert Quarl().decode_packed(codec.encode_packed(value, True)) == value


@given(value=st.binary(max_size=3000), text=st.text(max_size=300))
@settings(max_examples=60, deadline=None)
def test_any_value_round_trips_through_an_envelope(value, text):
    obj = {"value": value, "text": text, "n": [len(value), None, True]}
    codec = Quarl()
    assert codec.decode_packed(codec.encode_packed(obj, True)) == obj


TEXT_DOC = document_for(filler(3000))


@pytest.mark.parametrize(
    "value, envelope",
    [
        (filler(50_000), u32(50_011) + lz4_block(document_for(filler(50_000)))),  # from another LZ4 encoder
        # blocks at LZ4's highest ratio
        (bytes(3 * CHUNK), u32(3 * CHUNK + 11) + lz4_block(document_for(bytes(3 * CHUNK)))),
        (bytes(3 * CHUNK), parallel(3 * CHUNK + 11, [record(p) for p in pieces(document_for(bytes(3 * CHUNK)),
                                                                              [CHUNK, CHUNK, CHUNK, 11])])),
        (filler(3000), parallel(3011, [record(p) for p in pieces(TEXT_DOC, [1000, 2000, 11])], tail=b"\xff" * 9)),
        # chunks keep only the bytes their blocks produce, whatever they declare
        (filler(3000), parallel(3011, [record(p, d) for p, d in zip(pieces(TEXT_DOC, [1000, 1000, 1011]),
                                                                     [1500, 1001, None])])),
    ],
    ids=["single block", "single block at top ratio", "parallel at top ratio", "bytes after the last record",
         "declared sizes"],
)
def test_envelopes_built_by_hand_decode(value, envelope):
    assert Quarl().decode_packed(envelope) == value


@given(cuts=st.lists(st.integers(min_value=0, max_value=4000), max_size=8))
@settings(max_examples=40, deadline=None)
def test_parallel_envelope_with_any_chunk_sizes(cuts):
    bounds = sorted(set(cuts) | {0, len(TEXT_DOC)})
    envelope = parallel(len(TEXT_DOC), [record(TEXT_DOC[a:b]) for a, b in zip(bounds, bounds[1:])])
    assert Quarl().decode_packed(envelope) == filler(3000)


CUT_TEXT = filler(25_000).decode()


@pytest.mark.parametrize(
    "envelope",
    [Quarl().encode_packed(CUT_TEXT, True),
     parallel(len(doc(b"\x50" + u32(25_000) + CUT_TEXT.encode())),
              [record(part) for part in pieces(doc(b"\x50" + u32(25_000) + CUT_TEXT.encode()), [7000] * 3 + [4011])])],
    ids=["single-block", "parallel"],
)
def test_cut_envelopes_fail_or_give_the_exact_value(envelope):
    # A block that yields fewer bytes than its size field declares is a failed attempt,
    # never padded out; the codec's buffer holds the previous cut's bytes each time.
    codec = Quarl()
    for cut in range(len(envelope) + 1):
        try:
            value = codec.decode_packed(envelope[:cut])
        except ValueError:
            continue
        assert value == CUT_TEXT, cut


@pytest.mark.parametrize("form", ["single-block", "parallel"])
def test_match_at_offset_zero_shows_no_earlier_output(form):
    # Literals: the document head and "a"; a 40-byte match at offset 0; 16 final literals.
    head = doc(b"\x80" + u32(57), compress_flag=1) + b"a"
    block = bytes([0xCF]) + head + b"\x00\x00" + bytes([40 - 4 - 15]) + b"\xf0\x01" + b"z" * 16
    if form == "single-block":
        wrap = lambda size, b: u32(size) + b  # noqa: E731
    else:
        wrap = lambda size, b: parallel(size, [u32(size) + b])  # noqa: E731
    codec = Quarl()
    secret = document_for(b"\xff" * 200)
    assert codec.decode_packed(wrap(len(secret), lz4_block(secret))) == b"\xff" * 200
    try:
        value = codec.decode_packed(wrap(68, block))
    except QuarlError:
        return  # refusing the match is as good
    assert value == b"a" + bytes(40) + b"z" * 16


def test_envelopes_read_as_plain_documents():
    # decompress=False passes an envelope to the header check.
    with pytest.raises(QuarlError, match="^Invalid QUARL magic number$"):
        Quarl().decode_packed(Quarl().encode_packed(value_for_size(5000), True), decompress=False)
    # An envelope (of another encoder) beginning with the magic is a plain document either way.
    document = document_for(filler(19_537 - BYTES_VALUE_OVERHEAD))
    envelope = u32(len(document)) + lz4_block(document)
    assert envelope[:2] == b"QL"
    with pytest.raises(Exception) as plain:
        Quarl().decode_packed(envelope, decompress=False)
    with pytest.raises(type(plain.value)) as read:
        Quarl().decode_packed(envelope)
    assert str(read.value) == str(plain.value)


@given(data=st.data())
@settings(max_examples=150, deadline=None)
def test_corrupted_envelopes_fail_cleanly(data):
    envelope = bytearray(data.draw(st.sampled_from(
        [u32(len(TEXT_DOC)) + lz4_block(TEXT_DOC),
         parallel(len(TEXT_DOC), [record(p) for p in pieces(TEXT_DOC, [900, 900, 1211])])]
    )))
    for _ in range(data.draw(st.integers(1, 4))):
        envelope[data.draw(st.integers(0, len(envelope) - 1))] = data.draw(st.integers(0, 255))
    try:
        Quarl().decode_packed(bytes(envelope))
    except (ValueError, RecursionError):
        pass


# A hand-made LZ4 block per fault, each in a chunk after the declared total.
def sized(block: bytes, declared: int) -> bytes:
    return u32(declared) + block


CHUNK_FAULTS = [
    (b"", "a block of 0 bytes has no room for its 4-byte size"),
    (b"\x07\x00\x00", "a block of 3 bytes has no room for its 4-byte size"),
    (sized(b"\0\0", 511), "the declared 511 bytes are more than 2 compressed bytes can hold"),
    (sized(b"\0" * 9_000_000, 0x80000000), "the declared 2147483648 bytes are more than an LZ4 block can hold"),
    (sized(b"", 0), "the block is empty"),
    (sized(b"", 10), "the block is empty"),
    (sized(b"\xf0", 100), "the block ends inside a literal length"),
    (sized(b"\xf0\xff", 100), "the block ends inside a literal length"),
    (sized(b"\x50ab", 5), "5 literals run past the end of the block"),
    (sized(b"\x50abcde", 3), "the block holds more than the declared 3 bytes"),
    (sized(b"\x10a\x01\x00\x50abcde", 6), "the block holds more than the declared 6 bytes"),
    (sized(b"\x10a\x01", 10), "the block ends inside a match offset"),
    (sized(b"\x10a\x00\x00\x00", 100), "0 is not a valid match offset"),
    (sized(b"\x10a\x05\x00\x50abcde", 100), "match offset 5 reaches before the start of the chunk"),
    (sized(b"\x1fa\x01\x00", 100), "the block ends inside a match length"),
    (sized(b"\x10a\x01\x00", 100), "the block ends after a match instead of with literals"),
    (sized(b"\x50abcde\x01\x00\x10z", 10), "the block breaks the end-of-block rules"),
]

FAILURES = [
    *[(data, "Buffer too small for QUARL payload") for data in (b"", b"\x01", b"Q")],
    *[(data, "Buffer too small for compressed QUARL data")
      for data in (b"\x00\x00", b"LQ\x00", u32(5), u32(5) + b"\x50ab", u32(0xFFFFFFFF) + b"\x00\x00")],
    (parallel(10, [], count=1), "Invalid chunks count in parallel compression header"),
    (parallel(10, [record(b"abc"), record(b"def")], count=(24 // 4) + 1),
     "Invalid chunks count in parallel compression header"),
    (parallel(10, [record(b"abc"), record(b"def")], count=(24 + 3) // 4, tail=b"\0\0\0"),
     "Unexpected end of data in parallel compression chunk headers"),
    (parallel(10, [u32(0)], count=2, tail=b"\0\0\0"), "Unexpected end of data in parallel compression chunk headers"),
    (u32(10) + u32(1) + u32(10) + b"12345", "Unexpected end of data in parallel compression chunk data"),
    (parallel(5, []), "Decompressed size mismatch: expected 5, got 0"),
    (parallel(11, [record(b"0123456789")]), "Decompressed size mismatch: expected 11, got 10"),
    (parallel(9, [record(b"0123456789")]), "Decompressed size mismatch: expected 9, got 10"),
    # Chunks keep what their blocks produce, not what they declare.
    (parallel(20, [record(b"0123456789", declared=20)]), "Decompressed size mismatch: expected 20, got 10"),
    (parallel(4_000_000, [record(b"x" * 100), u32(5) + b"\x50ab"]),
     "LZ4 chunk decompression failed: 5 literals run past the end of the block"),
    (parallel(0, []), "Decompressed buffer too small for QUARL header"),  # an empty parallel envelope
    *[(parallel(1000, [record]), f"LZ4 chunk decompression failed: {text}") for record, text in CHUNK_FAULTS],
]


@pytest.mark.parametrize("data, message", FAILURES, ids=[f"{i}:{m}" for i, (_, m) in enumerate(FAILURES)])
def test_envelope_failures(data, message):
    codec = Quarl()
    with pytest.raises(QuarlError) as error:
        codec.decode_packed(data)
    assert type(error.value) is ValueError and str(error.value) == message
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


@pytest.mark.parametrize("size", [CHUNK, 4 * CHUNK], ids=["single block", "parallel"])
def test_other_threads_run_during_lz4_work_and_find_the_codec_in_use(size):
    codec = Quarl()
    value = filler(size)
    packed = codec.encode_packed(value, True)
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
            assert codec.decode_packed(packed) == value
            assert codec.encode_packed(value, True) == packed
            if len(refusals) >= 2:
                break
    finally:
        stop.set()
        thread.join()
    assert refusals and set(refusals) == {"Already borrowed"}
