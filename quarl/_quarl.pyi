from collections.abc import Callable
from typing import Any, Final, final

__version__: Final[str]
__all__ = ["__version__", "Quarl", "QuarlStreamDecoder", "QuarlStreamEncoder", "QuarlError"]

QuarlError = ValueError

@final
class Quarl:
    def __new__(cls, *, default: Callable[[Any], Any] | None = None) -> Quarl: ...
    def encode_packed(self, obj: Any, compress: bool) -> bytes: ...
    def decode_packed(self, bytes: bytes, *, decompress: bool = True) -> Any: ...
    def encode_frame(self, obj: Any, *, compress: bool = True) -> bytes: ...
    @staticmethod
    def get_stream_handshake() -> bytes: ...
    @staticmethod
    def get_eos_frame() -> bytes: ...

@final
class QuarlStreamEncoder:
    def __new__(cls, *, default: Callable[[Any], Any] | None = None) -> QuarlStreamEncoder: ...
    def encode_frame(self, obj: Any, *, compress: bool = True) -> bytes: ...
    @staticmethod
    def get_handshake() -> bytes: ...
    @staticmethod
    def get_eos_frame() -> bytes: ...

@final
class QuarlStreamDecoder:
    """An incremental reader of a stream: handshake, frames, end-of-stream.

    `max_frame_size` (default 67108864, 64 MiB) bounds every frame twice: a frame
    whose header announces a longer payload is refused as soon as its 6 header bytes
    arrive ("Frame size {} exceeds maximum allowed {}"), and a compressed frame whose
    envelope declares a document larger than `max_frame_size` is refused before
    anything is allocated for it ("Decompressed frame size {} exceeds maximum allowed
    {}"), both as `ValueError`.
    """

    # max_frame_size defaults to 67108864 (64 MiB); the runtime signature shows it as "...".
    def __new__(
        cls, *, max_frame_size: int = ..., expect_handshake: bool | None = None
    ) -> QuarlStreamDecoder: ...
    def feed(self, chunk: bytes) -> list[Any]:
        """The values of every data frame that `chunk` completes, in stream order.

        A frame larger than `max_frame_size`, on the wire or once decompressed, raises
        `ValueError`. A frame that fails to decode is kept pending, and every later
        non-empty `feed` raises the same error again at once, without decoding it again
        or storing the new bytes (`pending_bytes` still counts them), until `clear()`.
        """
    def clear(self) -> None: ...
    def reset(self) -> None: ...
    @property
    def is_eos(self) -> bool: ...
    @property
    def pending_bytes(self) -> int: ...
    @property
    def handshake_received(self) -> bool: ...
