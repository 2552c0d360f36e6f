"""A TCP client that sends a quarl stream and checks the values that the server echoes back.

    python tcp_client.py          # starts tcp_server.py on a free port and talks to it
    python tcp_client.py PORT     # talks to a server already listening on 127.0.0.1:PORT

A stream is the handshake, one frame per value, then the end-of-stream frame. Every frame
carries a whole document, so the reader needs nothing but the frame to decode it.
"""

import datetime
import decimal
import socket
import subprocess
import sys
import uuid
from pathlib import Path

import quarl

HOST = "127.0.0.1"
TIMEOUT = 30.0


def messages() -> list:
    """Values that decode to equal objects: dicts, lists, scalars, bytes and the special types."""
    return [
        {"event": "login", "user": "ada", "at": datetime.datetime(2026, 12, 6, 9, 30)},
        {"event": "order", "id": uuid.UUID(int=7), "total": decimal.Decimal("19.99")},
        [1, 2.5, None, True, "text", b"\x00\x01raw"],
        # Large enough to be compressed: its frame carries an LZ4 envelope.
        {"event": "readings", "values": [round(i * 0.25, 2) for i in range(500)]},
        "bye",
    ]


def read_stream(sock: socket.socket) -> list:
    """Reads the server's whole stream and returns its values."""
    decoder = quarl.QuarlStreamDecoder(expect_handshake=True)
    values = []
    while not decoder.is_eos:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("the server closed the connection before the end of the stream")
        values.extend(decoder.feed(chunk))
    return values


def talk(port: int) -> None:
    sent = messages()
    encoder = quarl.QuarlStreamEncoder()
    with socket.create_connection((HOST, port), timeout=TIMEOUT) as sock:
        sock.sendall(encoder.get_handshake())
        for value in sent:
            frame = encoder.encode_frame(value)
            compressed = " (compressed)" if frame[5] & 1 else ""
            print(f"client: sent a {len(frame)}-byte frame{compressed}", flush=True)
            sock.sendall(frame)
        sock.sendall(encoder.get_eos_frame())
        # Reading the echoes only after sending everything is fine for a few small values, which
        # the socket buffers hold; a client that streams without end reads from another thread.
        echoed = read_stream(sock)
    if echoed != sent:
        raise SystemExit(f"client: echo mismatch: {echoed!r}")
    print(f"client: {len(echoed)} values echoed back intact", flush=True)


def start_server() -> tuple[subprocess.Popen, int]:
    """Starts tcp_server.py on a free port and reads the port from its first line."""
    server = Path(__file__).with_name("tcp_server.py")
    proc = subprocess.Popen([sys.executable, str(server), "0"], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    line = proc.stdout.readline()
    print(line, end="", flush=True)
    port = int(line.rsplit(":", 1)[1])
    return proc, port


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        talk(int(argv[1]))
        return 0
    proc, port = start_server()
    with proc:
        talk(port)
        # Relay the server's own output after the conversation.
        rest, _ = proc.communicate(timeout=TIMEOUT)
        print(rest, end="", flush=True)
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
