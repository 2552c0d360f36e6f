"""Reading a quarl stream with asyncio: an async generator that feeds QuarlStreamDecoder.

    python asyncio_reader.py

Starts a server on a free port of 127.0.0.1, connects a writer to it, sends a stream of sensor
readings in small, uneven writes, and prints each value as the server's reader decodes it.
"""

import asyncio
from collections.abc import AsyncIterator

import quarl

HOST = "127.0.0.1"
TIMEOUT = 30.0


async def read_values(reader: asyncio.StreamReader) -> AsyncIterator[object]:
    """Yields each value of the stream on `reader` as soon as its frame is complete."""
    decoder = quarl.QuarlStreamDecoder(expect_handshake=True)
    while not decoder.is_eos:
        chunk = await asyncio.wait_for(reader.read(65536), TIMEOUT)
        if not chunk:
            raise ConnectionError("the connection closed before the end of the stream")
        for value in decoder.feed(chunk):
            yield value


async def write_stream(writer: asyncio.StreamWriter, values: list) -> None:
    """Writes a whole stream, cut into uneven pieces to show that the reader does not care."""
    encoder = quarl.QuarlStreamEncoder()
    stream = encoder.get_handshake()
    stream += b"".join(encoder.encode_frame(value) for value in values)
    stream += encoder.get_eos_frame()
    for start in range(0, len(stream), 37):
        writer.write(stream[start : start + 37])
        await writer.drain()
    writer.close()
    await writer.wait_closed()


async def main() -> None:
    received: list = []
    done = asyncio.Event()

    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            async for value in read_values(reader):
                print(f"reader: {value!r}", flush=True)
                received.append(value)
        finally:
            writer.close()
            done.set()

    server = await asyncio.start_server(handle, HOST, 0)
    port = server.sockets[0].getsockname()[1]
    print(f"reader: listening on {HOST}:{port}", flush=True)
    async with server:
        readings = [{"sensor": f"t{i % 3}", "seq": i, "celsius": 20.0 + i / 4} for i in range(8)]
        _, writer = await asyncio.open_connection(HOST, port)
        await asyncio.wait_for(write_stream(writer, readings), TIMEOUT)
        await asyncio.wait_for(done.wait(), TIMEOUT)
    assert received == readings, received
    print(f"reader: end of stream after {len(received)} values", flush=True)


if __name__ == "__main__":
    asyncio.run(main())
