"""The renderer of `python -m quarl inspect`, and the codec runs of `to-json`.

The compiled decoder reads the bytes: `_quarl._unwrap` opens envelopes and
`_quarl._list_document` walks a document with the decoder's own checks,
describing every field it reads as a row (offset, end, indent, kind, number),
in batches, and raising the decoder's own exception at the first fault with
the fault's offset as `quarl_offset`. This module turns those rows into text
as they arrive, so a listing costs memory for one batch, not for the input's
values, and nothing is parsed twice. Only the stream's framing (handshake and
frame headers, six bytes each) is read here.
"""

from __future__ import annotations

import dataclasses
import struct
from typing import Callable

from quarl import Quarl, QuarlStreamDecoder, _quarl

DOCUMENT_MAGIC = b"QL"
STREAM_MAGIC = b"QM"
STREAM_VERSION = 1
HANDSHAKE_SIZE = 4
FRAME_HEADER_SIZE = 6
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
TAG_DICT_END = 0x7F
TAG_BYTES = 0x80
TAG_FLOAT_ARRAY = 0x90
SMALL_INT_ROW = 0x30
SMALL_INT_READ_LIMIT = 16
SPECIAL_NAMES = {0xD1: "datetime", 0xD2: "date", 0xD3: "time", 0xD4: "uuid", 0xD5: "decimal"}

# The rows of _quarl._list_document (src/decoder/listing.h).
ROW = struct.Struct("<QQQIB")
(ROW_HEADER, ROW_ENTRY, ROW_VALUE, ROW_SCALAR, ROW_LIST, ROW_DICT, ROW_KEY, ROW_DICT_END,
 ROW_HIDDEN_ITEMS, ROW_HIDDEN_ENTRIES, ROW_HIDDEN_CUT, ROW_TRAILING) = range(12)

HEX_COLUMN_BYTES = 9
HEX_WIDTH = HEX_COLUMN_BYTES * 3 - 1
PREVIEW_CHARS = 60
# Enough bytes for more than PREVIEW_CHARS characters of any UTF-8 text.
PREVIEW_TEXT_BYTES = 4 * (PREVIEW_CHARS + 1)
PREVIEW_BYTES = 16
PREVIEW_FLOATS = 6


class Fault(Exception):
    """Inspection stopped at a fault; `error` is the decoder's exception."""

    def __init__(self, error: BaseException):
        super().__init__(str(error))
        self.error = error


def count_of(count: int, singular: str, plural: str | None = None) -> str:
    return f"{count} {singular if count == 1 else plural or singular + 's'}"


def preview_text(payload: bytes) -> str:
    """The first characters of valid UTF-8 text, as repr, with "..." when there are more."""
    if len(payload) > PREVIEW_TEXT_BYTES:
        text = payload[:PREVIEW_TEXT_BYTES].decode("utf-8", "ignore")
    else:
        text = payload.decode("utf-8")
    return repr(text[:PREVIEW_CHARS]) + "..." if len(text) > PREVIEW_CHARS else repr(text)


def preview_bytes(data: bytes) -> str:
    shown = data[:PREVIEW_BYTES].hex(" ")
    return shown + " ..." if len(data) > PREVIEW_BYTES else shown


def u32_at(data: bytes, pos: int) -> int:
    return struct.unpack_from("<I", data, pos)[0]


class Listing:
    """Writes the listing line by line: offset, bytes in hex, annotation indented by nesting."""

    def __init__(self, write: Callable[[str], None], width: int):
        self.write = write
        self.width = max(4, len(str(width)))

    def heading(self, text: str, indent: int = 0) -> None:
        self.write(" " * (self.width + HEX_WIDTH + 4) + "  " * indent + text + "\n")

    def row(self, offset: int, raw: bytes, indent: int, text: str) -> None:
        shown = raw.hex(" ") if len(raw) <= HEX_COLUMN_BYTES else raw[: HEX_COLUMN_BYTES - 1].hex(" ") + " .."
        self.write(f"{offset:>{self.width}}  {shown:<{HEX_WIDTH}}  {'  ' * indent}{text}\n")

    def fault(self, offset: int, raw: bytes, error: BaseException) -> Fault:
        self.row(offset, raw[: HEX_COLUMN_BYTES + 1], 0, f"!! {error}")
        return Fault(error)


def decoder_fault(error: Exception) -> int:
    """The offset the decoder gave its exception; other exceptions go on unchanged."""
    offset = getattr(error, "quarl_offset", None)
    if offset is None:
        raise error
    return offset


class DocumentRenderer:
    """Renders the rows of one document; offsets are shown as `base` + offset."""

    def __init__(self, out: Listing, document: bytes, base: int, indent: int):
        self.out = out
        self.data = document
        self.base = base
        self.indent = indent
        self.entries: list[int] = []

    def row(self, start: int, end: int, indent: int, text: str) -> None:
        self.out.row(self.base + start, self.data[start:end], indent, text)

    def render(self, rows: bytes) -> None:
        for start, end, number, depth, code in ROW.iter_unpack(rows):
            indent = self.indent + 1 + depth
            label = f"[{number - 1}] " if number else ""
            if code == ROW_SCALAR:
                self.row(start, end, indent, label + self.scalar(start, end))
            elif code == ROW_LIST:
                self.row(start, end, indent, f"{label}list, {count_of(u32_at(self.data, start + 1), 'item')}")
            elif code == ROW_DICT:
                self.row(start, end, indent, f"{label}dict")
            elif code == ROW_KEY:
                self.row(start, end, indent, f"key #{number} {self.key(number)}:")
            elif code == ROW_DICT_END:
                self.row(start, end, indent, "end of dict")
            elif code in (ROW_HIDDEN_ITEMS, ROW_HIDDEN_ENTRIES):
                hidden = (count_of(number, "more item") if code == ROW_HIDDEN_ITEMS
                          else count_of(number, "more entry", "more entries"))
                self.out.row(self.base + start, b"", indent, f"... {hidden} not listed, up to offset {self.base + end}")
            elif code == ROW_HIDDEN_CUT:
                self.out.row(self.base + start, b"", indent, "... (not listed)")
            elif code == ROW_ENTRY:
                self.entries.append(start)
                # The decoder takes a low byte 0x7f in a key position for the end
                # of the dict, so such an index can only hold a placeholder.
                note = "  (index never used as a key)" if number & 0xFF == TAG_DICT_END else ""
                self.row(start, end, self.indent + 1, f"#{number} {preview_text(self.data[start + 1 : end])}{note}")
            elif code == ROW_HEADER:
                self.header(number)
            elif code == ROW_VALUE:
                self.out.heading("value", self.indent)
            elif code == ROW_TRAILING:
                self.row(start, end, self.indent, f"{count_of(end - start, 'byte')} after the value, ignored by the decoder")

    def header(self, count: int) -> None:
        data, indent = self.data, self.indent
        self.out.heading("header", indent)
        self.row(0, 2, indent + 1, 'magic "QL"')
        self.row(2, 3, indent + 1, f"compress requested: {data[2]}")
        self.row(3, 4, indent + 1, f"fixed byte: {data[3]}")
        self.row(4, 6, indent + 1, f"string count: {count}")
        self.out.heading(f"string table: {count_of(count, 'entry', 'entries')}", indent)

    def key(self, index: int) -> str:
        start = self.entries[index]
        return preview_text(self.data[start + 1 : start + 1 + self.data[start]])

    def scalar(self, start: int, end: int) -> str:
        data = self.data
        tag = data[start]
        if tag == TAG_NONE:
            return "None"
        if tag == TAG_FALSE:
            return "False"
        if tag == TAG_TRUE:
            return "True"
        if tag == TAG_INT64:
            unsigned = struct.unpack_from("<Q", data, start + 1)[0]
            if unsigned < SMALL_INT_READ_LIMIT:
                return f"int64 {unsigned} (read as a small int)"
            return f"int64 {struct.unpack_from('<q', data, start + 1)[0]}"
        if tag & 0xF0 == SMALL_INT_ROW:
            return f"small int {tag & 0x0F}"
        if tag == TAG_FLOAT64:
            return f"float {struct.unpack_from('<d', data, start + 1)[0]!r}"
        if tag == TAG_FLOAT_ARRAY:
            count = u32_at(data, start + 1)
            values = struct.unpack_from(f"<{min(count, PREVIEW_FLOATS)}d", data, start + 5)
            listed = ", ".join(repr(v) for v in values) + (", ..." if count > PREVIEW_FLOATS else "")
            return f"float array, {count_of(count, 'item')}: [{listed}]"
        payload = data[start + 5 : end]
        if tag == TAG_BYTES:
            shown = f": {preview_bytes(payload[: PREVIEW_BYTES + 1])}" if payload else ""
            return f"bytes, {count_of(end - start - 5, 'byte')}{shown}"
        name = "str" if tag == TAG_STRING else SPECIAL_NAMES[tag]
        return f"{name}, {count_of(end - start - 5, 'byte')}: {preview_text(payload)}"


def list_document(out: Listing, document: bytes, base: int, indent: int, max_items: int) -> None:
    """Lists a plain document; raises Fault after showing where the decoder failed."""
    renderer = DocumentRenderer(out, document, base, indent)
    try:
        _quarl._list_document(document, max_items, renderer.render)
    except Exception as error:
        offset = decoder_fault(error)
        raise out.fault(base + offset, document[offset : offset + HEX_COLUMN_BYTES + 1], error) from None


def list_envelope(out: Listing, data: bytes, base: int, indent: int, max_items: int,
                  max_document: int | None = None) -> str:
    """Lists a plain document or an envelope and the document inside; returns the form."""
    try:
        form, document = _quarl._unwrap(data, max_document)
    except Exception as error:
        offset = decoder_fault(error)
        out.heading(f"envelope, {count_of(len(data), 'byte')}", indent)
        raise out.fault(base + offset, data[offset : offset + HEX_COLUMN_BYTES + 1], error) from None
    show_envelope(out, data, form, document, base, indent, max_items)
    return form


def show_envelope(out: Listing, data: bytes, form: str, document: bytes, base: int, indent: int,
                  max_items: int) -> None:
    def row(start: int, end: int, depth: int, text: str) -> None:
        out.row(base + start, data[start:end], depth, text)

    if form == "document":
        out.heading(f"document, {count_of(len(data), 'byte')}", indent)
        list_document(out, data, base, indent + 1, max_items)
        return
    out.heading(f"{form} envelope, {count_of(len(data), 'byte')}", indent)
    if form == "single-block":
        row(0, 4, indent + 1, f"uncompressed size: {u32_at(data, 0)}")
        row(4, len(data), indent + 1, f"LZ4 block, {count_of(len(data) - 4, 'byte')}")
    else:
        row(0, 4, indent + 1, f"total uncompressed size: {u32_at(data, 0)}")
        count = u32_at(data, 4)
        row(4, 8, indent + 1, f"chunk count: {count}")
        pos = 8
        for index in range(count):  # the decoder has accepted the records
            length = u32_at(data, pos)
            out.heading(f"chunk {index}", indent + 1)
            row(pos, pos + 4, indent + 2, f"record length: {length}")
            row(pos + 4, pos + 8, indent + 2, f"uncompressed size: {u32_at(data, pos + 4)}")
            row(pos + 8, pos + 4 + length, indent + 2, f"LZ4 block, {count_of(length - 4, 'byte')}")
            pos += 4 + length
        if pos < len(data):
            row(pos, len(data), indent + 1,
                f"{count_of(len(data) - pos, 'byte')} after the last chunk, ignored by the decoder")
    out.heading(f"document (decompressed, offsets from its first byte), {count_of(len(document), 'byte')}", indent)
    list_document(out, document, 0, indent + 1, max_items)


class StreamReader:
    """Handshake and frame headers, as the stream decoder reads them, and each data frame's document."""

    def __init__(self, out: Listing, data: bytes, max_items: int, max_frame_size: int):
        self.out = out
        self.data = data
        self.max_items = max_items
        self.max_frame_size = max_frame_size
        self.pos = 0
        # Bytes of a frame (or handshake) cut short at the end of the input.
        self.pending = 0

    def row(self, start: int, end: int, indent: int, text: str) -> None:
        self.out.row(start, self.data[start:end], indent, text)

    def fault(self, pos: int, message: str) -> Fault:
        return self.out.fault(pos, self.data[pos : pos + HEX_COLUMN_BYTES + 1], ValueError(message))

    def read(self) -> None:
        data = self.data
        if not self.handshake():
            return
        number = 0
        ended = False
        while len(data) - self.pos >= FRAME_HEADER_SIZE and not ended:
            ended = self.frame(number)
            number += 1
        left = len(data) - self.pos
        if ended:
            if left:
                self.row(self.pos, len(data), 0, f"{count_of(left, 'byte')} after the end-of-stream frame, never read")
        elif left:
            self.row(self.pos, len(data), 0,
                     f"{count_of(left, 'byte')} too few for a frame header: the stream ends inside a frame")
            self.pending = left
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
            self.pending = len(data)
            return False
        if data[2] != STREAM_VERSION:
            raise self.fault(2, f"Unsupported stream version: {data[2]} (expected {STREAM_VERSION})")
        self.out.heading("handshake")
        self.row(0, 2, 1, 'stream magic "QM"')
        self.row(2, 3, 1, f"version: {data[2]}")
        self.row(3, 4, 1, f"reserved: {data[3]}")
        self.pos = HANDSHAKE_SIZE
        return True

    def frame(self, number: int) -> bool:
        """Lists one frame; True at the end-of-stream frame."""
        data, start = self.data, self.pos
        length, kind, flags = struct.unpack_from("<IBB", data, start)
        if length > self.max_frame_size:
            raise self.fault(start, f"Frame size {length} exceeds maximum allowed {self.max_frame_size}")
        name = FRAME_TYPE_NAMES.get(kind, "unknown type")
        compressed = flags & FRAME_FLAG_COMPRESSED
        self.out.heading(f"frame {number}: {name}")
        self.row(start, start + 4, 1, f"payload length: {length}")
        self.row(start + 4, start + 5, 1, f"type: 0x{kind:02x} ({name})")
        self.row(start + 5, start + 6, 1, f"flags: 0x{flags:02x}" + (" (compressed)" if compressed else ""))
        payload_start = start + FRAME_HEADER_SIZE
        if kind == FRAME_EOS:
            self.pos = min(len(data), payload_start + length)
            return True
        if len(data) - payload_start < length:
            self.row(payload_start, len(data), 1,
                     f"payload cut short: {len(data) - payload_start} of {length} bytes; the "
                     "stream ends inside this frame")
            self.pending = len(data) - start
            self.pos = len(data)
            return False
        self.pos = payload_start + length
        if kind == FRAME_SKIP:
            self.row(payload_start, self.pos, 1, f"skipped payload, {count_of(length, 'byte')}")
            return False
        if kind != FRAME_DATA:
            raise self.fault(start + 4, f"Unknown frame type: 0x{kind:02x}")
        payload = data[payload_start : self.pos]
        if compressed:
            list_envelope(self.out, payload, payload_start, 1, self.max_items, self.max_frame_size)
        else:
            self.out.heading(f"document, {count_of(length, 'byte')}", 1)
            list_document(self.out, payload, payload_start, 2, self.max_items)
        return False


def largest_stream_offset(data: bytes) -> int:
    """The largest offset a stream's listing can show: the input's, or a decompressed document's."""
    pos = HANDSHAKE_SIZE if data[:2] == STREAM_MAGIC else 0
    largest = len(data)
    while len(data) - pos >= FRAME_HEADER_SIZE:
        length, _, flags = struct.unpack_from("<IBB", data, pos)
        if flags & FRAME_FLAG_COMPRESSED and length >= 4 and len(data) - pos >= FRAME_HEADER_SIZE + 4:
            largest = max(largest, u32_at(data, pos + FRAME_HEADER_SIZE))
        pos += FRAME_HEADER_SIZE + length
    return largest


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


def unwrap(data: bytes) -> tuple[str, bytes] | None:
    """The decoder's reading of `data` as a plain document or envelope, or None where it fails."""
    try:
        return _quarl._unwrap(data)
    except ValueError:
        return None


def recognise(data: bytes) -> tuple[str, tuple[str, bytes] | None]:
    """The kind ('document', 'envelope' or 'stream'), and for an envelope what unwrapping gave.

    Documents and streams open with their magic. Other bytes are an envelope,
    unless they fail to decode as a single-block envelope and read as a chain
    of whole frames: a stream written without its handshake.
    """
    if data[:2] == DOCUMENT_MAGIC:
        return "document", None
    if data[:2] == STREAM_MAGIC:
        return "stream", None
    unwrapped = unwrap(data) if len(data) >= 4 else None
    if unwrapped is not None and unwrapped[0] == "single-block" and unwrapped[1][:2] == DOCUMENT_MAGIC:
        return "envelope", unwrapped
    return ("stream", None) if frames_chain(data) else ("envelope", unwrapped)


def detect_kind(data: bytes) -> str:
    return recognise(data)[0]


@dataclasses.dataclass
class Report:
    """How an inspection ended: the kind read, the decoder's error, and for a stream cut
    short the bytes of its unfinished frame."""

    kind: str
    error: BaseException | None = None
    pending: int = 0


def inspect(data: bytes, kind: str, write: Callable[[str], None], *, max_items: int = 0,
            max_frame_size: int = DEFAULT_MAX_FRAME_SIZE) -> Report:
    """Writes the listing of `data` read as `kind` ('auto', 'document', 'envelope' or 'stream')
    through `write`, line by line; `max_items` limits the items listed per container (0: all)."""
    unwrapped = None
    if kind == "auto":
        kind, unwrapped = recognise(data)
    report = Report(kind)
    try:
        if kind == "stream":
            reader = StreamReader(Listing(write, largest_stream_offset(data)), data, max_items, max_frame_size)
            reader.out.heading(f"stream, {count_of(len(data), 'byte')}")
            reader.read()
            report.pending = reader.pending
        elif kind == "document":
            out = Listing(write, len(data))
            out.heading(f"document, {count_of(len(data), 'byte')}")
            list_document(out, data, 0, 1, max_items)
        else:
            if unwrapped is None:
                unwrapped = unwrap(data)
            if unwrapped is None:
                list_envelope(Listing(write, len(data)), data, 0, 0, max_items)
            else:
                form, document = unwrapped
                out = Listing(write, max(len(data), len(document)))
                show_envelope(out, data, form, document, 0, 0, max_items)
    except Fault as fault:
        report.error = fault.error
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
