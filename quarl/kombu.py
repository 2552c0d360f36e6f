"""quarl as a kombu serializer, for kombu and Celery.

Installing quarl registers it through kombu's `kombu.serializers` entry point: kombu loads this
module when it starts and registers the serializer "quarl" (content type
`application/x-quarl`, content encoding `binary`), so `serializer="quarl"` works with no import
of quarl in user code. Consumers accept it only when told, as for any serializer:
`accept=["quarl"]` in kombu, `accept_content=["quarl"]` in Celery.

Values come back as quarl decodes them: tuples as lists, dates, times, datetimes, UUIDs,
decimals and bytes as themselves. An object that quarl has no encoding for (instead of being
written as its `str()`) makes the publish fail with kombu's `EncodeError`.
"""

from __future__ import annotations

from typing import Any

from quarl._functions import _refuse, dumps, loads

__all__ = ["CONTENT_TYPE", "CONTENT_ENCODING", "encode", "decode", "register_args"]

CONTENT_TYPE = "application/x-quarl"
CONTENT_ENCODING = "binary"


def encode(obj: Any) -> bytes:
    """Encode a message body as one quarl document, compressed when 257 bytes or more."""
    return dumps(obj, compress=True, default=_refuse)


def decode(data: bytes | bytearray | memoryview) -> Any:
    """Decode a message body written by `encode`."""
    return loads(data)


#: The arguments after the name of `kombu.serialization.register`, as the entry point gives them.
register_args = (encode, decode, CONTENT_TYPE, CONTENT_ENCODING)
