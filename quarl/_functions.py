"""Module-level calls: `dumps`, `loads`, `dump`, `load` and `iter_stream`.

A codec object serves one call at a time (a second, overlapping call on it raises
`RuntimeError`), so these functions never share one. They take a codec from a pool of free
ones and put it back after the call. `list.pop` and `list.append` are atomic, so any number of
threads can call at once, and a call made from inside another (from a `default` hook, an
`isoformat()` or a property that calls `dumps` again) finds the first codec taken and gets
another. The pool holds at most as many codecs as calls ever overlapped, up to `_POOL_LIMIT`.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO, Protocol

from quarl._quarl import Quarl, QuarlStreamDecoder

__all__ = ["dumps", "loads", "dump", "load", "iter_stream"]

_HANDSHAKE = Quarl.get_stream_handshake()
_HANDSHAKE_MAGIC = _HANDSHAKE[:2]
# An empty skip frame: written before a data frame whose first two bytes would read as the
# handshake magic, so that a reader that looks for an optional handshake is never misled.
_EMPTY_SKIP_FRAME = b"\x00\x00\x00\x00\x02\x00"
_FRAME_HEADER = struct.Struct("<IBB")
_FRAME_EOS = 0

DEFAULT_MAX_FRAME_SIZE = 64 * 1024 * 1024
_POOL_LIMIT = 64
# A codec keeps the storage its buffers grew to; one that made a document this large is left
# to the collector rather than kept in the pool.
_KEEP_LIMIT = 1 << 20
_HOOKED_LIMIT = 8
_READ_SIZE = 65536

_plain: list[Quarl] = []
# default hook -> free codecs built with it; at most _HOOKED_LIMIT hooks, the oldest dropped.
_hooked: dict[Callable[[Any], Any], list[Quarl]] = {}


def _pool(default: Callable[[Any], Any] | None) -> list[Quarl]:
    if default is None:
        return _plain
    try:
        pool = _hooked.get(default)
    except TypeError:  # an unhashable callable: a codec of its own for every call
        pool = None
        if callable(default):
            return []
    if pool is None:
        if not callable(default):
            raise TypeError(f"default must be callable or None, not {type(default).__name__}")
        while len(_hooked) >= _HOOKED_LIMIT:
            try:
                del _hooked[next(iter(_hooked))]
            except (KeyError, StopIteration, RuntimeError):  # another thread got there first
                break
        pool = _hooked.setdefault(default, [])
    return pool


def _take(pool: list[Quarl], default: Callable[[Any], Any] | None) -> Quarl:
    try:
        return pool.pop()
    except IndexError:
        return Quarl() if default is None else Quarl(default=default)


def _give_back(pool: list[Quarl], codec: Quarl, size: int) -> None:
    if size <= _KEEP_LIMIT and len(pool) < _POOL_LIMIT:
        pool.append(codec)


def dumps(obj: Any, *, compress: bool = False, default: Callable[[Any], Any] | None = None) -> bytes:
    """Encode `obj` into one packed document and return its bytes.

    The same bytes as `Quarl().encode_packed(obj, compress)`. `compress=True` wraps a document
    of 257 bytes or more in an LZ4 envelope. `default`, when given, is called with every object
    that quarl would otherwise write as its `str()`, and its result is written instead; whatever
    it raises ends the call (make it raise `TypeError` to refuse unknown types). Safe to call
    from any number of threads at once, and from inside another `dumps` (a `default` hook or
    an `isoformat()` method may call it).
    """
    if default is None:
        # The common case, kept short: this is most of the cost of a small document.
        try:
            codec = _plain.pop()
        except IndexError:
            codec = Quarl()
        data = codec.encode_packed(obj, compress)  # a codec whose call fails is left to the collector
        if len(data) <= _KEEP_LIMIT and len(_plain) < _POOL_LIMIT:
            _plain.append(codec)
        return data
    pool = _pool(default)
    codec = _take(pool, default)
    data = codec.encode_packed(obj, compress)
    _give_back(pool, codec, len(data))
    return data


def loads(data: bytes | bytearray | memoryview) -> Any:
    """Decode one packed document, plain or compressed, and return its value.

    `data` is `bytes`, or any bytes-like object (copied once). Malformed input raises
    `ValueError` (`quarl.QuarlError`). Safe to call from any number of threads at once.
    """
    if type(data) is not bytes and isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
    try:
        codec = _plain.pop()
    except IndexError:
        codec = Quarl()
    value = codec.decode_packed(data)  # a codec whose call fails is left to the collector
    if len(_plain) < _POOL_LIMIT:
        _plain.append(codec)
    return value


def dump(
    obj: Any,
    file: BinaryIO,
    *,
    compress: bool = False,
    default: Callable[[Any], Any] | None = None,
) -> None:
    """Write `obj` to a binary file as one frame of a quarl stream.

    Several values can be written one after another and read back with repeated `load` calls
    or with `iter_stream`. When the file is at its start (`file.tell() == 0`), the stream
    handshake is written first, so that the file is a stream that `QuarlStreamDecoder` and
    `python -m quarl inspect` read as well. `compress` and `default` are as for `dumps`.
    """
    pool = _pool(default)
    codec = _take(pool, default)
    frame = codec.encode_frame(obj, compress=compress)
    _give_back(pool, codec, len(frame))
    if frame[:2] == _HANDSHAKE_MAGIC:
        frame = _EMPTY_SKIP_FRAME + frame
    if _at_start(file):
        frame = _HANDSHAKE + frame
    file.write(frame)


def _position(file: BinaryIO) -> int | None:
    """The file's position, or None for a file without one (a pipe, a socket)."""
    try:
        return file.tell()
    except (AttributeError, OSError, ValueError):
        return None


def _at_start(file: BinaryIO) -> bool:
    return _position(file) == 0


def _read_exact(file: BinaryIO, n: int, started: bool) -> bytes:
    data = file.read(n)
    if data is None:
        data = b""
    while len(data) < n:
        more = file.read(n - len(data))
        if not more:
            if not data and not started:
                raise EOFError("no more quarl values in the file")
            raise ValueError(f"Truncated QUARL stream: {n - len(data)} more bytes expected")
        data += more
    return data


def load(file: BinaryIO, *, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE) -> Any:
    """Read the next value from a binary file written by `dump` (or by a `QuarlStreamEncoder`).

    Reads exactly one data frame, and before it the stream handshake and any skip frames, and
    leaves the file just after it, so that the next call reads the next value. Raises
    `EOFError` at the end of the file or at an end-of-stream frame, `ValueError` for a frame
    cut short or malformed, or one whose payload is larger than `max_frame_size` bytes.
    """
    position = _position(file)
    # A handshake is looked for at the start of a file, and anywhere in one without a position.
    handshake_possible = position is None or position == 0
    decoder = QuarlStreamDecoder(
        max_frame_size=max_frame_size, expect_handshake=None if handshake_possible else False
    )
    started = False
    while True:
        head = _read_exact(file, 6, started)
        started = True
        if handshake_possible and head[:2] == _HANDSHAKE_MAGIC:
            head += _read_exact(file, 4, started)
        handshake_possible = False
        # The decoder checks the handshake and the frame size from the header alone (and
        # decodes a frame with an empty payload at once).
        values = decoder.feed(head)
        length, kind, _flags = _FRAME_HEADER.unpack_from(head, len(head) - 6)
        if kind == _FRAME_EOS:
            raise EOFError("end of the quarl stream")
        if length:
            values = decoder.feed(_read_exact(file, length, started))
        if values:
            return values[0]


class _Readable(Protocol):
    def read(self, size: int = ..., /) -> bytes | None: ...


class _Receiving(Protocol):
    def recv(self, bufsize: int, /) -> bytes: ...


def iter_stream(
    source: _Readable | _Receiving, *, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE
) -> Iterator[Any]:
    """Yield the values of a quarl stream as their frames arrive.

    `source` is a socket (anything with `recv`) or a binary file, pipe or other reader
    (anything with `read`, and preferably `read1`). The stream may begin with the handshake or
    not, as `dump` and `QuarlStreamEncoder` write it. Iteration ends at the end-of-stream frame
    or when the source has no more bytes; bytes read past an end-of-stream frame are dropped.
    A stream that ends inside a frame raises `ValueError`, as does any malformed frame.
    """
    decoder = QuarlStreamDecoder(max_frame_size=max_frame_size)
    recv = getattr(source, "recv", None)
    read = recv if recv is not None else getattr(source, "read1", None) or source.read  # type: ignore[union-attr]
    while not decoder.is_eos:
        chunk = read(_READ_SIZE)
        if chunk is None:
            raise BlockingIOError("iter_stream needs a blocking source: read() returned None")
        if not chunk:
            if decoder.pending_bytes:
                raise ValueError(
                    f"Truncated QUARL stream: it ended inside a frame ({decoder.pending_bytes} bytes)"
                )
            return
        if not isinstance(chunk, bytes):
            chunk = bytes(chunk)
        yield from decoder.feed(chunk)


def _refuse(obj: Any) -> Any:
    """A strict `default` hook: refuses every object that quarl has no encoding of its own for."""
    raise TypeError(f"quarl cannot encode an object of type {type(obj).__qualname__}")
