"""Fuzz targets shared by the atheris drivers and the corpus replay in the test suite.

Each target takes raw bytes and either returns normally or raises AssertionError for a
real fault. Every exception the codec may legitimately raise on hostile input is caught
here; anything else escapes and counts as a finding.
"""

import decimal
import random
import struct

from quarl import Quarl, QuarlStreamDecoder, _quarl

# What malformed input may raise: the codec's own errors (ValueError, which covers
# UnicodeDecodeError), the depth limit, and whatever the special-type constructors
# raise for bad text (uuid.UUID and fromisoformat: ValueError; Decimal: InvalidOperation).
EXPECTED_DECODE_ERRORS = (ValueError, RecursionError, decimal.InvalidOperation)

_codec = Quarl()


def _outcome(action, data: bytes) -> tuple[type, str] | None:
    try:
        action(data)
    except EXPECTED_DECODE_ERRORS as error:
        return type(error), str(error)
    return None


def decode_target(data: bytes) -> None:
    """decode_packed with both values of decompress. Without decompression, the inspect
    tool's walk of the same document must reach the decoder's verdict, error and message."""
    if not data:
        return
    decompress = bool(data[0] & 1)
    decoded = _outcome(lambda d: _codec.decode_packed(d, decompress=decompress), data[1:])
    if not decompress:
        listed = _outcome(lambda d: _quarl._list_document(d, data[0] >> 1, _drop_rows), data[1:])
        assert listed == decoded, (listed, decoded)


def _drop_rows(rows: bytes) -> None:
    assert len(rows) % 29 == 0


def _feed_all(decoder, payload: bytes, rng, max_frame_size: int) -> tuple[list, bool]:
    """Feeds `payload` in random chunks; returns the values and whether anything raised."""
    values, failed, pos = [], False, 0
    while pos < len(payload):
        step = rng.randint(1, 64) if rng else len(payload)
        try:
            got = decoder.feed(payload[pos : pos + step])
        except EXPECTED_DECODE_ERRORS:
            got, failed = [], True
        else:
            # After a feed that succeeds, at most the unfinished frame (or the first
            # bytes of a handshake) is kept.
            assert decoder.is_eos or decoder.pending_bytes < 6 + max_frame_size or (
                not decoder.handshake_received and decoder.pending_bytes < 4
            ), (decoder.pending_bytes, max_frame_size)
        assert isinstance(got, list)
        values += got
        pos += step
        assert 0 <= decoder.pending_bytes <= len(payload)
    return values, failed


def stream_target(data: bytes) -> None:
    """feed() with random constructor options and the input cut into random chunks.

    When neither the chunked feed nor a single feed of the whole input raises, both
    must yield the same values: chunking never changes what a stream decodes to.
    """
    if len(data) < 3:
        return
    options, seed, payload = data[0], data[1], data[2:]
    expect = (None, True, False)[options % 3]
    max_frame_size = (0, 16, 4096, 1 << 26, 2**64 - 1)[(options >> 2) % 5]

    def decoder():
        return QuarlStreamDecoder(max_frame_size=max_frame_size, expect_handshake=expect)

    chunked = decoder()
    values, failed = _feed_all(chunked, payload, random.Random(seed), max_frame_size)
    if not failed:
        whole, whole_failed = _feed_all(decoder(), payload, None, max_frame_size)
        assert whole_failed or _same(values, whole), (values, whole)
    if seed & 1:
        chunked.clear()
        assert chunked.pending_bytes == 0 and not chunked.is_eos


class _Reader:
    """Draws structured values from fuzz bytes."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")


# --- Objects whose callbacks fight the encoder -------------------------------------------


class _Model:
    """A model object: written as the dict of its attributes (in a batch when nine or more share a list)."""

    def __init__(self, fields):
        self.__dict__.update(fields)


class _Reenter:
    """isoformat() encodes again: on a fresh codec (fine), or on the codec that is encoding (refused)."""

    __slots__ = ("value", "same")

    def __init__(self, value, same):
        self.value = value
        self.same = same

    def isoformat(self):
        codec = _current["codec"] if self.same else Quarl()
        try:
            return codec.encode_packed(self.value, False).hex()
        except RuntimeError:
            return "borrowed"


class _Interrupt:
    """str() raises KeyboardInterrupt, which must reach the caller."""

    __slots__ = ()

    def __str__(self):
        raise KeyboardInterrupt


class _Shapeshifter:
    """Turns into a _Model (and drops its class) while the encoder asks it for attributes."""

    def __init__(self, fields):
        self.__dict__.update(fields)

    def __getattr__(self, name):
        self.__class__ = _Model
        raise AttributeError(name)


class _Mutator:
    """str() changes the container it sits in."""

    __slots__ = ("target",)

    def __init__(self):
        self.target = None

    def __str__(self):
        target = self.target
        if isinstance(target, list) and target:
            target.pop()
        elif isinstance(target, dict):
            target[len(target) + 1000] = None
        return "mutated"


_current = {"codec": None}


def _adopt(container):
    """Mutators mutate the container that holds them."""
    items = container.values() if isinstance(container, dict) else container
    for item in items:
        if isinstance(item, _Mutator):
            item.target = container
    return container


def _value(reader: _Reader, depth: int, hostile: bool = False):
    kinds = (19 if hostile else 15) if depth < 6 else 8
    kind = reader.byte() % kinds
    if kind == 0:
        return None
    if kind == 1:
        return bool(reader.byte() & 1)
    if kind == 2:
        return struct.unpack("<q", reader.take(8))[0]
    if kind == 3:
        return int.from_bytes(reader.take(10), "little", signed=True)
    if kind == 4:
        return struct.unpack("<d", reader.take(8))[0]
    if kind == 5:
        return reader.take(reader.byte() % 16).decode("utf-8", "replace")
    if kind == 6:
        return reader.take(reader.byte() % 16)
    if kind == 7:
        return decimal.Decimal(struct.unpack("<i", reader.take(4))[0]).scaleb(-(reader.byte() % 5))
    if kind == 12:
        # Large enough to be written by reference rather than copied.
        piece = reader.take(1 + reader.byte() % 8)
        block = piece * ((1 + reader.byte()) * 1024 // len(piece) + 1)
        return block.decode("latin-1") if reader.byte() & 1 else block
    if kind == 13:
        # Runs of floats broken by other items now and then.
        x = struct.unpack("<d", reader.take(8))[0]
        count, every = reader.byte() * 8, 1 + reader.byte()
        return [i if i % every == 0 else x for i in range(count)]
    if kind == 14:
        # A list of model objects, long enough for the batch, with fields in varying orders.
        names = ["a", "b", "c", "d"][: 1 + reader.byte() % 4]
        count = 8 + reader.byte() % 6
        items = []
        for _ in range(count):
            order = names if reader.byte() % 8 else names[::-1]
            # Fields are drawn well below the list, so that lists of models do not nest deeply and
            # each input stays quick to run.
            items.append(_Model({name: _value(reader, depth + 4, hostile) for name in order}))
        return _adopt(items)
    if kind == 15:
        return _Reenter(_value(reader, depth + 1), bool(reader.byte() & 1))
    if kind == 16:
        return _Interrupt() if reader.byte() % 4 == 0 else _Mutator()
    if kind == 17:
        return _Shapeshifter({"s": _value(reader, depth + 1, hostile)})
    if kind == 18:
        return _Mutator()
    size = reader.byte() % 5
    if kind == 8:
        return _adopt([_value(reader, depth + 1, hostile) for _ in range(size)])
    if kind == 9:
        return tuple(_value(reader, depth + 1, hostile) for _ in range(size))
    if kind == 10:
        return _adopt({reader.take(reader.byte() % 6).decode("latin-1"): _value(reader, depth + 1, hostile)
                       for _ in range(size)})
    return {int(b) for b in reader.take(size)}


def _plain(value):
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**63 else str(value)
    if isinstance(value, (list, tuple, set)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, _Model):
        return _plain(value.__dict__)
    if isinstance(value, _Reenter):
        return Quarl().encode_packed(value.value, False).hex()
    return value


def _same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, decimal.Decimal) and isinstance(b, decimal.Decimal):
        return str(a) == str(b)
    return type(a) is type(b) and a == b


# Long-lived codecs carry every key they ever met; replacing the shared one now and
# then keeps documents small enough to fuzz fast while still exercising a table that
# outlives many documents (a full table is left to the unit tests).
_SHARED_CODEC_USES = 1000
_shared = {"codec": Quarl(), "uses": 0}


def _codec_for(flags: int) -> Quarl:
    if not flags & 2:
        return Quarl()
    _shared["uses"] += 1
    if _shared["uses"] > _SHARED_CODEC_USES:
        _shared.update(codec=Quarl(), uses=0)
    return _shared["codec"]


def roundtrip_target(data: bytes) -> None:
    """Structured values encode and decode back to the same plain data. With flag 8 the values also
    hold objects whose callbacks re-enter, raise KeyboardInterrupt, change their class or mutate the
    containers being written: the encode must then either fail with the error such code causes or
    give a document that decodes, and never crash."""
    reader = _Reader(data)
    flags = reader.byte()
    hostile = bool(flags & 8)
    value = _value(reader, 0, hostile)
    codec = _codec_for(flags)
    compress = bool(flags & 1)
    _current["codec"] = codec
    try:
        if flags & 4:
            # The same value as one data frame, through a stream decoder.
            frame = codec.encode_frame(value, compress=compress)
        else:
            document = codec.encode_packed(value, compress)
    except (RuntimeError, KeyboardInterrupt, RecursionError):
        if hostile:
            return
        raise
    finally:
        _current["codec"] = None
    if flags & 4:
        # A lone frame, without the handshake: a decoder that looks for one would take a frame
        # whose length bytes read "QM" for it.
        values = QuarlStreamDecoder(expect_handshake=False).feed(frame)
        assert len(values) == 1, values
        back = values[0]
    else:
        back = _codec.decode_packed(document)
    if not hostile:
        assert _same(back, _plain(value)), (value, back)


TARGETS = {"decode": decode_target, "stream": stream_target, "roundtrip": roundtrip_target}
