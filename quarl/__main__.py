"""Command-line tools: `python -m quarl inspect | to-json | from-json`.

Every failure ends with one line on standard error, "quarl: error: ...", and
exit status 1 (2 for a wrong command line); never a traceback.
"""

from __future__ import annotations

import argparse
import base64
import datetime
import decimal
import json
import os
import sys
import uuid
from typing import Callable, NoReturn

from quarl import Quarl, QuarlStreamEncoder, __version__, _inspect

PROG = "python -m quarl"
KINDS = ("document", "envelope", "stream")

MAIN_DESCRIPTION = """\
Tools for quarl data: look inside documents, compression envelopes and
streams, and convert between documents and JSON."""

MAIN_EPILOG = """\
examples:
  python -m quarl inspect data.ql
  python -m quarl to-json data.ql | jq .
  echo '{"a": [1, 2.5, null]}' | python -m quarl from-json > data.ql
  python -m quarl from-json --stream events.jsonl -o events.qls

Run "python -m quarl COMMAND --help" for the options of a command."""

INSPECT_DESCRIPTION = """\
Print an annotated view of FILE: each field with its byte offset and its bytes
in hex. The input is recognised as a plain document (it begins with "QL"), a
stream (it begins with the handshake "QM", or reads as whole frames), or else a
compression envelope. Documents show their header, string table and value
tree; envelopes their size fields and chunk records, then the document inside;
streams their handshake, every frame header and each data frame's document.
The decoder itself reads the bytes, so what is shown is what it reads; the
view is written as it goes, in memory and time proportional to the input.

For a malformed input the view stops at the fault, marked "!!", and the
decoder's own error follows on standard error with exit status 1."""

TO_JSON_DESCRIPTION = """\
Decode FILE (a document, an envelope or a stream; default: standard input) and
write it as JSON: a document as one JSON value, a stream as one JSON value per
line (JSON Lines), one for each data frame.

Values that JSON has no type for are written as strings: UUID in its 36-character
form with dashes, Decimal as its exact text (e.g. "1.10"), date, time and datetime
in ISO 8601 (their isoformat()), and bytes in base64 (standard alphabet, with
padding) or, with --bytes hex, as lowercase hex. Floats that are NaN or infinite
are written as NaN, Infinity and -Infinity, as Python's json module does."""

FROM_JSON_DESCRIPTION = """\
Read JSON from FILE (default: standard input) and write its encoding: one
document for one JSON value, or with --stream a stream (handshake, one data
frame per non-blank input line, end-of-stream frame) for JSON Lines input.
Binary output goes to standard output, which must not be a terminal, or to the
file given with -o.

Integers beyond the signed 64-bit range are written as strings, as the encoder
does for any such int; dict keys longer than 255 bytes are refused."""


class CommandError(Exception):
    """A failure reported as one line, with exit status 1."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"quarl: error: {message}\n")


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def describe(error: BaseException) -> str:
    return one_line(f"{type(error).__name__}: {error}")


def read_input(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise CommandError(f"cannot read {path!r}: {error.strerror or error}") from None


def write_binary(data: bytes, path: str | None) -> None:
    if path is None:
        if sys.stdout.isatty():
            raise CommandError("refusing to write binary data to a terminal: redirect the output "
                               "or use -o FILE")
        write_stdout(data)
        return
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise CommandError(f"cannot write {path!r}: {error.strerror or error}") from None


def write_stdout(data: bytes) -> None:
    # A write into a pipe whose reader has gone can report part of the data
    # as written instead of failing; the next write then fails properly.
    view = memoryview(data)
    while view:
        view = view[sys.stdout.buffer.write(view) :]
    sys.stdout.buffer.flush()


def write_text(text: str) -> None:
    write_stdout(text.encode("utf-8", "backslashreplace"))


def non_negative(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def detect(data: bytes, forced: str | None) -> str:
    if forced is not None:
        return forced
    return _inspect.detect_kind(data)


def pending_error(pending: int) -> CommandError:
    return CommandError(f"the stream ends inside a frame: {pending} bytes left undecoded")


class TextOutput:
    """Collects lines and writes them to standard output in blocks."""

    BLOCK = 1 << 16

    def __init__(self) -> None:
        self.parts: list[str] = []
        self.size = 0

    def write(self, text: str) -> None:
        self.parts.append(text)
        self.size += len(text)
        if self.size >= self.BLOCK:
            self.flush()

    def flush(self) -> None:
        if self.parts:
            write_text("".join(self.parts))
            self.parts, self.size = [], 0


def run_inspect(args: argparse.Namespace) -> int:
    data = read_input(args.file)
    out = TextOutput()
    report = _inspect.inspect(data, args.kind or "auto", out.write, max_items=args.max_items,
                              max_frame_size=args.max_frame_size)
    out.flush()
    if report.error is not None:
        raise CommandError(describe(report.error))
    if report.pending:
        raise pending_error(report.pending)
    return 0


def json_default(bytes_format: str) -> Callable[[object], object]:
    encode_bytes = (lambda b: b.hex()) if bytes_format == "hex" else (
        lambda b: base64.b64encode(b).decode("ascii"))

    def default(value: object) -> object:
        if isinstance(value, bytes):
            return encode_bytes(value)
        if isinstance(value, (datetime.date, datetime.time)):
            return value.isoformat()
        if isinstance(value, (uuid.UUID, decimal.Decimal)):
            return str(value)
        raise TypeError(f"{type(value).__name__} has no JSON form")

    return default


def run_to_json(args: argparse.Namespace) -> int:
    data = read_input(args.file)
    kind = detect(data, args.kind)
    if kind == "stream" and args.indent is not None:
        raise CommandError("--indent applies to documents: a stream is written as one JSON value "
                           "per line")
    outcome = _inspect.decode_with_codec(data, kind, args.max_frame_size)
    default = json_default(args.bytes)
    for value in outcome.values:
        write_text(json.dumps(value, ensure_ascii=False, indent=args.indent, default=default) + "\n")
    if outcome.error is not None:
        raise CommandError(describe(outcome.error))
    if outcome.pending:
        raise pending_error(outcome.pending)
    return 0


def parse_json(text: bytes, line: int | None = None) -> object:
    where = f"line {line}: " if line is not None else ""
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        at = f"column {error.colno}" if line is not None else f"line {error.lineno}, column {error.colno}"
        raise CommandError(f"invalid JSON: {where}{error.msg} ({at})") from None
    except UnicodeDecodeError as error:
        raise CommandError(f"invalid JSON: {where}not UTF-8 text ({error.reason} at byte "
                           f"{error.start})") from None
    except RecursionError:
        raise CommandError(f"invalid JSON: {where}nested too deeply") from None


def run_from_json(args: argparse.Namespace) -> int:
    text = read_input(args.file)
    if not args.stream:
        document = Quarl().encode_packed(parse_json(text), args.compress)
        write_binary(document, args.output)
        return 0
    encoder = QuarlStreamEncoder()
    parts = [QuarlStreamEncoder.get_handshake()]
    for number, line in enumerate(text.split(b"\n"), start=1):
        if line.strip():
            parts.append(encoder.encode_frame(parse_json(line, number), compress=args.compress))
    parts.append(QuarlStreamEncoder.get_eos_frame())
    write_binary(b"".join(parts), args.output)
    return 0


def add_input(parser: argparse.ArgumentParser, optional: bool) -> None:
    if optional:
        parser.add_argument("file", metavar="FILE", nargs="?", default="-",
                            help='input file; "-" or omitted for standard input')
    else:
        parser.add_argument("file", metavar="FILE", help='input file; "-" for standard input')


def add_reading_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--as", dest="kind", choices=KINDS,
                        help="read the input as this kind instead of recognising it")
    parser.add_argument("--max-frame-size", type=non_negative, metavar="BYTES",
                        default=64 * 1024 * 1024,
                        help="largest frame payload a stream may carry (default: 67108864)")


def build_parser() -> Parser:
    def formatter(prog: str) -> argparse.HelpFormatter:
        return argparse.RawDescriptionHelpFormatter(prog, max_help_position=32)

    parser = Parser(prog=PROG, description=MAIN_DESCRIPTION, epilog=MAIN_EPILOG,
                    formatter_class=formatter)
    parser.add_argument("--version", action="version", version=f"quarl {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    inspect = commands.add_parser("inspect", help="show the fields of a document, envelope or stream",
                                  description=INSPECT_DESCRIPTION, formatter_class=formatter)
    add_input(inspect, optional=False)
    add_reading_options(inspect)
    inspect.add_argument("--max-items", type=non_negative, default=100, metavar="N",
                         help="list at most N items of each list or dict (default: 100; 0: all)")
    inspect.set_defaults(run=run_inspect)

    to_json = commands.add_parser("to-json", help="decode a document or stream to JSON",
                                  description=TO_JSON_DESCRIPTION, formatter_class=formatter)
    add_input(to_json, optional=True)
    add_reading_options(to_json)
    to_json.add_argument("--bytes", choices=("base64", "hex"), default="base64",
                         help="how bytes values are written (default: base64)")
    to_json.add_argument("--indent", type=non_negative, metavar="N",
                         help="pretty-print a document's JSON with N spaces per level")
    to_json.set_defaults(run=run_to_json)

    from_json = commands.add_parser("from-json", help="encode JSON as a document or stream",
                                    description=FROM_JSON_DESCRIPTION, formatter_class=formatter)
    add_input(from_json, optional=True)
    from_json.add_argument("--compress", action="store_true",
                           help="wrap documents of 257 bytes or more in a compression envelope")
    from_json.add_argument("--stream", action="store_true",
                           help="read JSON Lines and write a stream with one frame per line")
    from_json.add_argument("-o", "--output", metavar="FILE",
                           help="write to FILE instead of standard output")
    from_json.set_defaults(run=run_from_json)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except CommandError as error:
        message = str(error)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        message = describe(error)
    print(f"quarl: error: {message}", file=sys.stderr)
    return 1


def run() -> None:
    """Entry point of the `quarl` console script."""
    sys.exit(main())


if __name__ == "__main__":
    sys.exit(main())
