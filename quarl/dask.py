"""quarl as a serialization family of Dask distributed.

Importing this module registers the family "quarl" with `distributed.protocol`::

    import quarl.dask
    from distributed import Client

    client = Client(cluster, serializers=["quarl", "pickle"], deserializers=["quarl", "pickle"])

Every process that reads such data needs the family too: start workers (and the scheduler)
with `preload=["quarl.dask"]` (`dask worker --preload quarl.dask`, or the configuration
`distributed.worker.preload`).

The family takes plain data that comes back exactly as it went in: dicts with `str` keys,
lists, `str`, `int` (64-bit), `float`, `bool`, `None`, `bytes`, `uuid.UUID`,
`decimal.Decimal`, `datetime.date`, and `datetime.datetime` and `datetime.time` that are naive
or carry a fixed-offset `datetime.timezone`. For anything else (tuples, sets, arrays, data
frames, objects of other classes, subclasses of those types, ints beyond 64 bits) it declines,
and Dask tries the next family in the list, such as "pickle".
"""

from __future__ import annotations

import datetime
import decimal
import uuid
from typing import Any

from distributed.protocol.serialize import register_serialization_family

from quarl._functions import _refuse, dumps, loads

__all__ = ["serialize", "deserialize"]

_SCALARS = frozenset(
    {str, int, float, bool, type(None), bytes, uuid.UUID, decimal.Decimal, datetime.date}
)
_CLOCKS = frozenset({datetime.datetime, datetime.time})
_CONTAINERS = frozenset({list, dict})
_ANY = _SCALARS | _CLOCKS | _CONTAINERS


def _exact(x: Any) -> bool:
    """Whether `x` decodes from quarl as an equal object of the same types throughout."""
    kind = type(x)
    if kind in _SCALARS:
        return True
    if kind in _CLOCKS:
        return x.tzinfo is None or type(x.tzinfo) is datetime.timezone
    if kind is dict:
        if any(type(key) is not str for key in x):
            return False
        items = x.values()
    elif kind is list:
        items = x
    else:
        return False
    kinds = set(map(type, items))
    if kinds <= _SCALARS:
        return True
    if not kinds <= _ANY:
        return False
    return all(_exact(item) for item in items if type(item) not in _SCALARS)


def serialize(x: Any) -> tuple[dict[str, Any], list[bytes]]:
    """Dask's `dumps` of the family: a header and one frame, the quarl document of `x`.

    Raises `NotImplementedError`, which makes Dask try the next family, for anything that
    would not come back exactly as it is.
    """
    if not _exact(x):
        raise NotImplementedError
    try:
        frame = dumps(x, default=_refuse)  # Dask compresses frames itself
    except (TypeError, ValueError, OverflowError, RecursionError) as error:
        raise NotImplementedError from error
    return {}, [frame]


def deserialize(header: dict[str, Any], frames: list[Any]) -> Any:
    """Dask's `loads` of the family: the value of the frame that `serialize` wrote."""
    if len(frames) == 1:
        return loads(frames[0])
    return loads(b"".join(frames))


register_serialization_family("quarl", serialize, deserialize)  # type: ignore[no-untyped-call]
