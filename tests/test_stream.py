"""Streams: frame bytes, and the stream decoder's handshake, frame loop, states and buffer."""

import decimal
import random

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from builders import EOS, HANDSHAKE, doc, envelope, exact, frame, lz4_block, nest, u32
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
    written = QuarlStreamEncoder().encode_frame(value, compress=compress)
    assert written == data(value, compress) == header(len(payload), 1, flags) + payload
    assert (payload[:2] != b"QL") == bool(flags)
    assert QuarlStreamDecoder().feed(written) == [value]


def test_encode_errors_pass_through_and_leave_the_encoder_usable():
    encoder = QuarlStreamEncoder()
    with pytest.raises(RecursionError, match=exact("Maximum recursion depth exceeded")):
        encoder.encode_frame(nest(200, []))
    assert encoder.encode_frame(7) == frame(Quarl().encode_packed(7, True))


# --- chunks fed in order ("clear", "reset": calls), each call's values, and the state after --------

V1, V2, V3 = data(1), data({"k": "two"}), data([3.5, None])
ENVELOPED_DOC = envelope(doc("50 05000000" + b"hello".hex()))
PAYLOAD_ERROR = frame(doc("99"))
DEEP = frame(doc("60 01000000" * 200 + "10"))
NOT_FOUND = ValueError("Expected stream handshake 'QM' not found")
BIG_DOC = Quarl().encode_packed("x" * 400, False)
BIG_ENVELOPE = Quarl().encode_packed("x" * 400, True)


def one_chunk(declared: int) -> bytes:
    """A parallel envelope of BIG_DOC in one chunk that declares `declared` bytes."""
    return u32(len(BIG_DOC)) + u32(1) + u32(4 + len(lz4_block(BIG_DOC))) + u32(declared) + lz4_block(BIG_DOC)


def row(id, chunks, outcomes, after, **options):
    return pytest.param(options, chunks, outcomes, after, id=id)


FEED_ROWS = [
    # Handshake, detected (the default).
    row("handshake then frames", [HANDSHAKE + V1 + V2 + EOS + V3], [[1, {"k": "two"}]], (True, True, len(V3))),
    row("no handshake", [V1 + V2], [[1, {"k": "two"}]], (True, False, 0)),
    row("two bytes rule the handshake out", [V1[:2]], [[]], (True, False, 2)),
    row("first frame of 19,793 bytes reads as version 0", [header(19793, 2)],
        [ValueError("Unsupported stream version: 0 (expected 1)")], (False, False, 6)),
    row("version 2 refused and kept pending", [b"QM\x02\x00", V1],
        [ValueError("Unsupported stream version: 2 (expected 1)")] * 2, (False, False, 4 + len(V1))),
    # Handshake required; an empty chunk does not look at the buffer.
    row("required and present", [HANDSHAKE + V1], [[1]], (True, False, 0), expect_handshake=True),
    row("required and missing", [V1[:1], V1[1:], b"", HANDSHAKE], [[], NOT_FOUND, [], NOT_FOUND],
        (False, False, len(V1) + 4), expect_handshake=True),
    # Handshake never looked for: its bytes are a frame header (end-of-stream, or too large).
    row("absent: handshake read as header", [HANDSHAKE + EOS], [[]], (True, True, 0), expect_handshake=False),
    row("absent: handshake read as size", [HANDSHAKE + V1],
        [ValueError("Frame size 85329 exceeds maximum allowed 1000")], (True, False, 0), expect_handshake=False,
        max_frame_size=1000),
    row("absent: frames from the first byte", [V1, V2], [[1], [{"k": "two"}]], (True, False, 0),
        expect_handshake=False),
    # clear() and reset() bring back the state of a new decoder, whatever came before.
    row("clear after end-of-stream", [HANDSHAKE + V1 + EOS + V2, "clear", HANDSHAKE + V2],
        [[1], None, [{"k": "two"}]], (True, False, 0)),
    row("reset inside a frame", [HANDSHAKE + V1 + V2[:-1], "reset", HANDSHAKE + V3], [[1], None, [[3.5, None]]],
        (True, False, 0), expect_handshake=True),
    row("reset, handshake never looked for", [V1 + V2[:-1], "reset", HANDSHAKE + V1],
        [[1], None, ValueError("Frame size 85329 exceeds maximum allowed 1000")], (True, False, 0),
        expect_handshake=False, max_frame_size=1000),
    row("clear after a failure", [PAYLOAD_ERROR, b"x", "clear", HANDSHAKE + V1 + EOS],
        [ValueError("Unknown tag: 0x99")] * 2 + [None, [1]], (True, True, 0)),
    # Size limit: the header alone decides, before every other test.
    row("exactly the limit", [HANDSHAKE + header(10, 2), bytes(9), bytes(1)], [[], [], []], (True, False, 0),
        max_frame_size=10),
    row("one above the limit", [HANDSHAKE + V1 + header(11, 2)],
        [ValueError("Frame size 11 exceeds maximum allowed 10")], (False, False, 0), max_frame_size=10),
    row("limit applies to end-of-stream", [header(5, 0)], [ValueError("Frame size 5 exceeds maximum allowed 0")],
        (False, False, 0), max_frame_size=0),
    row("limit 0 passes empty frames", [HANDSHAKE + header(0, 2) + EOS], [[]], (True, True, 0), max_frame_size=0),
    row("limit 2**64-1", [V1], [[1]], (True, False, 0), max_frame_size=2**64 - 1),
    row("size error mid-stream with expect false", [V1 + header(2**32 - 1)],
        [ValueError("Frame size 4294967295 exceeds maximum allowed 67108864")], (True, False, 0),
        expect_handshake=False),
    row("skip frame between data frames", [HANDSHAKE + V1 + frame(b"junk", 2) + V2], [[1, {"k": "two"}]],
        (True, False, 0)),
    row("skip frame waits for its payload", [frame(b"abcdef", 2)[:-1], b"f"], [[], []], (True, False, 0)),
    # Unknown types wait for the whole frame, then reset the stream.
    row("unknown type raises once complete", [HANDSHAKE + frame(b"abc", 3)[:-1], b"c"],
        [[], ValueError("Unknown frame type: 0x03")], (False, False, 0)),
    row("unknown type 7", [V1 + frame(b"", 7) + V2], [ValueError("Unknown frame type: 0x07")], (False, False, 0)),
    row("unknown type 171", [frame(b"z", 171)], [ValueError("Unknown frame type: 0xab")], (True, False, 0),
        expect_handshake=False),
    # Flags: bit 0 asks for the envelope step, the other bits mean nothing.
    *[row(f"envelope, flags {flags:#x}", [frame(ENVELOPED_DOC, 1, flags)], [ValueError("Invalid QUARL magic number")],
          (True, False, 6 + len(ENVELOPED_DOC))) for flags in (0, 0xFE)],
    *[row(f"envelope, flags {flags:#x}", [frame(ENVELOPED_DOC, 1, flags)], [["hello"]], (True, False, 0))
      for flags in (1, 0xFF)],
    *[row(f"plain document, flags {flags:#x}", [frame(doc("31"), 1, flags)], [[1]], (True, False, 0))
      for flags in (1, 0xFE)],
    # A payload error leaves the failing frame in place, and keeps its type.
    row("payload error after two good frames", [HANDSHAKE + V1 + V2 + PAYLOAD_ERROR, b"", b"x"],
        [ValueError("Unknown tag: 0x99"), [], ValueError("Unknown tag: 0x99")], (True, False, len(PAYLOAD_ERROR) + 1)),
    row("payload recursion error", [DEEP], [RecursionError("Maximum recursion depth exceeded during QUARL decoding")],
        (True, False, len(DEEP))),
    # A failed frame is remembered: later feeds raise its error again at once and only count their bytes.
    row("payload error remembered across feeds", [PAYLOAD_ERROR, b"x", V1],
        [ValueError("Unknown tag: 0x99")] * 3, (True, False, len(PAYLOAD_ERROR) + 1 + len(V1))),
    row("handshake failure remembered", [V1, V2], [NOT_FOUND] * 2, (False, False, len(V1) + len(V2)),
        expect_handshake=True),
    # The limit holds for the document of an envelope too, from its size field or its chunks' sizes.
    row("enveloped document above the limit", [frame(BIG_ENVELOPE, 1, 1)],
        [ValueError(f"Decompressed frame size {len(BIG_DOC)} exceeds maximum allowed {len(BIG_ENVELOPE)}")],
        (True, False, 6 + len(BIG_ENVELOPE)), max_frame_size=len(BIG_ENVELOPE)),
    row("enveloped document at the limit", [frame(BIG_ENVELOPE, 1, 1)], [["x" * 400]], (True, False, 0),
        max_frame_size=len(BIG_DOC)),
    row("parallel envelope above the limit", [frame(one_chunk(len(BIG_DOC)), 1, 1)],
        [ValueError(f"Decompressed frame size {len(BIG_DOC)} exceeds maximum allowed {len(BIG_DOC) - 1}")],
        (True, False, 6 + len(one_chunk(0))), max_frame_size=len(BIG_DOC) - 1),
    row("parallel chunks claiming more than the limit", [frame(one_chunk(len(BIG_DOC) + 100), 1, 1)],
        [ValueError(f"Decompressed frame size {len(BIG_DOC) + 100} exceeds maximum allowed {len(BIG_DOC)}")],
        (True, False, 6 + len(one_chunk(0))), max_frame_size=len(BIG_DOC)),
    # End of stream: acted on at once, its payload skipped as far as it has arrived.
    row("end-of-stream acts before its payload arrives", [HANDSHAKE + header(3, 0)], [[]], (True, True, 0)),
    row("end-of-stream skips its own payload", [header(3, 0) + b"abc" + b"xy"], [[]], (True, True, 2)),
    row("after end-of-stream nothing is parsed", [HANDSHAKE + EOS, V1, frame(b"", 9), b""], [[], [], [], []],
        (True, True, len(V1) + 6)),
]


@pytest.mark.parametrize("options, chunks, outcomes, after", FEED_ROWS)
def test_feed(options, chunks, outcomes, after):
    decoder = QuarlStreamDecoder(**options)
    for chunk, outcome in zip(chunks, outcomes, strict=True):
        if isinstance(chunk, str):
            assert getattr(decoder, chunk)() is None
        elif isinstance(outcome, Exception):
            with pytest.raises(type(outcome), match=exact(str(outcome))):
                decoder.feed(chunk)
        else:
            assert decoder.feed(chunk) == outcome
    assert state(decoder) == after


def test_callback_cannot_reach_the_decoder_while_it_feeds(monkeypatch):
    decoder, stream = QuarlStreamDecoder(), data(decimal.Decimal("1.5")) + V1
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


# --- any chunking gives each value on the call completing its frame ---------------------------

json_like = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.floats(allow_nan=False)
    | st.text(max_size=20) | st.binary(max_size=20) | st.dates() | st.uuids(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=12,
)


@st.composite
def documents(draw):
    """A value and its compress flag; pads make single-block or, rarely, parallel envelopes (1,000,000+ bytes)."""
    value, pad = draw(json_like), draw(st.sampled_from([0] * 6 + [300, 20_000, 70_000] * 2 + [1_000_500]))
    if pad:
        value = [value, random.Random(draw(st.integers(0, 99))).randbytes(pad // 2) + b"r" * (pad - pad // 2)]
    return value, draw(st.booleans())


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(documents(), max_size=8), st.lists(st.integers(1, 70_000), min_size=1, max_size=12),
       st.booleans())
@example([(1, False), ({"k": "two"}, False), ([3.5, None], True)], [1], True)
# Cuts that never meet a frame's end make the decoder move its pending bytes to the front; not while
# a frame longer than what was read before it is pending.
@example([({"k": "v" * 100}, False)] * 400 + [(b"p" * 1_000_000, True)], [999], False)
@example([({"k": "v" * 100}, False)] * 300 + [(b"p" * 200_000, False)], [30_000], False)
def test_any_chunking_gives_the_same_values(docs, cuts, with_handshake):
    encoder, ends = QuarlStreamEncoder(), {}
    stream = bytearray(HANDSHAKE if with_handshake else b"")
    for value, compress in docs:
        stream += encoder.encode_frame(value, compress=compress)
        ends[len(stream)] = value
    stream += EOS
    boundaries = [0, len(HANDSHAKE) if with_handshake else 0, *ends, len(stream)]
    scale = 1 + len(stream) // 100_000  # so that megabyte streams take few calls
    decoder, fed, i = QuarlStreamDecoder(), 0, 0
    while fed < len(stream):
        before, fed = fed, min(len(stream), fed + cuts[i % len(cuts)] * scale)
        i += 1
        assert decoder.feed(bytes(stream[before:fed])) == [v for end, v in ends.items() if before < end <= fed]
        assert decoder.pending_bytes == fed - max(b for b in boundaries if b <= fed)
        assert decoder.handshake_received == (fed >= (4 if with_handshake else 2))
        assert decoder.is_eos == (fed == len(stream))


def test_bytes_after_end_of_stream_are_counted_not_kept():
    done = run_python("""
        import resource
        from quarl import QuarlStreamDecoder
        decoder = QuarlStreamDecoder()
        decoder.feed(b"QM\\x01\\x00" + bytes(6))
        chunk = bytes(8 << 20)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(32):
            assert decoder.feed(chunk) == []
        print(decoder.pending_bytes, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    assert done.returncode == 0, done.stderr
    pending, grown_mib = map(int, done.stdout.split())
    assert pending == 32 * (8 << 20) and grown_mib < 32
