from collections.abc import Callable
from typing import Any, Final, final

__version__: Final[str]
__all__ = ["__version__", "Quarl", "QuarlStreamDecoder", "QuarlStreamEncoder", "QuarlError"]

QuarlError = ValueError

@final
class Quarl:
    """A codec: encodes Python objects into quarl documents and stream frames, and decodes
    documents.

    A codec keeps its buffers from call to call: keep one and reuse it. One object serves one
    call at a time; a call that overlaps another on the same object (from another thread, or
    from a callback such as an isoformat() method) raises RuntimeError. quarl.dumps and
    quarl.loads take care of this.

    default, when given, is called with every object that the codec would otherwise write as
    its str(); its result is written in its place, and whatever it raises ends the encode
    (raise TypeError to refuse unknown types)."""

    def __new__(cls, *, default: Callable[[Any], Any] | None = None) -> Quarl: ...
    def encode_packed(self, obj: Any, compress: bool) -> bytes:
        """Encode obj into one packed document and return its bytes.

        compress must be True or False. With True, a document of 257 bytes or more is wrapped
        in an LZ4 compression envelope, compressed on several cores from 1,000,000 bytes;
        smaller documents stay plain. Values nested deeper than 128 levels raise
        RecursionError."""
    def decode_packed(self, bytes: bytes, *, decompress: bool = True) -> Any:
        """Decode one packed document, plain or in a compression envelope, and return its value.

        bytes must be a bytes object. With decompress=False the input is taken as a plain
        document as it is. Malformed input raises ValueError (QuarlError); nesting deeper than
        128 levels raises RecursionError."""
    def encode_frame(self, obj: Any, *, compress: bool = True) -> bytes:
        """Encode obj into one data frame of a stream and return its bytes.

        The frame is a 6-byte header (payload length, type, flags) and the packed document of
        obj, compressed as by encode_packed when compress is True and the document has 257
        bytes or more. Every frame can be decoded without the frames before it."""
    @staticmethod
    def get_stream_handshake() -> bytes:
        """Return the 4-byte handshake that opens a stream: b"QM\\x01\\x00"."""
    @staticmethod
    def get_eos_frame() -> bytes:
        """Return the 6-byte end-of-stream frame that closes a stream: six zero bytes."""

@final
class QuarlStreamEncoder:
    """The writing side of a stream: a codec of its own for encode_frame, and the handshake and
    end-of-stream frame. Write the handshake, then one frame per value, then the end-of-stream
    frame. One object serves one call at a time, as Quarl does. default is as for Quarl."""

    def __new__(cls, *, default: Callable[[Any], Any] | None = None) -> QuarlStreamEncoder: ...
    def encode_frame(self, obj: Any, *, compress: bool = True) -> bytes:
        """Encode obj into one data frame of a stream and return its bytes.

        The frame is a 6-byte header (payload length, type, flags) and the packed document of
        obj, compressed as by encode_packed when compress is True and the document has 257
        bytes or more. Every frame can be decoded without the frames before it."""
    @staticmethod
    def get_handshake() -> bytes:
        """Return the 4-byte handshake that opens a stream: b"QM\\x01\\x00"."""
    @staticmethod
    def get_eos_frame() -> bytes:
        """Return the 6-byte end-of-stream frame that closes a stream: six zero bytes."""

@final
class QuarlStreamDecoder:
    """The reading side of a stream: feed it bytes in pieces of any size as they arrive, and
    it returns the value of every frame that is complete.

    max_frame_size (64 MiB unless given) bounds every frame twice: a frame whose header
    announces a longer payload is refused as soon as its 6 header bytes arrive, and a
    compressed frame whose envelope declares a larger document is refused before anything is
    allocated for it, both with ValueError. expect_handshake: None looks for the handshake at
    the start of the stream, True requires it, False reads frames from the first byte."""

    # max_frame_size defaults to 67108864 (64 MiB); the runtime signature shows it as "...".
    def __new__(
        cls, *, max_frame_size: int = ..., expect_handshake: bool | None = None
    ) -> QuarlStreamDecoder: ...
    def feed(self, chunk: bytes) -> list[Any]:
        """Add chunk (bytes) to the stream and return the values of the data frames it
        completes, in stream order.

        The list is empty while a frame is still incomplete. Bytes after the end-of-stream
        frame are kept but never decoded. A frame larger than max_frame_size, on the wire or
        once decompressed, raises ValueError (QuarlError). A frame that fails to decode is kept
        pending, and every later non-empty feed raises the same error again at once, without
        decoding it again or storing the new bytes (pending_bytes still counts them), until
        clear()."""
    def clear(self) -> None:
        """Forget every buffered byte and return to the start of a stream, handshake included."""
    def reset(self) -> None:
        """Forget every buffered byte and return to the start of a stream, handshake included."""
    @property
    def is_eos(self) -> bool:
        """Whether the end-of-stream frame has arrived."""
    @property
    def pending_bytes(self) -> int:
        """How many bytes are buffered and not yet consumed."""
    @property
    def handshake_received(self) -> bool:
        """Whether the handshake has been read (or ruled out)."""
