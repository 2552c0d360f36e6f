"""An annotated reader of quarl bytes, for `python -m quarl inspect`.

The reader walks documents, compression envelopes and streams the way the
codec does, with the same checks in the same order and the same messages, and
records every field with its offset. It stops at the first fault. The codec
stays the judge of what is valid: `decode_with_codec` runs the real decoder on
the same bytes, and the tools report its exception, not the reader's.
"""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import struct
import uuid
from typing import Any, Callable

from quarl import Quarl, QuarlStreamDecoder

DOCUMENT_MAGIC = b"QL"
STREAM_MAGIC = b"QM"
STREAM_VERSION = 1
DOCUMENT_HEADER_SIZE = 6
HANDSHAKE_SIZE = 4
FRAME_HEADER_SIZE = 6
MAX_DEPTH = 128
DEFAULT_MAX_FRAME_SIZE = 64 * 1024 * 1024
FRAME_EOS, FRAME_DATA, FRAME_SKIP = 0x00, 0x01, 0x02
FRAME_TYPE_NAMES = {FRAME_EOS: "end-of-stream", FRAME_DATA: "data", FRAME_SKIP: "skip"}
FRAME_FLAG_COMPRESSED = 0x01

TAG_NONE = 0x10
TAG_FALSE = 0x20
TAG_TRUE = 0x21
TAG_INT64 = 0x38
TAG_FLOAT64 = 0x40
TAG_STRING = 0x50
TAG_LIST = 0x60
TAG_DICT = 0x70
TAG_DICT_END = 0x7F
TAG_BYTES = 0x80
TAG_FLOAT_ARRAY = 0x90
SMALL_INT_ROW = 0x30
SMALL_INT_READ_LIMIT = 16

# Tags whose text payload a standard-library callable turns back into an
# object: (name shown, name in the decoder's UTF-8 message, callable).
SPECIAL_TAGS: dict[int, tuple[str, str, Callable[[str], object]]] = {
    0xD1: ("datetime", "datetime", datetime.datetime.fromisoformat),
    0xD2: ("date", "date", datetime.date.fromisoformat),
    0xD3: ("time", "time", datetime.time.fromisoformat),
    0xD4: ("uuid", "UUID", uuid.UUID),
    0xD5: ("decimal", "Decimal", decimal.Decimal),
}

# One LZ4 input byte yields at most 255 output bytes. The codec takes a size
# field beyond that for a forgery: a failed single-block attempt, or a chunk
# that does not decode.
LZ4_MAX_OUTPUT_PER_BYTE = 255
# A short single block is padded with zeros up to its declared size; beyond
# this much padding the reader gives up rather than allocate it.
MAX_ZERO_PADDING = 64 * 1024 * 1024

HEX_COLUMN_BYTES = 9
PREVIEW_CHARS = 60
PREVIEW_BYTES = 16
PREVIEW_FLOATS = 6


class Fault(Exception):
    """The reader met a malformed field at `offset`."""

    def __init__(self, offset: int, message: str):
        super().__init__(message)
        self.offset = offset
        self.message = message


@dataclasses.dataclass
class Row:
    """One line of the listing; a row without offset is a section heading."""

    offset: int | None
    raw: bytes = b""
    size: int = 0
    indent: int = 0
    text: str = ""


@dataclasses.dataclass
class Report:
    kind: str
    rows: list[Row]
    fault: Fault | None = None


def count_of(count: int, singular: str, plural: str | None = None) -> str:
    return f"{count} {singular if count == 1 else plural or singular + 's'}"


def utf8_problem(data: bytes) -> str | None:
    """The decoder's description of the first invalid UTF-8 spot, or None for valid text."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {error.start}"
        return f"invalid utf-8 sequence of {error.end - error.start} bytes from index {error.start}"
    return None


def preview_text(text: str) -> str:
    return repr(text[:PREVIEW_CHARS]) + "..." if len(text) > PREVIEW_CHARS else repr(text)


def preview_bytes(data: bytes) -> str:
    shown = data[:PREVIEW_BYTES].hex(" ")
    return shown + " ..." if len(data) > PREVIEW_BYTES else shown


def preview_value(value: object) -> str:
    text = repr(value)
    limit = 2 * PREVIEW_CHARS
    return text[:limit] + "..." if len(text) > limit else text


class Listing:
    """Collects rows. Items beyond a container's limit are read but not listed."""

    def __init__(self, max_items: int = 0):
        self.rows: list[Row] = []
        self.max_items = max_items
        self.muted = 0

    def heading(self, text: str, indent: int = 0) -> None:
        if not self.muted:
            self.rows.append(Row(None, indent=indent, text=text))

    def row(self, offset: int, raw: bytes, indent: int, text: str) -> None:
        if not self.muted:
            self.rows.append(Row(offset, raw[:HEX_COLUMN_BYTES], len(raw), indent, text))

    def fault(self, offset: int, message: str, raw: bytes = b"") -> Fault:
        # Shown even inside hidden items: the fault is what the reader is after.
        self.rows.append(Row(offset, raw[:HEX_COLUMN_BYTES], len(raw), text=f"!! {message}"))
        return Fault(offset, message)

    def mute(self, offset: int, indent: int) -> Row:
        """Stops listing; the returned row stands for what is hidden until `unmute`."""
        summary = Row(offset, indent=indent, text="... (not listed)")
        if not self.muted:
            self.rows.append(summary)
        self.muted += 1
        return summary

    def unmute(self, summary: Row, hidden: str, end: int) -> None:
        self.muted -= 1
        summary.text = f"... {hidden} not listed, up to offset {end}"


class Cursor:
    """A position in one byte space: the input, or a decompressed document.

    Offsets are listed as `base + position`, so a document inside a stream
    frame shows offsets into the stream.
    """

    def __init__(self, listing: Listing, data: bytes, base: int = 0):
        self.out = listing
        self.data = data
        self.base = base
        self.pos = 0

    def at(self, pos: int) -> int:
        return self.base + pos

    def left(self) -> int:
        return len(self.data) - self.pos

    def fault(self, message: str, pos: int | None = None) -> Fault:
        """Records a fault at `pos` (default: the current position), showing the bytes from there."""
        pos = self.pos if pos is None else pos
        return self.out.fault(self.at(pos), message, self.data[pos : pos + HEX_COLUMN_BYTES + 1])

    def u32_at(self, pos: int) -> int:
        return struct.unpack_from("<I", self.data, pos)[0]

    def row(self, start: int, end: int, indent: int, text: str) -> None:
        self.out.row(self.at(start), self.data[start:end], indent, text)

    def trailing(self, indent: int, what: str) -> None:
        if self.left():
            self.row(self.pos, len(self.data), indent, f"{count_of(self.left(), 'byte')} {what}")


class DocumentReader(Cursor):
    """Header, string table and value tree of one packed document."""

    def read(self, indent: int) -> None:
        data = self.data
        if len(data) < DOCUMENT_HEADER_SIZE:
            raise self.fault("Decompressed buffer too small for QUARL header")
        if data[:2] != DOCUMENT_MAGIC:
            raise self.fault("Invalid QUARL magic number")
        count = struct.unpack_from("<H", data, 4)[0]
        self.out.heading("header", indent)
        self.row(0, 2, indent + 1, 'magic "QL"')
        self.row(2, 3, indent + 1, f"compress requested: {data[2]}")
        self.row(3, 4, indent + 1, f"fixed byte: {data[3]}")
        self.row(4, 6, indent + 1, f"string count: {count}")
        self.pos = DOCUMENT_HEADER_SIZE
        self.out.heading(f"string table: {count_of(count, 'entry', 'entries')}", indent)
        self.strings = self.string_table(count, indent + 1)
        self.out.heading("value", indent)
        self.value(indent + 1, 1, "")
        self.trailing(indent, "after the value, ignored by the decoder")

    def string_table(self, count: int, indent: int) -> list[str]:
        strings = []
        for index in range(count):
            if self.pos >= len(self.data):
                raise self.fault("Unexpected end of buffer in string table")
            n = self.data[self.pos]
            end = self.pos + 1 + n
            if end > len(self.data):
                raise self.fault("String extends beyond buffer in string table")
            problem = utf8_problem(self.data[self.pos + 1 : end])
            if problem is not None:
                raise self.fault(f"Invalid UTF-8 in string table: {problem}")
            text = self.data[self.pos + 1 : end].decode("utf-8")
            # The decoder takes a low byte 0x7f in a key position for the end
            # of the dict, so such an index can only hold a placeholder.
            note = "  (index never used as a key)" if index & 0xFF == TAG_DICT_END else ""
            self.row(self.pos, end, indent, f"#{index} {preview_text(text)}{note}")
            strings.append(text)
            self.pos = end
        return strings

    def need(self, n: int) -> None:
        if self.pos + n > len(self.data):
            raise self.fault("Unexpected end of buffer during parsing")

    def value(self, indent: int, level: int, label: str) -> None:
        """One value at nesting `level`, the top-level value being level 1."""
        if level > MAX_DEPTH:
            raise self.fault("Maximum recursion depth exceeded during QUARL decoding")
        self.need(1)
        start = self.pos
        tag = self.data[start]
        self.pos += 1
        if tag == TAG_LIST:
            self.list(start, indent, level, label)
        elif tag == TAG_DICT:
            self.dict(start, indent, level, label)
        elif tag == TAG_FLOAT_ARRAY:
            self.float_array(start, indent, label)
        else:
            text = self.scalar(tag, start)
            self.row(start, self.pos, indent, label + text)

    def scalar(self, tag: int, start: int) -> str:
        """Reads the payload of a scalar tag and describes it."""
        if tag == TAG_NONE:
            return "None"
        if tag == TAG_FALSE:
            return "False"
        if tag == TAG_TRUE:
            return "True"
        if tag == TAG_INT64:
            self.need(8)
            self.pos += 8
            unsigned = struct.unpack_from("<Q", self.data, start + 1)[0]
            if unsigned < SMALL_INT_READ_LIMIT:
                return f"int64 {unsigned} (read as a small int)"
            return f"int64 {struct.unpack_from('<q', self.data, start + 1)[0]}"
        if tag & 0xF0 == SMALL_INT_ROW:
            return f"small int {tag & 0x0F}"
        if tag == TAG_FLOAT64:
            self.need(8)
            self.pos += 8
            return f"float {struct.unpack_from('<d', self.data, start + 1)[0]!r}"
        if tag == TAG_STRING:
            payload = self.length_prefixed()
            try:
                text = payload.decode("utf-8")
            except UnicodeDecodeError as error:
                raise self.fault(str(error), start + 5) from None
            return f"str, {count_of(len(payload), 'byte')}: {preview_text(text)}"
        if tag == TAG_BYTES:
            payload = self.length_prefixed()
            shown = f": {preview_bytes(payload)}" if payload else ""
            return f"bytes, {count_of(len(payload), 'byte')}{shown}"
        if tag in SPECIAL_TAGS:
            return self.special(tag, start)
        raise self.fault(f"Unknown tag: 0x{tag:02x}", start)

    def length_prefixed(self) -> bytes:
        self.need(4)
        n = self.u32_at(self.pos)
        self.pos += 4
        self.need(n)
        self.pos += n
        return self.data[self.pos - n : self.pos]

    def special(self, tag: int, start: int) -> str:
        name, message_name, rebuild = SPECIAL_TAGS[tag]
        payload = self.length_prefixed()
        problem = utf8_problem(payload)
        if problem is not None:
            raise self.fault(f"Invalid UTF-8 in {message_name} string: {problem}", start + 5)
        text = payload.decode("utf-8")
        try:
            rebuild(text)
        except Exception as error:  # the decoder passes the callable's exception on
            raise self.fault(str(error), start + 5) from None
        return f"{name}, {count_of(len(payload), 'byte')}: {preview_text(text)}"

    def list(self, start: int, indent: int, level: int, label: str) -> None:
        self.need(4)
        count = self.u32_at(self.pos)
        self.pos += 4
        self.row(start, self.pos, indent, f"{label}list, {count_of(count, 'item')}")
        # Every element takes at least its tag byte: the decoder refuses a count
        # the rest cannot hold before reading any element, on depth first when
        # the elements would be too deep anyway.
        if count > self.left():
            if level >= MAX_DEPTH:
                raise self.fault("Maximum recursion depth exceeded during QUARL decoding")
            raise self.fault("Unexpected end of buffer during parsing")
        limit = self.out.max_items
        summary = None
        for index in range(count):
            if index == limit and limit:
                summary = self.out.mute(self.at(self.pos), indent + 1)
            self.value(indent + 1, level + 1, f"[{index}] ")
        if summary is not None:
            self.out.unmute(summary, count_of(count - limit, "more item"), self.at(self.pos))

    def dict(self, start: int, indent: int, level: int, label: str) -> None:
        self.row(start, start + 1, indent, f"{label}dict")
        limit = self.out.max_items
        entries = 0
        summary = None
        while True:
            if self.pos >= len(self.data):
                raise self.fault("Object not properly terminated")
            if self.data[self.pos] == TAG_DICT_END:
                break
            if entries == limit and limit:
                summary = self.out.mute(self.at(self.pos), indent + 1)
            self.need(4)
            key_start = self.pos
            index = self.u32_at(self.pos)
            if index >= len(self.strings):
                raise self.fault(f"Invalid string table index: {index}")
            self.pos += 4
            self.row(key_start, self.pos, indent + 1, f"key #{index} {preview_text(self.strings[index])}:")
            self.value(indent + 2, level + 1, "")
            entries += 1
        if summary is not None:
            self.out.unmute(summary, count_of(entries - limit, "more entry", "more entries"), self.at(self.pos))
        self.row(self.pos, self.pos + 1, indent, "end of dict")
        self.pos += 1

    def float_array(self, start: int, indent: int, label: str) -> None:
        self.need(4)
        count = self.u32_at(self.pos)
        self.pos += 4
        self.need(count * 8)
        values = struct.unpack_from(f"<{min(count, PREVIEW_FLOATS)}d", self.data, self.pos)
        self.pos += count * 8
        listed = ", ".join(repr(v) for v in values) + (", ..." if count > PREVIEW_FLOATS else "")
        self.row(start, self.pos, indent, f"{label}float array, {count_of(count, 'item')}: [{listed}]")


def lz4_block_module() -> Any:
    try:
        import lz4.block
    except ImportError:
        return None
    return lz4.block


class EnvelopeReader(Cursor):
    """Tells a plain document from an envelope, in the codec's order, and unwraps it."""

    def __init__(self, listing: Listing, data: bytes, base: int = 0, lz4: Any = None):
        super().__init__(listing, data, base)
        self.lz4 = lz4

    def read(self, indent: int) -> str:
        """Lists the input and returns what it was."""
        data = self.data
        if len(data) < 2:
            raise self.fault("Buffer too small for QUARL payload")
        if data[:2] == DOCUMENT_MAGIC:
            self.out.heading(f"document, {count_of(len(data), 'byte')}", indent)
            DocumentReader(self.out, data, self.base).read(indent + 1)
            return "document"
        if len(data) < 4:
            raise self.fault("Buffer too small for compressed QUARL data")
        if self.lz4 is None:
            return self.read_without_lz4(indent)
        document = self.single_block()
        if document is not None:
            self.out.heading(f"single-block envelope, {count_of(len(data), 'byte')}", indent)
            self.single_block_fields(indent + 1)
            self.document(document, indent)
            return "single-block envelope"
        if len(data) < 8:
            raise self.fault("Buffer too small for compressed QUARL data", 0)
        self.document(self.parallel(indent), indent)
        return "parallel envelope"

    def decompress(self, block: bytes, bound: int) -> bytes:
        """The block's output, at most `bound` bytes; raises when the block is malformed or longer."""
        return self.lz4.decompress(block, uncompressed_size=bound)

    def single_block(self) -> bytes | None:
        """The document of a single-block envelope, or None when the block does not decode."""
        size = self.u32_at(0)
        block = self.data[4:]
        if size > len(block) * LZ4_MAX_OUTPUT_PER_BYTE:
            return None
        try:
            produced = self.decompress(block, size)
        except Exception:
            return None
        if size - len(produced) > MAX_ZERO_PADDING:
            raise self.fault(f"the block yields {len(produced)} bytes; padding them with zeros to "
                             f"the declared {size} is more than this reader will do", 0)
        return produced + bytes(size - len(produced))

    def single_block_fields(self, indent: int) -> None:
        self.row(0, 4, indent, f"uncompressed size: {self.u32_at(0)}")
        self.row(4, len(self.data), indent, f"LZ4 block, {count_of(len(self.data) - 4, 'byte')}")

    def parallel(self, indent: int) -> bytes:
        data, out = self.data, self.out
        total, count = self.u32_at(0), self.u32_at(4)
        out.heading(f"parallel envelope, {count_of(len(data), 'byte')}", indent)
        self.row(0, 4, indent + 1, f"total uncompressed size: {total}")
        if count > (len(data) - 8) // 4:
            raise self.fault("Invalid chunks count in parallel compression header", 4)
        self.row(4, 8, indent + 1, f"chunk count: {count}")
        self.pos = 8
        records = []
        for index in range(count):
            if self.left() < 4:
                raise self.fault("Unexpected end of data in parallel compression chunk headers")
            length = self.u32_at(self.pos)
            if self.left() - 4 < length:
                raise self.fault("Unexpected end of data in parallel compression chunk data")
            out.heading(f"chunk {index}", indent + 1)
            self.row(self.pos, self.pos + 4, indent + 2, f"record length: {length}")
            if length >= 4:
                self.row(self.pos + 4, self.pos + 8, indent + 2,
                         f"uncompressed size: {self.u32_at(self.pos + 4)}")
                self.row(self.pos + 8, self.pos + 4 + length, indent + 2,
                         f"LZ4 block, {count_of(length - 4, 'byte')}")
            records.append((self.pos + 4, self.pos + 4 + length))
            self.pos += 4 + length
        self.trailing(indent + 1, "after the last chunk, ignored by the decoder")
        document = b"".join(self.chunk(start, end) for start, end in records)
        if len(document) != total:
            raise self.fault(f"Decompressed size mismatch: expected {total}, got {len(document)}", 0)
        return document

    def chunk(self, start: int, end: int) -> bytes:
        failed = "LZ4 chunk decompression failed: "
        if end - start < 4:
            raise self.fault(f"{failed}a block of {end - start} bytes has no room for its 4-byte size", start)
        size = self.u32_at(start)
        block = self.data[start + 4 : end]
        if not block:
            raise self.fault(f"{failed}the block is empty", start + 4)
        if size > len(block) * LZ4_MAX_OUTPUT_PER_BYTE:
            raise self.fault(f"{failed}the declared {size} bytes are more than {len(block)} compressed "
                             "bytes can hold", start)
        try:
            return self.decompress(block, size)
        except Exception as error:
            raise self.fault(f"{failed}{error}", start + 4) from None

    def document(self, document: bytes, indent: int) -> None:
        self.out.heading(f"document (decompressed, offsets from its first byte), "
                         f"{count_of(len(document), 'byte')}", indent)
        DocumentReader(self.out, document).read(indent + 1)

    def read_without_lz4(self, indent: int) -> str:
        """Shows the envelope fields and lets the codec decode the value inside."""
        parallel = self.chunks_add_up()
        kind = "parallel envelope" if parallel else "single-block envelope"
        self.out.heading(f"{kind}, {count_of(len(self.data), 'byte')} (the lz4 package, when "
                         "installed, shows the document inside)", indent)
        if parallel:
            self.row(0, 4, indent + 1, f"total uncompressed size: {self.u32_at(0)}")
            self.row(4, 8, indent + 1, f"chunk count: {self.u32_at(4)}")
        else:
            self.single_block_fields(indent + 1)
        try:
            value = Quarl().decode_packed(self.data)
        except Exception as error:
            raise self.fault(f"{type(error).__name__}: {error}", 0) from None
        self.out.heading(f"decoded value: {preview_value(value)}", indent)
        return kind

    def chunks_add_up(self) -> bool:
        """Whether the bytes read as chunk records that end at the input's end and sum to its total."""
        data = self.data
        if len(data) < 8:
            return False
        total, count, pos, sizes = self.u32_at(0), self.u32_at(4), 8, 0
        for _ in range(count):
            if pos + 8 > len(data):
                return False
            length = self.u32_at(pos)
            if length < 4 or pos + 4 + length > len(data):
                return False
            sizes += self.u32_at(pos + 4)
            pos += 4 + length
        return count > 0 and pos == len(data) and sizes == total


class StreamReader(Cursor):
    """Handshake, frame headers and each data frame's document."""

    def __init__(self, listing: Listing, data: bytes, lz4: Any, max_frame_size: int):
        super().__init__(listing, data)
        self.lz4 = lz4
        self.max_frame_size = max_frame_size
        self.ended = False

    def read(self) -> None:
        if not self.handshake():
            return
        number = 0
        while self.left() >= FRAME_HEADER_SIZE and not self.ended:
            self.frame(number)
            number += 1
        if self.ended:
            self.trailing(0, "after the end-of-stream frame, never read")
        elif self.left():
            self.trailing(0, "too few for a frame header: the stream ends inside a frame")
        else:
            self.out.heading("no end-of-stream frame")

    def handshake(self) -> bool:
        """Lists the handshake; False when the input ends inside it."""
        data = self.data
        if data[:2] != STREAM_MAGIC:
            self.out.heading("no handshake: the first frame starts at offset 0")
            return True
        if len(data) < HANDSHAKE_SIZE:
            self.row(0, len(data), 0, "handshake cut short: the stream ends inside it")
            return False
        if data[2] != STREAM_VERSION:
            raise self.fault(f"Unsupported stream version: {data[2]} (expected {STREAM_VERSION})", 2)
        self.out.heading("handshake")
        self.row(0, 2, 1, 'stream magic "QM"')
        self.row(2, 3, 1, f"version: {data[2]}")
        self.row(3, 4, 1, f"reserved: {data[3]}")
        self.pos = HANDSHAKE_SIZE
        return True

    def frame(self, number: int) -> None:
        start = self.pos
        length, kind, flags = struct.unpack_from("<IBB", self.data, start)
        if length > self.max_frame_size:
            raise self.fault(f"Frame size {length} exceeds maximum allowed {self.max_frame_size}")
        name = FRAME_TYPE_NAMES.get(kind, "unknown type")
        compressed = flags & FRAME_FLAG_COMPRESSED
        self.out.heading(f"frame {number}: {name}")
        self.row(start, start + 4, 1, f"payload length: {length}")
        self.row(start + 4, start + 5, 1, f"type: 0x{kind:02x} ({name})")
        self.row(start + 5, start + 6, 1, f"flags: 0x{flags:02x}" + (" (compressed)" if compressed else ""))
        payload_start = start + FRAME_HEADER_SIZE
        if kind == FRAME_EOS:
            self.ended = True
            self.pos = min(len(self.data), payload_start + length)
            return
        if self.left() < FRAME_HEADER_SIZE + length:
            self.row(payload_start, len(self.data), 1,
                     f"payload cut short: {len(self.data) - payload_start} of {length} bytes; the "
                     "stream ends inside this frame")
            self.pos = len(self.data)
            return
        self.pos = payload_start + length
        if kind == FRAME_SKIP:
            self.row(payload_start, self.pos, 1, f"skipped payload, {count_of(length, 'byte')}")
            return
        if kind != FRAME_DATA:
            raise self.fault(f"Unknown frame type: 0x{kind:02x}", start + 4)
        payload = self.data[payload_start : self.pos]
        if compressed:
            EnvelopeReader(self.out, payload, payload_start, self.lz4).read(1)
        else:
            self.out.heading(f"document, {count_of(length, 'byte')}", 1)
            DocumentReader(self.out, payload, payload_start).read(2)


def frames_chain(data: bytes) -> bool:
    """Whether the bytes are whole frames of known types holding a data frame, ending exactly at
    the end of the input, or at an end-of-stream frame written as six zero bytes there."""
    pos, data_frames = 0, 0
    while len(data) - pos >= FRAME_HEADER_SIZE:
        length, kind, flags = struct.unpack_from("<IBB", data, pos)
        if kind not in FRAME_TYPE_NAMES or flags & ~FRAME_FLAG_COMPRESSED:
            return False
        pos += FRAME_HEADER_SIZE + length
        if kind == FRAME_EOS:
            return length == 0 and pos == len(data) and data_frames > 0
        data_frames += kind == FRAME_DATA
    return pos == len(data) and data_frames > 0


def detect_kind(data: bytes, lz4: Any = None) -> str:
    """'document', 'envelope' or 'stream'.

    Documents and streams open with their magic. Other bytes are an envelope,
    unless they fail to decode as a single-block envelope and read as a chain
    of whole frames: a stream written without its handshake.
    """
    if data[:2] == DOCUMENT_MAGIC:
        return "document"
    if data[:2] == STREAM_MAGIC:
        return "stream"
    if lz4 is not None and len(data) >= 4:
        try:
            document = EnvelopeReader(Listing(), data, lz4=lz4).single_block()
        except Fault:
            document = None
        if document is not None and document[:2] == DOCUMENT_MAGIC:
            return "envelope"
    return "stream" if frames_chain(data) else "envelope"


def inspect(data: bytes, kind: str = "auto", *, max_items: int = 0,
            max_frame_size: int = DEFAULT_MAX_FRAME_SIZE, lz4: Any = "import") -> Report:
    """Lists `data` read as `kind`: 'auto', 'document', 'envelope' or 'stream'.

    `max_items` limits the items listed per container (0: no limit); `lz4` is
    the LZ4 block module, or None to show envelopes without their documents.
    """
    if lz4 == "import":
        lz4 = lz4_block_module()
    if kind == "auto":
        kind = detect_kind(data, lz4)
    listing = Listing(max_items)
    report = Report(kind, listing.rows)
    try:
        if kind == "stream":
            listing.heading(f"stream, {count_of(len(data), 'byte')}")
            StreamReader(listing, data, lz4, max_frame_size).read()
        elif kind == "document":
            listing.heading(f"document, {count_of(len(data), 'byte')}")
            DocumentReader(listing, data).read(1)
        else:
            EnvelopeReader(listing, data, lz4=lz4).read(0)
    except Fault as fault:
        report.fault = fault
    return report


@dataclasses.dataclass
class Outcome:
    """What the codec makes of the input: values decoded before any error, and the error."""

    values: list
    error: BaseException | None = None
    # Streams: bytes left undecoded at the end (a frame cut short), and
    # whether an end-of-stream frame was read.
    pending: int = 0
    ended: bool = False


def stream_pieces(data: bytes):
    """The input cut at frame boundaries, so a failing frame costs no earlier value."""
    pos = HANDSHAKE_SIZE if data[:2] == STREAM_MAGIC else 0
    if pos:
        yield data[:pos]
    while len(data) - pos >= FRAME_HEADER_SIZE:
        end = pos + FRAME_HEADER_SIZE + struct.unpack_from("<I", data, pos)[0]
        yield data[pos:end]
        pos = end
    if pos < len(data):
        yield data[pos:]


def decode_with_codec(data: bytes, kind: str, max_frame_size: int = DEFAULT_MAX_FRAME_SIZE) -> Outcome:
    """Decodes `data` with the codec itself: documents and envelopes through `decode_packed`,
    streams through a stream decoder."""
    if kind != "stream":
        try:
            return Outcome([Quarl().decode_packed(data, decompress=kind != "document")])
        except Exception as error:
            return Outcome([], error)
    decoder = QuarlStreamDecoder(max_frame_size=max_frame_size)
    outcome = Outcome([])
    try:
        for piece in stream_pieces(data):
            outcome.values.extend(decoder.feed(piece))
    except Exception as error:
        outcome.error = error
        return outcome
    outcome.pending = decoder.pending_bytes if not decoder.is_eos else 0
    outcome.ended = decoder.is_eos
    return outcome


def render(report: Report) -> str:
    """The listing as text: offset, bytes in hex, then the annotation indented by nesting."""
    offsets = [row.offset for row in report.rows if row.offset is not None]
    width = max([4] + [len(str(offset)) for offset in offsets])
    hex_width = HEX_COLUMN_BYTES * 3 - 1
    lines = []
    for row in report.rows:
        if row.offset is None:
            lines.append(" " * (width + hex_width + 4) + "  " * row.indent + row.text)
            continue
        shown = row.raw.hex(" ")
        if row.size > HEX_COLUMN_BYTES:
            shown = row.raw[: HEX_COLUMN_BYTES - 1].hex(" ") + " .."
        lines.append(f"{row.offset:>{width}}  {shown:<{hex_width}}  {'  ' * row.indent}{row.text}")
    return "\n".join(lines) + "\n"
