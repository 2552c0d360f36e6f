"""`python -m quarl`: inspect, to-json and from-json; one table of commands and what they print."""

import datetime
import decimal
import json
import math
import os
import pty
import re
import subprocess
import sys
import tempfile
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quarl import Quarl, QuarlStreamEncoder, _inspect
from quarl.__main__ import main

from builders import EOS, HANDSHAKE, doc, frame, lz4_block, u32

USAGE = "usage"  # exit status 2, the usage error last on standard error


def packed(value, compress=False) -> bytes:
    return Quarl().encode_packed(value, compress)


def shows(data: bytes, *needles, args=()):
    """A row: `inspect` of `data` succeeds and its listing shows every needle."""
    return ["inspect", data, *args], None, list(needles), None


SPECIAL = packed({
    "when": datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
    "day": datetime.date(2024, 5, 1), "at": datetime.time(12, 30, 0, 250000),
    "id": uuid.UUID("12345678-1234-5678-1234-567812345678"), "price": decimal.Decimal("1.10"),
    "raw": b"\x00\x01\xfe", "seq": (1, 2.5, None, True, "é"),
})
ENCODER = QuarlStreamEncoder()
JSON_LINES = HANDSHAKE + ENCODER.encode_frame({"a": 1}) + frame(b"skipped", type=2) + ENCODER.encode_frame([1, "x"]) + EOS
TWO_FRAMES = HANDSHAKE + frame(doc("31")) + frame(doc("32"))
FLOAT_ARRAY_DOC = doc("90 02000000 000000000000f03f 0000000000000040 ff", strings=["", "k"])
TWENTY = packed(list(range(100, 120)))

# (command line, standard input, output, error). Bytes in the command line are written to a file
# whose name takes their place. Output: bytes for exactly that output (or the -o file); else a list
# of what it shows: a str it contains, bytes it starts with, or a listing row (offset, hex bytes or
# None for any, text). Error: None for success; a message for exit status 1 with that one line.
CASES = [
    (["--help"], None, ["inspect", "to-json", "from-json"], None),
    (["inspect", "--help"], None, ["--max-items", "--as", "!!"], None),
    (["to-json", "--help"], None, ["base64", "hex", "ISO 8601", "JSON Lines", "--indent"], None),
    (["from-json", "--help"], None, ["--stream", "--compress", "-o"], None),
    *[(args, None, [], USAGE) for args in ([], ["bogus"], ["inspect"], ["to-json", "--bytes", "octal"],
                                            ["inspect", "x", "--max-items", "-1"])],
    # from-json
    (["from-json"], b'{"a": 1}', bytes.fromhex("51 4c 00 01 01 00 01 61 70 00 00 00 00 31 7f"), None),
    (["from-json", "--stream"], b'{"a": 1}\n\n  \n[1, 2]\n', bytes.fromhex(
        "514d0100" "0f0000000100" "514c00010100016170000000003" "17f" "0d0000000100" "514c00010000600200000031" "32"
        "000000000000"), None),
    (["from-json", "-o", "out.ql"], b"null", bytes.fromhex("514c00010000" "10"), None),
    # Lines end at "\n" only: JSON text may hold U+2028 unescaped.
    (["from-json", "--stream"], '"a\u2028b"\n'.encode(), HANDSHAKE + ENCODER.encode_frame("a\u2028b", compress=False) + EOS, None),
    (["to-json", HANDSHAKE + ENCODER.encode_frame("a\u2028b", compress=False) + EOS], None, '"a\u2028b"\n'.encode(), None),
    (["from-json", "--compress"], json.dumps("x" * 246).encode(), [u32(257)], None),
    (["from-json", "--compress"], json.dumps("x" * 245).encode(), [b"QL\x01"], None),
    (["from-json"], b'{"a":', b"", "invalid JSON: Expecting value (line 1, column 6)"),
    (["from-json"], b"", b"", "invalid JSON: Expecting value (line 1, column 1)"),
    (["from-json"], b"\xff", b"", "invalid JSON: not UTF-8 text (invalid start byte at byte 0)"),
    (["from-json", "--stream"], b'1\n{"a" 2}\n', b"", "invalid JSON: line 2: Expecting ':' delimiter (column 6)"),
    (["from-json"], json.dumps({"k" * 300: 1}).encode(), b"",
     "ValueError: dict key of 300 bytes is too long: keys are limited to 255 bytes of UTF-8"),
    (["from-json", "missing.json"], b"", b"", "cannot read 'missing.json': No such file or directory"),
    # to-json
    (["to-json", SPECIAL], None, [
        '{"when": "2024-05-01T12:30:00+02:00", "day": "2024-05-01", "at": "12:30:00.250000", '
        '"id": "12345678-1234-5678-1234-567812345678", "price": "1.10", "raw": "AAH+", '
        '"seq": [1, 2.5, null, true, "é"]}\n'], None),
    (["to-json", SPECIAL, "--bytes", "hex"], None, ['"raw": "0001fe"'], None),
    (["to-json", SPECIAL, "--indent", "2"], None, ['{\n  "when": "2024-05-01T12:30:00+02:00",\n  "day"'], None),
    (["to-json", "-"], packed([math.inf, -math.inf, math.nan]), b"[Infinity, -Infinity, NaN]\n", None),
    (["to-json", JSON_LINES], None, b'{"a": 1}\n[1, "x"]\n', None),
    (["to-json", "--indent", "2", JSON_LINES], None, b"",
     "--indent applies to documents: a stream is written as one JSON value per line"),
    (["to-json", TWO_FRAMES + frame(doc("7f"))], None, b"1\n2\n", "ValueError: Unknown tag: 0x7f"),
    (["to-json", TWO_FRAMES + frame(doc("10"), type=3)], None, b"1\n2\n", "ValueError: Unknown frame type: 0x03"),
    (["to-json", TWO_FRAMES + frame(doc("10"))[:-1]], None, b"1\n2\n",
     "the stream ends inside a frame: 12 bytes left undecoded"),
    (["to-json", doc("70")], None, b"", "ValueError: Object not properly terminated"),
    # inspect
    shows(packed({"a": [1, 2.5, None], "b": "x"}), "string table: 2 entries",
          (0, "51 4c", 'magic "QL"'), (2, "00", "compress requested: 0"), (3, "01", "fixed byte: 1"),
          (4, "02 00", "string count: 2"), (6, "01 61", "#0 'a'"), (8, "01 62", "#1 'b'"), (10, "70", "dict"),
          (11, "00 00 00 00", "key #0 'a':"), (15, "60 03 00 00 00", "list, 3 items"),
          (20, "31", "[0] small int 1"), (21, "40 00 00 00 00 00 00 04 40", "[1] float 2.5"), (30, "10", "[2] None"),
          (31, "01 00 00 00", "key #1 'b':"), (35, "50 01 00 00 00 78", "str, 1 byte: 'x'"), (41, "7f", "end of dict")),
    shows(HANDSHAKE + ENCODER.encode_frame({"a": 1}) + frame(b"xyz", type=2) + EOS + b"\x01\x02",
          "frame 0: data", "frame 1: skip", "frame 2: end-of-stream",
          (0, "51 4d", 'stream magic "QM"'), (2, "01", "version: 1"), (4, "0f 00 00 00", "payload length: 15"),
          (8, "01", "type: 0x01 (data)"), (9, "00", "flags: 0x00"), (10, "51 4c", 'magic "QL"'),
          (19, "00 00 00 00", "key #0 'a':"), (25, "03 00 00 00", "payload length: 3"),
          (29, "02", "type: 0x02 (skip)"), (31, "78 79 7a", "skipped payload, 3 bytes"),
          (38, "00", "type: 0x00 (end-of-stream)"), (40, "01 02", "2 bytes after the end-of-stream frame, never read")),
    shows(packed(300), (6, "38 2c 01 00 00 00 00 00 00", "int64 300")),
    shows(packed(True), (6, "21", "True")),
    shows(packed(""), (6, "50 00 00 00 00", "str, 0 bytes: ''")),
    shows(packed(b"\x00\x01"), (6, "80 02 00 00 00 00 01", "bytes, 2 bytes: 00 01")),
    shows(packed({}), (6, "70", "dict")),
    shows(packed(datetime.date(2024, 5, 1)), (6, "d2 0a 00 00 00 32 30 32 ..", "date, 10 bytes: '2024-05-01'")),
    shows(packed(decimal.Decimal("-0")), (6, "d5 02 00 00 00 2d 30", "decimal, 2 bytes: '-0'")),
    shows(packed(uuid.UUID(int=1)),
          (6, "d4 20 00 00 00 30 30 30 ..", "uuid, 32 bytes: '00000000000000000000000000000001'")),
    # what the encoder never writes
    shows(FLOAT_ARRAY_DOC, (9, "90 02 00 00 00 00 00 00 ..", "float array, 2 items: [1.0, 2.0]"),
          (30, "ff", "1 byte after the value, ignored by the decoder")),
    shows(doc("3f"), (6, "3f", "small int 15")),
    shows(doc("38 0500000000000000"), (6, "38 05 00 00 00 00 00 00 00", "int64 5 (read as a small int)")),
    shows(TWENTY, (29, "38 66 00 00 00 00 00 00 00", "[2] int64 102"),
          (38, "", "... 17 more items not listed, up to offset 191"), args=["--max-items", 3]),
    shows(TWENTY, "[19] int64 119", args=["--max-items", 0]),
    # Whole lines: the indentation shows the nesting.
    shows(packed({"a": [1, {"b": 2}], "c": {"d": 1, "e": 2, "f": 3}}), "\n  19  00 00 00 00" + " " * 23 + "key #0 'a':\n",
          "\n  34  32" + " " * 40 + "small int 2\n",
          "\n  51" + " " * 40 + "... 1 more entry not listed, up to offset 56\n", args=["--max-items", 2]),
    shows(packed({f"k{i}": None for i in range(128)}), "#127 ''  (index never used as a key)", "key #128 'k127':",
          args=["--max-items", 0]),
    (["inspect", HANDSHAKE + frame(doc("31")) + frame(doc("10"))[:-1]], None,
     [(23, "51 4c 00 01 00 00", "payload cut short: 6 of 7 bytes; the stream ends inside this frame")],
     "the stream ends inside a frame: 12 bytes left undecoded"),
    shows(frame(doc("31")) + EOS, "no handshake: the first frame starts at offset 0", (12, "31", "small int 1")),
    shows(HANDSHAKE + frame(doc("31")), "no end-of-stream frame"),
    shows(packed("x" * 246, True), "single-block envelope", "document (decompressed, offsets from its first byte), 257 bytes",
          (0, "01 01 00 00", "uncompressed size: 257"),
          (6, "50 f6 00 00 00 78 78 78 ..", "str, 246 bytes: " + repr("x" * 60) + "...")),
    shows(packed("x" * 999_989, True), "parallel envelope", "str, 999989 bytes",
          (0, "40 42 0f 00", "total uncompressed size: 1000000"), (4, "04 00 00 00", "chunk count: 4")),
]

DOC_400 = packed("x" * 400)
ENVELOPED_400 = packed("x" * 400, True)
MALFORMED = [
    (doc("7f"), [], 6, "ValueError", "Unknown tag: 0x7f"),
    (doc(""), [], 6, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("70"), [], 7, "ValueError", "Object not properly terminated"),
    (doc("70 00 00"), [], 7, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("70 05000000 10 7f", strings="abcde"), [], 17, "ValueError", "Invalid string table index: 5"),
    (doc("60 03000000 31 32"), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("60 00000001 31"), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("60 01000000" * 128), [], 646, "RecursionError", "Maximum recursion depth exceeded during QUARL decoding"),
    (doc("60 01000000" * 128 + "31"), [], 646, "RecursionError", "Maximum recursion depth exceeded during QUARL decoding"),
    (doc("90 02000000" + "00" * 15), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("40 0000000000000f"), [], 7, "ValueError", "Unexpected end of buffer during parsing"),
    (b"QL\x00\x01\x01\x00", [], 6, "ValueError", "Unexpected end of buffer in string table"),
    (b"QL\x00\x01\x01\x00\x05ab", [], 6, "ValueError", "String extends beyond buffer in string table"),
    (b"QL\x00\x01\x01\x00\x01\xff\x10", [], 6, "ValueError",
     "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0"),
    (b"QL\x00\x01\x01\x00\x02\xe2\x82\x10", [], 6, "ValueError",
     "Invalid UTF-8 in string table: incomplete utf-8 byte sequence from index 0"),
    (b"QX\x00\x01\x00\x00\x10", ["--as", "document"], 0, "ValueError", "Invalid QUARL magic number"),
    (b"QL\x00", ["--as", "document"], 0, "ValueError", "Decompressed buffer too small for QUARL header"),
    (doc("50 01000000 ff"), [], 11, "UnicodeDecodeError",
     "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    (doc("d4 04000000 313233ff"), [], 11, "ValueError",
     "Invalid UTF-8 in UUID string: invalid utf-8 sequence of 1 bytes from index 3"),
    (doc("d2 03000000 313233"), [], 11, "ValueError", "Invalid isoformat string: '123'"),
    (b"\x00", [], 0, "ValueError", "Buffer too small for QUARL payload"),
    (b"\x01\x02\x03", [], 0, "ValueError", "Buffer too small for compressed QUARL data"),
    (bytes.fromhex("0000000009000000"), [], 4, "ValueError", "Invalid chunks count in parallel compression header"),
    (bytes.fromhex("0500000000000000"), [], 0, "ValueError", "Decompressed size mismatch: expected 5, got 0"),
    (bytes.fromhex("05000000 01000000 08000000"), [], 8, "ValueError",
     "Unexpected end of data in parallel compression chunk data"),
    (b"QM\x02\x00", [], 2, "ValueError", "Unsupported stream version: 2 (expected 1)"),
    (HANDSHAKE + frame(doc("10"), type=7), [], 8, "ValueError", "Unknown frame type: 0x07"),
    (HANDSHAKE + frame(doc("10")), ["--max-frame-size", 6], 4, "ValueError",
     "Frame size 7 exceeds maximum allowed 6"),
    (HANDSHAKE + frame(doc("10")) + frame(doc("70 00")), [], 30, "ValueError", "Unexpected end of buffer during parsing"),
    (HANDSHAKE + frame(ENVELOPED_400, flags=1), ["--max-frame-size", 300], 10, "ValueError",
     f"Decompressed frame size {len(DOC_400)} exceeds maximum allowed 300"),
    (doc("60 05000000 10 10 10 50 01000000 ff"), ["--max-items", 2], 19, "UnicodeDecodeError", "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
]

# The listing of a malformed input stops at the fault, marked "!!", with the decoder's own error.
CASES += [(["inspect", data, *args], None, [(offset, None, f"!! {message}")], f"{kind}: {message}")
          for data, args, offset, kind, message in MALFORMED]


def assert_shows(out: bytes, needle) -> None:
    if isinstance(needle, bytes):
        assert out.startswith(needle), out[:40]
    elif isinstance(needle, str):
        assert needle in out.decode(), out.decode()
    else:
        offset, hex_bytes, text = needle
        hex_pattern = "[0-9a-f .]*" if hex_bytes is None else re.escape(hex_bytes)
        pattern = rf"^\s*{offset}\s+{hex_pattern}\s+{re.escape(text)}$"
        assert re.search(pattern, out.decode(), re.M), (needle, out.decode())


@pytest.mark.parametrize("argv, stdin, out, err", CASES, ids=[f"{n}-{' '.join(map(str, c[0]))[:30]}"
                                                               for n, c in enumerate(CASES)])
def test_command_output_and_errors(tmp_path, argv, stdin, out, err):
    args = []
    for n, arg in enumerate(argv):
        if isinstance(arg, bytes):
            (tmp_path / f"in{n}").write_bytes(arg)
            arg = f"in{n}"
        args.append(str(arg))
    # Away from the source tree, so that the installed package is the one run.
    proc = subprocess.run([sys.executable, "-m", "quarl", *args], input=stdin, capture_output=True,
                          cwd=tmp_path, timeout=60)
    stderr = proc.stderr.decode()
    if err == USAGE:
        assert proc.returncode == 2 and stderr.splitlines()[-1].startswith("quarl: error: "), stderr
    else:
        assert (proc.returncode, stderr) == ((0, "") if err is None else (1, f"quarl: error: {err}\n"))
    stdout = proc.stdout
    if "-o" in args:
        assert stdout == b""
        stdout = (tmp_path / args[args.index("-o") + 1]).read_bytes()
    if isinstance(out, bytes):
        assert stdout == out
    for needle in [] if isinstance(out, bytes) else out:
        assert_shows(stdout, needle)


def test_from_json_refuses_a_terminal(tmp_path):
    main_fd, terminal = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "quarl", "from-json"], input=b"1",
                              stdout=terminal, stderr=subprocess.PIPE, cwd=tmp_path, timeout=60)
    finally:
        os.close(terminal)
        os.close(main_fd)
    assert (proc.returncode, proc.stderr) == (1, b"quarl: error: refusing to write binary data to a terminal: "
                                                 b"redirect the output or use -o FILE\n")


def test_inspect_survives_a_closed_pipe(tmp_path):
    path = tmp_path / "input.bin"
    path.write_bytes(packed(list(range(20000))))
    proc = subprocess.Popen([sys.executable, "-m", "quarl", "inspect", "--max-items", "0", path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=60)
    assert err == b""


def run_main(args: list[str], capsys) -> tuple[int, bytes, str]:
    code = main(args)
    out, err = capsys.readouterr()
    return code, out, err.decode()


def parallel_envelope(document: bytes, chunk_size: int) -> bytes:
    """A parallel envelope built by hand, with chunks small enough for a quick property test."""
    chunks = [document[i : i + chunk_size] for i in range(0, len(document), chunk_size)]
    blocks = [u32(len(c)) + lz4_block(c) for c in chunks]
    return u32(len(document)) + u32(len(chunks)) + b"".join(u32(len(b)) + b for b in blocks)


SAMPLE_DOCUMENT = packed({"a": [1, 2.5, None, "xy", b"z"], "b": {"c": -300}})
FUZZ_SEEDS = [
    SAMPLE_DOCUMENT,
    doc("d2 0a000000 323032342d30352d3031 90 01000000 000000000000f03f", strings=["k"]),
    HANDSHAKE + frame(doc("70 00000000 31 7f", strings=["a"])) + EOS,
    packed(["abc" * 100, 1], True),
    parallel_envelope(SAMPLE_DOCUMENT, 20),
]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_inspect_reports_what_the_codec_reports(data, capsysbinary):
    # The decoder reads documents and envelopes for inspect; the stream's framing is read
    # in Python, so its verdict is checked against the stream decoder's here.
    seed = data.draw(st.sampled_from(FUZZ_SEEDS))
    mutated = bytearray(seed)
    for _ in range(data.draw(st.integers(1, 3))):
        mutated[data.draw(st.integers(0, len(seed) - 1))] = data.draw(st.integers(0, 255))
    cut = bytes(mutated[: data.draw(st.integers(0, len(mutated)))])
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "input.bin")
        with open(path, "wb") as file:
            file.write(cut)
        code, out, err = run_main(["inspect", path], capsysbinary)
    faults = [line.split("!! ", 1)[1] for line in out.decode().splitlines() if "!! " in line]
    outcome = _inspect.decode_with_codec(cut, _inspect.detect_kind(cut))
    if outcome.error is not None:
        message = f"{type(outcome.error).__name__}: {outcome.error}"
        assert err == f"quarl: error: {message}\n" and faults == [str(outcome.error)], (err, faults)
    elif outcome.pending:
        assert err == f"quarl: error: the stream ends inside a frame: {outcome.pending} bytes left undecoded\n"
        assert faults == []
    else:
        assert code == 0 and err == "" and faults == []
