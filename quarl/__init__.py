"""quarl: a fast, compact and safe binary codec for Python data.

`dumps` and `loads` encode and decode one document; `dump`, `load` and `iter_stream` write and
read values one after another in a file, pipe or socket. `Quarl`, `QuarlStreamEncoder` and
`QuarlStreamDecoder` are the codec objects behind them. Malformed input raises `QuarlError`,
which is `ValueError` itself.
"""

from quarl._functions import dump, dumps, iter_stream, load, loads
from quarl._quarl import (
    Quarl,
    QuarlError,
    QuarlStreamDecoder,
    QuarlStreamEncoder,
    __version__,
)

__all__ = [
    "__version__",
    "Quarl",
    "QuarlStreamDecoder",
    "QuarlStreamEncoder",
    "QuarlError",
    "dumps",
    "loads",
    "dump",
    "load",
    "iter_stream",
]
