"""Tiny builders for hand-made documents, envelopes and frames."""

import struct


def doc(value: bytes | str, strings=(), *, compress_flag: int = 0) -> bytes:
    """A packed document: header, string table and one value (bytes or hex text)."""
    if isinstance(value, str):
        value = bytes.fromhex(value)
    table = b"".join(bytes([len(s.encode())]) + s.encode() for s in strings)
    return b"QL" + bytes([compress_flag, 1]) + struct.pack("<H", len(strings)) + table + value


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


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def frame(payload: bytes, type: int = 1, flags: int = 0) -> bytes:
    return struct.pack("<IBB", len(payload), type, flags) + payload
