"""`python -m quarl`: inspect, to-json and from-json, their output, exit codes and error lines."""

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


@pytest.fixture
def cli(tmp_path):
    """Runs `python -m quarl` away from the source tree, so the installed package is the one run."""

    def run(*args, stdin: bytes = b"", stdout=subprocess.PIPE):
        proc = subprocess.run([sys.executable, "-m", "quarl", *map(str, args)], input=stdin,
                              stdout=stdout, stderr=subprocess.PIPE, cwd=tmp_path, timeout=60)
        assert b"Traceback" not in proc.stderr, proc.stderr.decode()
        return proc

    return run


@pytest.fixture
def put(tmp_path):
    def write(data: bytes, name: str = "input.bin"):
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write


def one_error_line(proc) -> str:
    """The single stderr line of a failed run, after checking the exit status."""
    assert proc.returncode == 1
    lines = proc.stderr.decode().splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("quarl: error: ")
    return lines[0].removeprefix("quarl: error: ")


def has_row(listing: str, offset: int, hex_bytes: str, text: str) -> bool:
    pattern = rf"^\s*{offset}\s+{re.escape(hex_bytes)}\s+{re.escape(text)}$"
    return re.search(pattern, listing, re.M) is not None


# --- help and usage -------------------------------------------------------


@pytest.mark.parametrize(
    "command, needles",
    [
        ([], ["inspect", "to-json", "from-json"]),
        (["inspect"], ["--max-items", "--as", "!!"]),
        (["to-json"], ["base64", "hex", "ISO 8601", "JSON Lines", "--indent"]),
        (["from-json"], ["--stream", "--compress", "-o"]),
    ],
)
def test_help_explains_the_choices(cli, command, needles):
    proc = cli(*command, "--help")
    assert proc.returncode == 0
    for needle in needles:
        assert needle in proc.stdout.decode()


@pytest.mark.parametrize(
    "args",
    [[], ["bogus"], ["inspect"], ["to-json", "--bytes", "octal"], ["inspect", "x", "--max-items", "-1"]],
)
def test_usage_errors_exit_2_with_the_error_last(cli, args):
    proc = cli(*args)
    assert proc.returncode == 2
    assert proc.stderr.decode().splitlines()[-1].startswith("quarl: error: ")


# --- from-json ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, stdin, expected",
    [
        ([], b'{"a": 1}', "51 4c 00 01 01 00 01 61 70 00 00 00 00 31 7f"),
        (["--stream"], b'{"a": 1}\n\n  \n[1, 2]\n',
         "514d0100" "0f0000000100" "514c00010100016170000000003" "17f" "0d0000000100" "514c00010000600200000031" "32"
         "000000000000"),
        (["-o", "out.ql"], b"null", "514c00010000" "10"),
    ],
)
def test_from_json_writes_documents_and_streams(cli, tmp_path, args, stdin, expected):
    proc = cli("from-json", *args, stdin=stdin)
    assert proc.returncode == 0
    if "-o" in args:
        assert proc.stdout == b""
    assert ((tmp_path / "out.ql").read_bytes() if "-o" in args else proc.stdout) == bytes.fromhex(expected)


def test_from_json_compress_wraps_large_documents(cli):
    proc = cli("from-json", "--compress", stdin=json.dumps("x" * 246).encode())
    assert proc.stdout[:4] == u32(257)
    proc = cli("from-json", "--compress", stdin=json.dumps("x" * 245).encode())
    assert proc.stdout[:3] == b"QL\x01"


def test_from_json_refuses_a_terminal(tmp_path):
    main_fd, terminal = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "quarl", "from-json"], input=b"1",
                              stdout=terminal, stderr=subprocess.PIPE, cwd=tmp_path, timeout=60)
    finally:
        os.close(terminal)
        os.close(main_fd)
    assert one_error_line(proc) == ("refusing to write binary data to a terminal: redirect the "
                                    "output or use -o FILE")


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        ([], b'{"a":', "invalid JSON: Expecting value (line 1, column 6)"),
        ([], b"", "invalid JSON: Expecting value (line 1, column 1)"),
        ([], b"\xff", "invalid JSON: not UTF-8 text (invalid start byte at byte 0)"),
        (["--stream"], b'1\n{"a" 2}\n', "invalid JSON: line 2: Expecting ':' delimiter (column 6)"),
        ([], json.dumps({"k" * 300: 1}).encode(),
         "ValueError: dict key of 300 bytes is too long: keys are limited to 255 bytes of UTF-8"),
        (["missing.json"], b"", "cannot read 'missing.json': No such file or directory"),
    ],
)
def test_from_json_errors_are_one_line(cli, args, stdin, message):
    proc = cli("from-json", *args, stdin=stdin)
    assert one_error_line(proc) == message
    assert proc.stdout == b""


# --- to-json --------------------------------------------------------------

SPECIAL_VALUES = {
    "when": datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
    "day": datetime.date(2024, 5, 1),
    "at": datetime.time(12, 30, 0, 250000),
    "id": uuid.UUID("12345678-1234-5678-1234-567812345678"),
    "price": decimal.Decimal("1.10"),
    "raw": b"\x00\x01\xfe",
    "seq": (1, 2.5, None, True, "é"),
}


@pytest.mark.parametrize(
    "args, expected",
    [
        ([], '{"when": "2024-05-01T12:30:00+02:00", "day": "2024-05-01", "at": "12:30:00.250000", '
             '"id": "12345678-1234-5678-1234-567812345678", "price": "1.10", "raw": "AAH+", '
             '"seq": [1, 2.5, null, true, "é"]}\n'),
        (["--bytes", "hex"], '"raw": "0001fe"'),
        (["--indent", "2"], '{\n  "when": "2024-05-01T12:30:00+02:00",\n  "day"'),
    ],
)
def test_to_json_writes_special_types_as_strings(cli, put, args, expected):
    path = put(Quarl().encode_packed(SPECIAL_VALUES, False))
    proc = cli("to-json", path, *args)
    assert proc.returncode == 0
    assert expected in proc.stdout.decode("utf-8")


def test_to_json_reads_standard_input_and_non_finite_floats(cli):
    proc = cli("to-json", "-", stdin=Quarl().encode_packed([math.inf, -math.inf, math.nan], False))
    assert proc.stdout == b"[Infinity, -Infinity, NaN]\n"


def test_to_json_writes_a_stream_as_json_lines(cli, put):
    encoder = QuarlStreamEncoder()
    stream = HANDSHAKE + encoder.encode_frame({"a": 1}) + frame(b"skipped", type=2)
    stream += encoder.encode_frame([1, "x"]) + EOS
    proc = cli("to-json", put(stream))
    assert proc.returncode == 0
    assert proc.stdout == b'{"a": 1}\n[1, "x"]\n'
    assert one_error_line(cli("to-json", "--indent", "2", put(stream))) == (
        "--indent applies to documents: a stream is written as one JSON value per line")


TWO_FRAMES = HANDSHAKE + frame(doc("31")) + frame(doc("32"))


@pytest.mark.parametrize(
    "data, out, message",
    [
        (TWO_FRAMES + frame(doc("7f")), b"1\n2\n", "ValueError: Unknown tag: 0x7f"),
        (TWO_FRAMES + frame(doc("10"), type=3), b"1\n2\n", "ValueError: Unknown frame type: 0x03"),
        (TWO_FRAMES + frame(doc("10"))[:-1], b"1\n2\n", "the stream ends inside a frame: 12 bytes left undecoded"),
        (doc("70"), b"", "ValueError: Object not properly terminated"),
    ],
)
def test_to_json_keeps_the_values_before_a_fault(cli, put, data, out, message):
    proc = cli("to-json", put(data))
    assert proc.stdout == out
    assert one_error_line(proc) == message


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1)
    | st.floats(allow_nan=False) | st.text(max_size=20),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=10), inner, max_size=5),
    max_leaves=20,
)


def run_main(args: list[str], capsys) -> tuple[int, bytes, str]:
    code = main(args)
    out, err = capsys.readouterr()
    return code, out, err.decode()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(values=st.lists(json_values, min_size=1, max_size=4), stream=st.booleans(), compress=st.booleans())
def test_json_round_trips_through_a_document_or_a_stream(values, stream, compress, capsysbinary):
    values = values if stream else values[:1]
    with tempfile.TemporaryDirectory() as work:
        source, encoded = os.path.join(work, "in.jsonl"), os.path.join(work, "out.ql")
        with open(source, "w", encoding="utf-8") as file:
            file.write("\n".join(json.dumps(v) for v in values) + "\n")
        flags = ["--stream"] * stream + ["--compress"] * compress
        assert run_main(["from-json", *flags, source, "-o", encoded], capsysbinary)[0] == 0
        code, out, err = run_main(["to-json", encoded], capsysbinary)
    assert (code, err) == (0, "")
    # Lines end at "\n" only: the JSON text may hold U+0085 or U+2028 unescaped.
    assert [json.loads(line) for line in out.decode().split("\n")[:-1]] == values


# --- inspect --------------------------------------------------------------


ENCODER = QuarlStreamEncoder()


@pytest.mark.parametrize(
    "data, rows, needles",
    [
        (Quarl().encode_packed({"a": [1, 2.5, None], "b": "x"}, False), [
            (0, "51 4c", 'magic "QL"'), (2, "00", "compress requested: 0"), (3, "01", "fixed byte: 1"),
            (4, "02 00", "string count: 2"), (6, "01 61", "#0 'a'"), (8, "01 62", "#1 'b'"), (10, "70", "dict"),
            (11, "00 00 00 00", "key #0 'a':"), (15, "60 03 00 00 00", "list, 3 items"),
            (20, "31", "[0] small int 1"), (21, "40 00 00 00 00 00 00 04 40", "[1] float 2.5"), (30, "10", "[2] None"),
            (31, "01 00 00 00", "key #1 'b':"), (35, "50 01 00 00 00 78", "str, 1 byte: 'x'"), (41, "7f", "end of dict"),
        ], ["string table: 2 entries"]),
        (HANDSHAKE + ENCODER.encode_frame({"a": 1}) + frame(b"xyz", type=2) + EOS + b"\x01\x02", [
            (0, "51 4d", 'stream magic "QM"'), (2, "01", "version: 1"), (4, "0f 00 00 00", "payload length: 15"),
            (8, "01", "type: 0x01 (data)"), (9, "00", "flags: 0x00"), (10, "51 4c", 'magic "QL"'),
            (19, "00 00 00 00", "key #0 'a':"), (25, "03 00 00 00", "payload length: 3"),
            (29, "02", "type: 0x02 (skip)"), (31, "78 79 7a", "skipped payload, 3 bytes"),
            (38, "00", "type: 0x00 (end-of-stream)"), (40, "01 02", "2 bytes after the end-of-stream frame, never read"),
        ], ["frame 0: data", "frame 1: skip", "frame 2: end-of-stream"]),
    ],
    ids=["document", "stream"],
)
def test_inspect_annotates_every_byte(cli, put, data, rows, needles):
    proc = cli("inspect", put(data))
    assert proc.returncode == 0 and proc.stderr == b""
    listing = proc.stdout.decode()
    for row in rows:
        assert has_row(listing, *row), row
    for needle in needles:
        assert needle in listing


FLOAT_ARRAY_DOC = doc("90 02000000 000000000000f03f 0000000000000040 ff", strings=["", "k"])


@pytest.mark.parametrize(
    "value, offset, row",
    [
        (300, 6, "38 2c 01 00 00 00 00 00 00  int64 300"),
        (-1, 6, "38 ff ff ff ff ff ff ff ff  int64 -1"),
        (True, 6, "21  True"),
        ("", 6, "50 00 00 00 00  str, 0 bytes: ''"),
        (b"\x00\x01", 6, "80 02 00 00 00 00 01  bytes, 2 bytes: 00 01"),
        ({}, 6, "70  dict"),
        (datetime.date(2024, 5, 1), 6, "d2 0a 00 00 00 32 30 32 ..  date, 10 bytes: '2024-05-01'"),
        (decimal.Decimal("-0"), 6, "d5 02 00 00 00 2d 30  decimal, 2 bytes: '-0'"),
        (uuid.UUID(int=1), 6, "d4 20 00 00 00 30 30 30 ..  uuid, 32 bytes: '00000000000000000000000000000001'"),
        # what the encoder never writes
        (FLOAT_ARRAY_DOC, 9, "90 02 00 00 00 00 00 00 ..  float array, 2 items: [1.0, 2.0]"),
        (FLOAT_ARRAY_DOC, 30, "ff  1 byte after the value, ignored by the decoder"),
        (doc("3f"), 6, "3f  small int 15"),
        (doc("38 0500000000000000"), 6, "38 05 00 00 00 00 00 00 00  int64 5 (read as a small int)"),
    ],
    ids=repr,
)
def test_inspect_names_each_tag(cli, put, value, offset, row):
    data = value if isinstance(value, bytes) and value.startswith(b"QL") else Quarl().encode_packed(value, False)
    listing = cli("inspect", put(data)).stdout.decode()
    hex_bytes, text = row.split("  ")
    assert has_row(listing, offset, hex_bytes, text)


def test_inspect_lists_long_containers_in_part(cli, put):
    path = put(Quarl().encode_packed(list(range(100, 120)), False))
    listing = cli("inspect", "--max-items", 3, path).stdout.decode()
    assert has_row(listing, 29, "38 66 00 00 00 00 00 00 00", "[2] int64 102")
    assert has_row(listing, 38, "", "... 17 more items not listed, up to offset 191")
    assert "[3]" not in listing
    assert "[19] int64 119" in cli("inspect", "--max-items", 0, path).stdout.decode()


def test_inspect_marks_the_index_that_collides_with_the_dict_end(cli, put):
    data = Quarl().encode_packed({f"k{i}": None for i in range(128)}, False)
    listing = cli("inspect", "--max-items", 0, put(data)).stdout.decode()
    assert "#127 ''  (index never used as a key)" in listing
    assert "key #128 'k127':" in listing


def test_inspect_reports_a_stream_cut_short(cli, put):
    proc = cli("inspect", put(HANDSHAKE + frame(doc("31")) + frame(doc("10"))[:-1]))
    assert one_error_line(proc) == "the stream ends inside a frame: 12 bytes left undecoded"
    assert has_row(proc.stdout.decode(), 23, "51 4c 00 01 00 00",
                   "payload cut short: 6 of 7 bytes; the stream ends inside this frame")
    assert "!!" not in proc.stdout.decode()


def test_inspect_recognises_a_stream_without_handshake(cli, put):
    listing = cli("inspect", put(frame(doc("31")) + EOS)).stdout.decode()
    assert "no handshake: the first frame starts at offset 0" in listing
    assert has_row(listing, 12, "31", "small int 1")
    listing = cli("inspect", put(HANDSHAKE + frame(doc("31")))).stdout.decode()
    assert "no end-of-stream frame" in listing


@pytest.mark.parametrize(
    "text, needles, rows",
    [("x" * 246, ["single-block envelope", "document (decompressed, offsets from its first byte), 257 bytes"],
      [(0, "01 01 00 00", "uncompressed size: 257"),
       (6, "50 f6 00 00 00 78 78 78 ..", "str, 246 bytes: " + repr("x" * 60) + "...")]),
     ("x" * 999_989, ["parallel envelope", "str, 999989 bytes"],
      [(0, "40 42 0f 00", "total uncompressed size: 1000000"), (4, "04 00 00 00", "chunk count: 4")])],
    ids=["single block", "parallel"],
)
def test_inspect_opens_an_envelope(cli, put, text, needles, rows):
    listing = cli("inspect", put(Quarl().encode_packed(text, True))).stdout.decode()
    for needle in needles:
        assert needle in listing
    for row in rows:
        assert has_row(listing, *row), row
    assert listing.count("record length: ") == (4 if len(text) > 1000 else 0)


def test_inspect_survives_a_closed_pipe(tmp_path, put):
    path = put(Quarl().encode_packed(list(range(20000)), False))
    proc = subprocess.Popen([sys.executable, "-m", "quarl", "inspect", "--max-items", "0", path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=60)
    assert err == b""


DOC_400 = Quarl().encode_packed("x" * 400, False)
ENVELOPED_400 = Quarl().encode_packed("x" * 400, True)
# Malformed inputs: (bytes, extra arguments, offset of the fault, exception class, message).
MALFORMED = [
    (doc("7f"), [], 6, "ValueError", "Unknown tag: 0x7f"),
    (doc(""), [], 6, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("70"), [], 7, "ValueError", "Object not properly terminated"),
    (doc("70 00 00"), [], 7, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("70 05000000 10 7f", strings="abcde"), [], 17, "ValueError", "Invalid string table index: 5"),
    (doc("60 03000000 31 32"), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("60 00000001 31"), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("60 01000000" * 128), [], 646, "RecursionError", "Maximum recursion depth exceeded during QUARL decoding"),
    (doc("90 02000000" + "00" * 15), [], 11, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("40 0000000000000f"), [], 7, "ValueError", "Unexpected end of buffer during parsing"),
    (doc("60 01000000" * 128 + "31"), [], 646, "RecursionError", "Maximum recursion depth exceeded during QUARL decoding"),
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


@pytest.mark.parametrize("data, args, offset, kind, message", MALFORMED,
                         ids=[f"{n}-{case[4][:40]}" for n, case in enumerate(MALFORMED)])
def test_inspect_stops_at_the_fault_with_the_decoders_error(cli, put, data, args, offset, kind, message):
    proc = cli("inspect", put(data), *args)
    last = proc.stdout.decode().splitlines()[-1]
    assert re.fullmatch(rf"\s*{offset}  [0-9a-f .]*  !! {re.escape(message)}", last), last
    assert one_error_line(proc) == f"{kind}: {message}"


def parallel_envelope(document: bytes, chunk_size: int) -> bytes:
    """A parallel envelope built by hand, with chunks small enough for a quick property test."""
    chunks = [document[i : i + chunk_size] for i in range(0, len(document), chunk_size)]
    blocks = [u32(len(c)) + lz4_block(c) for c in chunks]
    return u32(len(document)) + u32(len(chunks)) + b"".join(u32(len(b)) + b for b in blocks)


SAMPLE_DOCUMENT = Quarl().encode_packed({"a": [1, 2.5, None, "xy", b"z"], "b": {"c": -300}}, False)
FUZZ_SEEDS = [
    SAMPLE_DOCUMENT,
    doc("d2 0a000000 323032342d30352d3031 90 01000000 000000000000f03f", strings=["k"]),
    HANDSHAKE + frame(doc("70 00000000 31 7f", strings=["a"])) + EOS,
    Quarl().encode_packed(["abc" * 100, 1], True),
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
