"""Streams: frame bytes, and the stream decoder's handshake, frame loop, states and buffer."""

import decimal
import inspect
import random
import socket
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from builders import EOS, HANDSHAKE, doc, envelope, exact, frame, lz4_block, u32
from builders import frame_header as header
from conftest import run_python
from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder


def data(value, compress: bool = False) -> bytes:
    """A data frame written by a fresh codec."""
    return Quarl().encode_frame(value, compress=compress)


def state(decoder: QuarlStreamDecoder) -> tuple[bool, bool, int]:
    return decoder.handshake_received, decoder.is_eos, decoder.pending_bytes


# --- writing frames ----------------------------------------------------------


# A data frame is its 6-byte header, flagged 1 when the payload is an envelope, then the payload.
@pytest.mark.parametrize(
    "value, compress, flags",
    [("abc" * 200, False, 0), ("abc" * 200, True, 1), ("y" * 245, True, 0), ("y" * 246, True, 1),
     ({"k": "x" * 21}, True, 0)],
    ids=["not asked", "asked", "256 bytes stay plain", "257 bytes compressed", "small document, compression asked"],
)
def test_frame_holds_the_packed_document(value, compress, flags):
    payload = Quarl().encode_packed(value, compress)
    assert data(value, compress=compress) == header(len(payload), 1, flags) + payload
    assert (payload[:2] != b"QL") == bool(flags)


def test_both_classes_write_the_same_frames_which_decode_alone_in_any_order():
    values = [{"a": 1}, {"b": [1.5, None]}, {"a": "q" * 400}]
    codec, encoder = Quarl(), QuarlStreamEncoder()
    frames = [encoder.encode_frame(v) for v in values]
    assert [codec.encode_frame(v) for v in values] == frames
    assert [QuarlStreamDecoder().feed(f) for f in reversed(frames)] == [[v] for v in reversed(values)]


def test_encode_errors_pass_through_and_leave_the_encoder_usable():
    encoder = QuarlStreamEncoder()
    deep = []
    for _ in range(200):
        deep = [deep]
    with pytest.raises(RecursionError, match=exact("Maximum recursion depth exceeded")):
        encoder.encode_frame(deep)
    assert encoder.encode_frame(7) == frame(Quarl().encode_packed(7, True))


# --- the frame loop: chunks fed in order, what each call gives back, and the decoder's
# (handshake_received, is_eos, pending_bytes) after -----------------------------------


@dataclass(frozen=True)
class Raises:
    message: str
    type: type = ValueError


V1, V2, V3 = data(1), data({"k": "two"}), data([3.5, None])
ENVELOPED_DOC = envelope(doc("50 05000000" + b"hello".hex()))
PAYLOAD_ERROR = frame(doc("99"))
DEEP = frame(doc("60 01000000" * 200 + "10"))
NOT_FOUND = Raises("Expected stream handshake 'QM' not found")
BIG_DOC = Quarl().encode_packed("x" * 400, False)
BIG_ENVELOPE = Quarl().encode_packed("x" * 400, True)
BIG_PARALLEL = u32(len(BIG_DOC)) + u32(1) + u32(4 + len(lz4_block(BIG_DOC))) + u32(len(BIG_DOC)) + lz4_block(BIG_DOC)
OVERCLAIMING_PARALLEL = (u32(len(BIG_DOC)) + u32(1) + u32(4 + len(lz4_block(BIG_DOC))) + u32(len(BIG_DOC) + 100)
                         + lz4_block(BIG_DOC))


def row(id, chunks, outcomes, after, **options):
    return pytest.param(options, chunks, outcomes, after, id=id)


FEED_ROWS = [
    # Handshake, detected (the default).
    row("handshake then frames", [HANDSHAKE + V1 + V2 + EOS], [[1, {"k": "two"}]], (True, True, 0)),
    row("no handshake", [V1 + V2], [[1, {"k": "two"}]], (True, False, 0)),
    row("handshake split 51 | 4D 01 00", [b"Q", b"M\x01\x00", V1], [[], [], [1]], (True, False, 0)),
    row("magic with 2 bytes waits", [b"QM"], [[]], (False, False, 2)),
    row("magic with 3 bytes waits", [b"Q", b"M\x01"], [[], []], (False, False, 3)),
    row("one byte decides nothing", [V1[:1]], [[]], (False, False, 1)),
    row("two bytes rule the handshake out", [V1[:2]], [[]], (True, False, 2)),
    row("first frame of 19,793 bytes reads as version 0", [header(19793, 2)],
        [Raises("Unsupported stream version: 0 (expected 1)")], (False, False, 6)),
    row("version 2 refused and kept pending", [b"QM\x02\x00", V1],
        [Raises("Unsupported stream version: 2 (expected 1)")] * 2, (False, False, 4 + len(V1))),
    # Handshake required; an empty chunk does not look at the buffer.
    row("required and present", [HANDSHAKE + V1], [[1]], (True, False, 0), expect_handshake=True),
    row("required and missing", [V1[:1], V1[1:], b"", HANDSHAKE], [[], NOT_FOUND, [], NOT_FOUND],
        (False, False, len(V1) + 4), expect_handshake=True),
    # Handshake never looked for: its bytes are a frame header, here an
    # end-of-stream frame declaring 0x14D51 bytes, or a frame too large.
    row("absent: handshake read as header", [HANDSHAKE + EOS], [[]], (True, True, 0), expect_handshake=False),
    row("absent: handshake read as size", [HANDSHAKE + V1], [Raises("Frame size 85329 exceeds maximum allowed 1000")],
        (True, False, 0), expect_handshake=False, max_frame_size=1000),
    row("absent: frames from the first byte", [V1, V2], [[1], [{"k": "two"}]], (True, False, 0),
        expect_handshake=False),
    # Size limit: the header alone decides, before every other test.
    row("exactly the limit", [HANDSHAKE + header(10, 2), bytes(9), bytes(1)], [[], [], []], (True, False, 0),
        max_frame_size=10),
    row("one above the limit", [HANDSHAKE + V1 + header(11, 2)], [Raises("Frame size 11 exceeds maximum allowed 10")],
        (False, False, 0), max_frame_size=10),
    row("limit before type", [header(1, 9)], [Raises("Frame size 1 exceeds maximum allowed 0")], (False, False, 0),
        max_frame_size=0),
    row("limit applies to end-of-stream", [header(5, 0)], [Raises("Frame size 5 exceeds maximum allowed 0")],
        (False, False, 0), max_frame_size=0),
    row("limit 0 passes empty frames", [HANDSHAKE + header(0, 2) + EOS], [[]], (True, True, 0), max_frame_size=0),
    row("limit 2**64-1", [V1], [[1]], (True, False, 0), max_frame_size=2**64 - 1),
    row("size error mid-stream with expect false", [V1 + header(2**32 - 1)],
        [Raises("Frame size 4294967295 exceeds maximum allowed 67108864")], (True, False, 0), expect_handshake=False),
    # Skip frames.
    row("skip frame between data frames", [HANDSHAKE + V1 + frame(b"junk", 2) + V2], [[1, {"k": "two"}]],
        (True, False, 0)),
    row("skip frame waits for its payload", [frame(b"abcdef", 2)[:-1], b"f"], [[], []], (True, False, 0)),
    # Unknown types wait for the whole frame, then reset the stream.
    row("unknown type raises once complete", [HANDSHAKE + frame(b"abc", 3)[:-1], b"c"],
        [[], Raises("Unknown frame type: 0x03")], (False, False, 0)),
    row("unknown type 7", [V1 + frame(b"", 7) + V2], [Raises("Unknown frame type: 0x07")], (False, False, 0)),
    row("unknown type 171", [frame(b"z", 171)], [Raises("Unknown frame type: 0xab")], (True, False, 0),
        expect_handshake=False),
    row("unknown type 255", [HANDSHAKE + frame(b"", 255)], [Raises("Unknown frame type: 0xff")], (False, False, 0),
        expect_handshake=True),
    # Flags: bit 0 asks for the envelope step, the other bits mean nothing.
    *[row(f"envelope, flags {flags:#x}", [frame(ENVELOPED_DOC, 1, flags)], [Raises("Invalid QUARL magic number")],
          (True, False, 6 + len(ENVELOPED_DOC))) for flags in (0, 0xFE)],
    *[row(f"envelope, flags {flags:#x}", [frame(ENVELOPED_DOC, 1, flags)], [["hello"]], (True, False, 0))
      for flags in (1, 0xFF)],
    *[row(f"plain document, flags {flags:#x}", [frame(doc("31"), 1, flags)], [[1]], (True, False, 0))
      for flags in (1, 0xFE)],
    # A payload error leaves the failing frame in place, and keeps its type.
    row("payload error after two good frames", [HANDSHAKE + V1 + V2 + PAYLOAD_ERROR, b"", b"x"],
        [Raises("Unknown tag: 0x99"), [], Raises("Unknown tag: 0x99")], (True, False, len(PAYLOAD_ERROR) + 1)),
    row("payload recursion error", [DEEP], [Raises("Maximum recursion depth exceeded during QUARL decoding",
                                                   RecursionError)], (True, False, len(DEEP))),
    # A failed frame is remembered: later feeds raise its error again at once, and only count
    # their bytes, until clear(); an unchanged handshake failure likewise.
    row("payload error remembered across feeds", [PAYLOAD_ERROR, b"x", V1],
        [Raises("Unknown tag: 0x99")] * 3, (True, False, len(PAYLOAD_ERROR) + 1 + len(V1))),
    row("handshake failure remembered", [V1, V2], [NOT_FOUND] * 2, (False, False, len(V1) + len(V2)),
        expect_handshake=True),
    # The limit holds for the decompressed document too, from the envelope's declared size,
    # in either envelope form; a plain document is its frame.
    row("enveloped document above the limit", [frame(BIG_ENVELOPE, 1, 1)],
        [Raises(f"Decompressed frame size {len(BIG_DOC)} exceeds maximum allowed {len(BIG_ENVELOPE)}")],
        (True, False, 6 + len(BIG_ENVELOPE)), max_frame_size=len(BIG_ENVELOPE)),
    row("enveloped document at the limit", [frame(BIG_ENVELOPE, 1, 1)], [["x" * 400]], (True, False, 0),
        max_frame_size=len(BIG_DOC)),
    row("parallel envelope above the limit", [frame(BIG_PARALLEL, 1, 1)],
        [Raises(f"Decompressed frame size {len(BIG_DOC)} exceeds maximum allowed {len(BIG_DOC) - 1}")],
        (True, False, 6 + len(BIG_PARALLEL)), max_frame_size=len(BIG_DOC) - 1),
    row("parallel chunks claiming more than the limit", [frame(OVERCLAIMING_PARALLEL, 1, 1)],
        [Raises(f"Decompressed frame size {len(BIG_DOC) + 100} exceeds maximum allowed {len(BIG_DOC)}")],
        (True, False, 6 + len(OVERCLAIMING_PARALLEL)), max_frame_size=len(BIG_DOC)),
    # End of stream.
    row("values before end-of-stream are returned", [HANDSHAKE + V1 + V2 + EOS + V3], [[1, {"k": "two"}]],
        (True, True, len(V3))),
    row("end-of-stream acts before its payload arrives", [HANDSHAKE + header(3, 0)], [[]], (True, True, 0)),
    row("end-of-stream skips its own payload", [header(3, 0) + b"abc" + b"xy"], [[]], (True, True, 2)),
    row("end-of-stream declaring more than pending", [header(100, 0) + bytes(10), bytes(5)], [[], []],
        (True, True, 5)),
    row("after end-of-stream nothing is parsed", [HANDSHAKE + EOS, V1, frame(b"", 9), b""], [[], [], [], []],
        (True, True, len(V1) + 6)),
]


@pytest.mark.parametrize("options, chunks, outcomes, after", FEED_ROWS)
def test_feed(options, chunks, outcomes, after):
    decoder = QuarlStreamDecoder(**options)
    for chunk, outcome in zip(chunks, outcomes, strict=True):
        if isinstance(outcome, Raises):
            with pytest.raises(outcome.type, match=exact(outcome.message)):
                decoder.feed(chunk)
        else:
            assert decoder.feed(chunk) == outcome
    assert state(decoder) == after


@pytest.mark.parametrize(
    "options, start, initial",
    [({}, HANDSHAKE, (False, False, 0)), ({"expect_handshake": True}, HANDSHAKE, (False, False, 0)),
     ({"expect_handshake": False}, b"", (True, False, 0))],
)
@pytest.mark.parametrize("tail", [EOS + V2, V2[:-1]], ids=["after end-of-stream", "partial frame"])
def test_initial_state_comes_back_with_clear_and_reset(options, start, initial, tail):
    decoder = QuarlStreamDecoder(**options)
    assert state(decoder) == initial
    for back_to_start in (decoder.clear, decoder.reset):
        assert decoder.feed(start + V1 + tail) == [1]
        assert decoder.is_eos == (tail[:6] == EOS)
        assert back_to_start() is None
        assert state(decoder) == initial
    assert decoder.feed(start + V2) == [{"k": "two"}]


def test_one_byte_at_a_time_each_value_on_the_call_that_completes_it():
    stream = HANDSHAKE + V1 + V2 + V3 + EOS
    ends = {4 + len(V1): [1], 4 + len(V1) + len(V2): [{"k": "two"}], len(stream) - 6: [[3.5, None]]}
    decoder = QuarlStreamDecoder()
    for fed in range(1, len(stream) + 1):
        assert decoder.feed(stream[fed - 1 : fed]) == ends.get(fed, []), fed
        assert decoder.handshake_received == (fed >= 4)
        assert decoder.is_eos == (fed == len(stream))
    assert decoder.pending_bytes == 0


def test_bytes_subclass_is_accepted():
    assert QuarlStreamDecoder().feed(type("Chunk", (bytes,), {})(HANDSHAKE + V1)) == [1]


def test_callback_cannot_reach_the_decoder_while_it_feeds(monkeypatch):
    decoder = QuarlStreamDecoder()
    stream = data(decimal.Decimal("1.5")) + V1
    real_decimal, seen = decimal.Decimal, []

    def hook(text):
        for attempt in (lambda: decoder.feed(V1), decoder.clear, lambda: decoder.pending_bytes):
            with pytest.raises(RuntimeError) as info:
                attempt()
            seen.append(str(info.value))
        return real_decimal(text)

    monkeypatch.setattr(decimal, "Decimal", hook)
    assert decoder.feed(stream) == [real_decimal("1.5"), 1]
    assert seen == ["Already borrowed", "Already borrowed", "Already mutably borrowed"]
    assert decoder.pending_bytes == 0


@pytest.mark.parametrize("size", [19537, 85073])
def test_envelope_whose_size_field_begins_like_the_document_magic(size):
    """19,537 is 0x4C51: the little-endian size field of the envelope would start with "QL"."""
    base = len(Quarl().encode_packed(b"", False))
    value = b"m" * (size - base)
    assert len(Quarl().encode_packed(value, False)) == size
    stream = HANDSHAKE + data(value, compress=True) + data(value, compress=False) + EOS
    assert stream[4 + 5] == 1
    assert QuarlStreamDecoder().feed(stream) == [value, value]


# --- any chunking gives the same values, each on the call completing its frame, and
# pending_bytes always counts from the last complete frame ------------------------------

json_like = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.floats(allow_nan=False)
    | st.text(max_size=20) | st.binary(max_size=20) | st.dates() | st.uuids(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=12,
)


@st.composite
def documents(draw):
    """A value and its compress flag; pads make single-block or, rarely, parallel envelopes (1,000,000+ bytes)."""
    value, compress = draw(json_like), draw(st.booleans())
    pad = draw(st.sampled_from([0, 0, 300, 20_000, 70_000]))
    if pad and draw(st.integers(0, 7)) == 0:
        pad = 1_000_500
    if pad:
        noisy = random.Random(draw(st.integers(0, 2**32 - 1))).randbytes(pad // 2)
        value = [value, noisy + b"r" * (pad - pad // 2)]
    return value, compress


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(documents(), max_size=8), st.lists(st.integers(1, 70_000), min_size=1, max_size=12),
       st.booleans())
def test_any_chunking_gives_the_same_values(docs, cuts, with_handshake):
    encoder = QuarlStreamEncoder()
    stream = bytearray(HANDSHAKE if with_handshake else b"")
    ends = {}
    for value, compress in docs:
        stream += encoder.encode_frame(value, compress=compress)
        ends[len(stream)] = value
    stream += EOS
    boundaries = [0, len(HANDSHAKE) if with_handshake else 0, *ends, len(stream)]

    # Cuts grow with the stream so that megabyte streams take few calls.
    scale = 1 + len(stream) // 100_000
    decoder = QuarlStreamDecoder()
    fed, i = 0, 0
    while fed < len(stream):
        before, fed = fed, min(len(stream), fed + cuts[i % len(cuts)] * scale)
        i += 1
        expected = [v for end, v in ends.items() if before < end <= fed]
        assert decoder.feed(bytes(stream[before:fed])) == expected
        assert decoder.pending_bytes == fed - max(b for b in boundaries if b <= fed)
    assert decoder.is_eos


# --- memory and transport ----------------------------------------------------


def test_bytes_after_end_of_stream_are_counted_not_kept():
    code = """
        import resource
        from quarl import QuarlStreamDecoder
        decoder = QuarlStreamDecoder()
        decoder.feed(b"QM\\x01\\x00" + bytes(6))
        chunk = bytes(8 << 20)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(32):
            assert decoder.feed(chunk) == []
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(decoder.pending_bytes, grown // 1024)
    """
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    pending, grown_mib = map(int, done.stdout.split())
    assert pending == 32 * (8 << 20) and grown_mib < 32


def message(i: int):
    """The i-th value of the transport test: small, compressed and one parallel-sized."""
    import datetime
    import uuid

    if i == 18:
        return {"big": bytes(range(256)) * 4000}
    body = {"seq": i, "at": datetime.datetime(2024, 1, 1, i % 24, tzinfo=datetime.timezone.utc),
            "id": uuid.UUID(int=i), "text": "w" * (i * 37 % 900)}
    return [body] * (i % 3 + 1)


def test_stream_over_a_socket_in_uneven_writes(tmp_path):
    count = 60
    writer_code = inspect.getsource(message) + textwrap.dedent(f"""
        import random, socket, sys
        from quarl import QuarlStreamEncoder
        sock = socket.socket(fileno=int(sys.argv[1]))
        encoder = QuarlStreamEncoder()
        rng = random.Random(3)
        pending = bytearray(encoder.get_handshake())
        for i in range({count}):
            pending += encoder.encode_frame(message(i), compress=i % 2 == 0)
            while len(pending) > 4096 or (i == {count} - 1 and pending):
                n = rng.choice([1, 5, 13, 700, 4099, 65537])
                sock.sendall(pending[:n])
                del pending[:n]
        sock.sendall(encoder.get_eos_frame())
        sock.close()
    """)
    reader, writer_end = socket.socketpair()
    with reader:
        writer = subprocess.Popen([sys.executable, "-c", writer_code, str(writer_end.fileno())],
                                  pass_fds=[writer_end.fileno()], cwd=tmp_path)
        writer_end.close()
        decoder = QuarlStreamDecoder(expect_handshake=True)
        values, reads = [], 0
        # Reads smaller than the stream (about 40 KB), however fast the writer is.
        while chunk := reader.recv(8192):
            reads += 1
            values += decoder.feed(chunk)
        assert writer.wait(timeout=60) == 0
    assert reads > 1
    assert decoder.is_eos and decoder.pending_bytes == 0
    assert values == [message(i) for i in range(count)]
