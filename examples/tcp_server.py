"""A TCP server that reads a quarl stream and echoes every value back as a stream of its own.

    python tcp_server.py          # picks a free port and runs tcp_client.py against itself
    python tcp_server.py PORT     # serves one client on 127.0.0.1:PORT (0: any free port)
    python tcp_client.py PORT     # ... from another terminal

The server decodes with QuarlStreamDecoder.feed as bytes arrive: a value comes out as soon as
the last byte of its frame is in, however TCP happens to cut the stream.
"""

import socket
import subprocess
import sys
from pathlib import Path

import quarl

HOST = "127.0.0.1"
TIMEOUT = 30.0  # seconds for accept() and for every recv()/send(): the server never hangs
RECV_SIZE = 1024  # deliberately small, so that larger frames arrive in several pieces


def short(value: object, width: int = 120) -> str:
    text = repr(value)
    return text if len(text) <= width else text[: width - 4] + " ..."


def serve_one(conn: socket.socket) -> int:
    """Reads one stream from `conn`, echoing each value back as it is decoded."""
    # One decoder and one encoder per connection: a codec's string table holds the dict keys of
    # everything it has encoded, and must not carry one client's keys to the next.
    decoder = quarl.QuarlStreamDecoder(expect_handshake=True)
    encoder = quarl.QuarlStreamEncoder()
    conn.sendall(encoder.get_handshake())
    count = 0
    while not decoder.is_eos:
        chunk = conn.recv(RECV_SIZE)
        if not chunk:
            raise ConnectionError("the client closed the connection before the end of the stream")
        for value in decoder.feed(chunk):
            count += 1
            print(f"server: received {short(value)}", flush=True)
            conn.sendall(encoder.encode_frame(value))
    conn.sendall(encoder.get_eos_frame())
    print(f"server: end of stream after {count} values", flush=True)
    return count


def listen(port: int) -> socket.socket:
    listener = socket.create_server((HOST, port))
    listener.settimeout(TIMEOUT)
    return listener


def accept_and_serve(listener: socket.socket) -> None:
    conn, peer = listener.accept()
    with conn:
        conn.settimeout(TIMEOUT)
        print(f"server: connection from {peer[0]}:{peer[1]}", flush=True)
        serve_one(conn)


def main(argv: list[str]) -> int:
    port = int(argv[1]) if len(argv) > 1 else 0
    with listen(port) as listener:
        port = listener.getsockname()[1]
        print(f"server: listening on {HOST}:{port}", flush=True)
        if len(argv) > 1:
            accept_and_serve(listener)
            return 0
        # No port given: run the client against ourselves, so the demo needs nothing else.
        client = Path(__file__).with_name("tcp_client.py")
        args = [sys.executable, str(client), str(port)]
        with subprocess.Popen(args, stdout=subprocess.PIPE, text=True) as child:
            try:
                accept_and_serve(listener)
            finally:
                # Relay the client's output after the conversation, not interleaved with ours.
                out, _ = child.communicate(timeout=TIMEOUT)
                print(out, end="", flush=True)
        return child.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
