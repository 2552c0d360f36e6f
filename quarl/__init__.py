"""quarl: a fast, compact and safe binary codec for Python data."""

from quarl._quarl import (
    Quarl,
    QuarlError,
    QuarlStreamDecoder,
    QuarlStreamEncoder,
    __version__,
)

__all__ = ["__version__", "Quarl", "QuarlStreamDecoder", "QuarlStreamEncoder", "QuarlError"]
