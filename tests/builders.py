"""Tiny builders for hand-made documents, values, envelopes and frames."""

import re
import struct

HANDSHAKE = b"QM\x01\x00"
EOS = bytes(6)


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def doc(value: bytes | str, strings=(), *, compress_flag: int = 0, count: int | None = None) -> bytes:
    """A packed document: header, string table (str or raw bytes entries) and one value (bytes or hex text)."""
    if isinstance(value, str):
        value = bytes.fromhex(value)
    entries = [s if isinstance(s, bytes) else s.encode() for s in strings]
    table = b"".join(bytes([len(e)]) + e for e in entries)
    n = len(entries) if count is None else count
    return b"QL" + bytes([compress_flag, 1]) + struct.pack("<H", n) + table + value


def value_of(document: bytes, strings_count: int | None = None) -> bytes:
    """The value section of a document whose string table is read from its header."""
    count = struct.unpack_from("<H", document, 4)[0] if strings_count is None else strings_count
    pos = 6
    for _ in range(count):
        pos += 1 + document[pos]
    return document[pos:]


def table_of(document: bytes) -> list[str]:
    """The string-table entries of a document."""
    count = struct.unpack_from("<H", document, 4)[0]
    pos, out = 6, []
    for _ in range(count):
        n = document[pos]
        out.append(document[pos + 1 : pos + 1 + n].decode())
        pos += 1 + n
    return out


# --- values ------------------------------------------------------------------


def i64(n: int) -> bytes:
    return b"\x38" + struct.pack("<q", n)


def f64(x: float) -> bytes:
    return b"\x40" + struct.pack("<d", x)


def text(tag: int, payload: bytes | str) -> bytes:
    """A length-prefixed value: string, bytes or one of the special types."""
    if isinstance(payload, str):
        payload = payload.encode()
    return bytes([tag]) + u32(len(payload)) + payload


def string(s: str) -> bytes:
    return text(0x50, s)


def lst(*items: bytes) -> bytes:
    return b"\x60" + u32(len(items)) + b"".join(items)


def dct(*entries: tuple[int, bytes]) -> bytes:
    return b"\x70" + b"".join(u32(index) + value for index, value in entries) + b"\x7f"


def float_array(*values: float) -> bytes:
    return b"\x90" + u32(len(values)) + b"".join(struct.pack("<d", v) for v in values)


def nested_lists(levels: int, inner: bytes) -> bytes:
    return (b"\x60" + u32(1)) * levels + inner


# --- envelopes and frames ----------------------------------------------------


def lz4_block(data: bytes) -> bytes:
    import lz4.block

    return lz4.block.compress(data, store_size=False)


def envelope(document: bytes) -> bytes:
    """A single-block compression envelope around `document`."""
    return u32(len(document)) + lz4_block(document)


def frame_header(length: int, type: int = 1, flags: int = 0) -> bytes:
    return struct.pack("<IBB", length, type, flags)


def frame(payload: bytes, type: int = 1, flags: int = 0) -> bytes:
    return frame_header(len(payload), type, flags) + payload


def exact(message: str) -> str:
    """A `match=` pattern for exactly `message`."""
    return f"^{re.escape(message)}$"


# --- Python values -------------------------------------------------------------


def nest(levels: int, inner, wrap=lambda value: [value]):
    """`inner` wrapped `levels` times, by default in one-item lists."""
    for _ in range(levels):
        inner = wrap(inner)
    return inner


def raiser(error: BaseException):
    """A callable, of any arguments, that raises `error`."""

    def call(*args, **kwargs):
        raise error

    return call


def on_str(action=lambda: None, text: str = "s", hash: int | None = None):
    """An object without attributes, written as its str(): str() runs `action` (which may raise), then gives `text`."""
    members = {"__slots__": (), "__str__": lambda self: (action(), text)[1]}
    if hash is not None:
        members["__hash__"] = lambda self: hash
    return type("OnStr", (), members)()
