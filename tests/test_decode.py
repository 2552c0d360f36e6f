"""Decoding packed documents: header, string table, value section and special types."""

import datetime
import decimal
import gc
import math
import pickle
import random
import re
import struct
import sys
import tracemalloc
import types
import uuid

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from builders import dct, doc, exact, f64, float_array, i64, lst, nested_lists, text, u32, value_of
from quarl import Quarl, QuarlError

DEPTH_ERROR = "Maximum recursion depth exceeded during QUARL decoding"
UNEXPECTED_END = "Unexpected end of buffer during parsing"
HEADER_SHORT = "Decompressed buffer too small for QUARL header"


def decode(data: bytes, decompress: bool = True):
    return Quarl().decode_packed(data, decompress=decompress)


def unwrap(value, levels: int):
    for _ in range(levels):
        assert isinstance(value, list) and len(value) == 1
        value = value[0]
    return value


# --- malformed input: every error and its exact message ----------------------

MALFORMED = [
    # header and string table
    *[(f"{n} header bytes, decompress={d}", doc(b"\x10")[:n], d, HEADER_SHORT) for d in (False, True)
      for n in range(0 if not d else 2, 6)],
    ("one byte, decompression", b"Q", True, "Buffer too small for QUARL payload"),
    ("empty input, decompression", b"", True, "Buffer too small for QUARL payload"),
    ("wrong magic", b"XL\x00\x01\x00\x00\x10", False, "Invalid QUARL magic number"),
    ("swapped magic", b"LQ\x00\x01\x00\x00\x10", False, "Invalid QUARL magic number"),
    ("count 1, no table", doc(b"", count=1), True, "Unexpected end of buffer in string table"),
    ("count beyond entries", doc(b"", ["a", "b"], count=3), True, "Unexpected end of buffer in string table"),
    ("forged count 65535", doc(b"", ["a", "b"], count=65535), True, "Unexpected end of buffer in string table"),
    ("entry too long", doc(b"", count=1) + b"\x05ab", True, "String extends beyond buffer in string table"),
    ("entry not utf-8", doc(b"\x10", [b"\xff"]), True,
     "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0"),
    ("entry ends inside a sequence", doc(b"\x10", [b"\xe2\x82"]), True,
     "Invalid UTF-8 in string table: incomplete utf-8 byte sequence from index 0"),
    ("later entry not utf-8", doc(b"\x10", ["ok", b"ab\xc3("]), True,
     "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 2"),
    # value section
    ("no value", doc(b""), True, UNEXPECTED_END),
    ("dict end as value", doc(b"\x7f"), True, "Unknown tag: 0x7f"),
    *[(f"tag {tail[:1].hex()}", doc(tail), True, f"Unknown tag: 0x{tail[:1].hex()}")
      for tail in [b"\x00", b"\xab", b"\x05", b"\x41" + bytes(8), b"\x4f", b"\x11", b"\x71\x7f", b"\xd0" + u32(0),
                   b"\xd6" + u32(0), b"\xff"]],
    ("dict end as list element", doc(lst(b"\x31", b"\x7f")), True, "Unknown tag: 0x7f"),
    ("int64 with 7 bytes", doc(b"\x38" + bytes(7)), True, UNEXPECTED_END),
    ("float64 with 7 bytes", doc(b"\x40" + bytes(7)), True, UNEXPECTED_END),
    ("string length cut", doc(b"\x50\x01\x00"), True, UNEXPECTED_END),
    ("string payload cut", doc(b"\x50" + u32(3) + b"ab"), True, UNEXPECTED_END),
    ("bytes payload cut", doc(b"\x80" + u32(2) + b"\x00"), True, UNEXPECTED_END),
    ("list count cut", doc(b"\x60\x01\x00\x00"), True, UNEXPECTED_END),
    ("list of 3 holding 2", doc(b"\x60" + u32(3) + b"\x31\x32"), True, UNEXPECTED_END),
    ("dict tag last", doc(b"\x70"), True, "Object not properly terminated"),
    ("dict key index cut", doc(b"\x70\x00\x00", ["a"]), True, UNEXPECTED_END),
    ("dict value missing", doc(b"\x70" + u32(0), ["a"]), True, UNEXPECTED_END),
    ("dict without terminator", doc(b"\x70" + u32(0) + b"\x31", ["a"]), True, "Object not properly terminated"),
    ("key index = count", doc(dct((5, b"\x10")), "abcde"), True, "Invalid string table index: 5"),
    ("key index, no table", doc(dct((0, b"\x10"))), True, "Invalid string table index: 0"),
    ("huge key index", doc(dct((0xFFFFFFFF, b"\x10")), "a"), True, "Invalid string table index: 4294967295"),
    ("float array count cut", doc(b"\x90\x02\x00"), True, UNEXPECTED_END),
    ("float array of 2 with 15 bytes", doc(b"\x90" + u32(2) + bytes(15)), True, UNEXPECTED_END),
    ("datetime length cut", doc(b"\xd1\x05"), True, UNEXPECTED_END),
    ("uuid payload cut", doc(b"\xd4" + u32(32) + b"0" * 31), True, UNEXPECTED_END),
    ("decimal payload cut", doc(b"\xd5" + u32(1)), True, UNEXPECTED_END),
    # special-type text
    ("datetime text", doc(text(0xD1, b"2024-\xff")), True,
     "Invalid UTF-8 in datetime string: invalid utf-8 sequence of 1 bytes from index 5"),
    ("date text", doc(text(0xD2, b"\xe0\x80")), True,
     "Invalid UTF-8 in date string: invalid utf-8 sequence of 1 bytes from index 0"),
    ("time text", doc(text(0xD3, b"12:\xf0\x90\x80")), True,
     "Invalid UTF-8 in time string: incomplete utf-8 byte sequence from index 3"),
    ("uuid text", doc(text(0xD4, b"123\xff" + b"0" * 28)), True,
     "Invalid UTF-8 in UUID string: invalid utf-8 sequence of 1 bytes from index 3"),
    ("decimal text", doc(text(0xD5, b"\xc3")), True,
     "Invalid UTF-8 in Decimal string: incomplete utf-8 byte sequence from index 0"),
    ("utf-8 error far into a long payload", doc(text(0xD4, b"0" * 100_000 + "é".encode() + b"1" * 77 + b"\xe2\x82")),
     True, "Invalid UTF-8 in UUID string: incomplete utf-8 byte sequence from index 100079"),
]


@pytest.mark.parametrize("data, decompress, message", [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_malformed_input_fails_with_exact_message(data, decompress, message):
    with pytest.raises(QuarlError) as info:
        decode(data, decompress=decompress)
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize("payload", [b"\xff", b"a\xed\xa0\x80", b"\xc3("])
def test_invalid_utf8_string_value_raises_cpythons_error_unchanged(payload):
    with pytest.raises(UnicodeDecodeError) as info:
        decode(doc(text(0x50, payload)))
    with pytest.raises(UnicodeDecodeError) as expected:
        payload.decode("utf-8")
    assert str(info.value) == str(expected.value)
    assert info.value.object == payload


# --- UTF-8 error descriptions ------------------------------------------------

INVALID_1_AT_0 = "invalid utf-8 sequence of 1 bytes from index 0"
INCOMPLETE_AT_0 = "incomplete utf-8 byte sequence from index 0"
UTF8_CASES = [  # (bytes, expected description or None when valid)
    (b"", None), (b"plain ascii", None), ("é€𝄞\u07ff\uffff\U0010ffff".encode(), None),
    (b"\xed\x9f\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf\xf1\x80\x80\x80", None),
    (b"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
    *[(raw, INVALID_1_AT_0) for raw in [b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xf5\x80\x80\x80", b"\xff", b"\xc2A",
                                        b"\xc2\xc2\xa9", b"\xe0\x80\x80", b"\xe0\x9f\x80", b"\xed\xa0\x80",
                                        b"\xf0\x80\x80\x80", b"\xf0\x8f", b"\xf4\x90\x80\x80"]],
    *[(raw, INCOMPLETE_AT_0) for raw in [b"\xc2", b"\xe0\xa0", b"\xe1", b"\xf0\x90", b"\xf0\x90\x80", b"\xf4\x8f\xbf"]],
    (b"\xe0\xa0A", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xe1\x80\xc0", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf0\x90A", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf0\x90\x80A", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xf3\xbf\xbf\xc0", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"ab\xed\x9f", "incomplete utf-8 byte sequence from index 2"),
    # the first error wins, after a valid multi-byte prefix
    ("é".encode() + b"\xff\xc2", "invalid utf-8 sequence of 1 bytes from index 2"),
    ("€".encode() + b"\xc2", "incomplete utf-8 byte sequence from index 3"),
    # errors on every side of an 8-byte ASCII word
    (b"x" * 7 + b"\xff", "invalid utf-8 sequence of 1 bytes from index 7"),
    (b"x" * 8 + b"\xff", "invalid utf-8 sequence of 1 bytes from index 8"),
    (b"x" * 9 + b"\xff" + b"y" * 20, "invalid utf-8 sequence of 1 bytes from index 9"),
    (b"x" * 15 + b"\xe2\x82", "incomplete utf-8 byte sequence from index 15"),
    (b"x" * 250 + "é".encode() + b"x", None),
    (b"x" * 254 + b"\xc2", "incomplete utf-8 byte sequence from index 254"),
]


@pytest.mark.parametrize("raw, description", UTF8_CASES)
def test_utf8_descriptions_in_string_table_and_special_types(raw, description):
    if description is None:
        assert decode(doc(b"\x10", [raw])) is None
        return
    with pytest.raises(ValueError, match=exact(f"Invalid UTF-8 in string table: {description}")):
        decode(doc(b"\x10", [raw]))
    with pytest.raises(ValueError, match=exact(f"Invalid UTF-8 in Decimal string: {description}")):
        decode(doc(lst(text(0xD5, b"1"), text(0xD5, raw))))


def cpython_description(raw: bytes) -> str | None:
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


utf8_like = st.lists(
    st.one_of(
        st.binary(min_size=1, max_size=4),
        st.text(min_size=1, max_size=3).map(lambda s: s.encode("utf-8", "surrogatepass")),
        st.sampled_from([b"\x80", b"\xbf", b"\xc2", b"\xe0", b"\xed", b"\xf0", b"\xf4", b"\xa0", b"\x90"]),
    ),
    max_size=40,
).map(b"".join).filter(lambda b: len(b) <= 255)


@settings(max_examples=400, deadline=None)
@given(utf8_like)
def test_utf8_descriptions_agree_with_cpythons_decoder(raw):
    description = cpython_description(raw)
    if description is None:
        assert decode(doc(b"\x10", [raw])) is None
    else:
        with pytest.raises(ValueError, match=exact(f"Invalid UTF-8 in string table: {description}")):
            decode(doc(b"\x10", [raw]))


# --- the value format --------------------------------------------------------


def test_worked_example():
    value = bytes.fromhex("70 00000000 60 03000000 31 40 0000000000000440 10 7f")
    assert decode(doc(value, ["a"])) == {"a": [1, 2.5, None]}


VALUES = [
    (b"\x10", None), (b"\x20", False), (b"\x21", True),
    (b"\x30", 0), (b"\x37", 7), (b"\x39", 9), (b"\x3f", 15),
    (bytes.fromhex("38 2c01000000000000"), 300), (bytes.fromhex("38 ffffffffffffffff"), -1),
    (i64(8), 8), (i64(15), 15), (i64(16), 16), (i64(-16), -16), (i64(2**63 - 1), 2**63 - 1), (i64(-(2**63)), -(2**63)),
    (f64(2.5), 2.5), (f64(-1e308), -1e308),
    (bytes.fromhex("50 00000000"), ""), (text(0x50, "héllo wörld ✓ 𝄞"), "héllo wörld ✓ 𝄞"),
    (text(0x50, b"a\x00b"), "a\x00b"),
    (bytes.fromhex("70 7f"), {}), (bytes.fromhex("60 00000000"), []),
    (bytes.fromhex("80 02000000 0001"), b"\x00\x01"), (bytes.fromhex("80 00000000"), b""),
    (float_array(), []), (float_array(1.0, -2.5, 3e-300), [1.0, -2.5, 3e-300]),
    (lst(b"\x10", lst(lst()), dct()), [None, [[]], {}]),
    (b"\x60" + u32(3) + b"\x31\x32\x33", [1, 2, 3]),  # a count equal to the bytes left
    (b"\x30\x31", 0), (dct() + b"\xff\xff\xff", {}),  # bytes after the value are ignored
]


@pytest.mark.parametrize("value, expected", VALUES)
def test_values_decode(value, expected):
    result = decode(doc(value))
    assert type(result) is type(expected)
    assert result == expected


@pytest.mark.parametrize(
    "value, expected",
    [(b"\x35", 5), (i64(5), 5), (i64(0), 0), (b"\x3f", 15), (i64(15), 15), (b"\x10", None), (b"\x20", False),
     (b"\x21", True)],
)
def test_small_ints_and_singletons_are_the_interpreters_objects(value, expected):
    a, b = decode(doc(lst(value, value)))
    assert a == expected and a is b is expected


KEYS = [f"k{i}" for i in range(40)]


@pytest.mark.parametrize(
    "data, items",
    [(b"QL\xfe\x7f" + doc(dct((1, b"\x31")), ["unused", "used", ""])[4:], [("used", 1)]),
     (doc(dct((0, b"\x31"), (1, b"\x32"), (0, b"\x33")), ["a", "b"]), [("a", 3), ("b", 2)]),
     (doc(dct(*[(i, i64(i * 100)) for i in range(39, -1, -1)]), KEYS), [(KEYS[i], i * 100) for i in range(39, -1, -1)])],
    ids=["unused entries, any header bytes 2-3", "duplicate key: first position, later value", "document order"],
)
def test_dict_entries(data, items):
    assert list(decode(data).items()) == items


def test_key_objects_are_shared_but_not_interned():
    name = sys.intern("".join(["unusual", "_key_", str(random.random())]))
    codec = Quarl()
    (key1,), (key2,) = codec.decode_packed(doc(lst(dct((0, b"\x31")), dct((0, b"\x32"))), [name]))
    assert key1 is key2 and key1 == name and key1 is not name
    # Repeated documents get the same objects back from the codec's key cache.
    (key3,) = codec.decode_packed(doc(dct((0, b"\x10")), [name]))
    assert key3 is key1


# quiet NaN, negative quiet NaN, NaN with payload, negative signalling NaN, -0.0, inf, -inf, smallest subnormal
FLOAT_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000001, 0xFFF0000000000001, 0x8000000000000000,
              0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000001]


@pytest.mark.parametrize("bits", FLOAT_BITS, ids=hex)
def test_float_bit_patterns_survive(bits):
    raw = struct.pack("<Q", bits)
    assert value_of(Quarl().encode_packed([struct.unpack("<d", raw)[0]], False)) == lst(b"\x40" + raw)
    single = decode(doc(b"\x40" + raw))
    for x in [single, *decode(doc(b"\x90" + u32(2) + raw + raw))]:
        assert type(x) is float
        assert struct.pack("<d", x) == raw


def test_float_array_and_float64_agree():
    rng = random.Random(7)
    values = [rng.uniform(-1e9, 1e9) for _ in range(50)] + [math.pi, -0.0]
    assert decode(doc(float_array(*values))) == decode(doc(lst(*[f64(v) for v in values]))) == values


# --- depth -------------------------------------------------------------------


def mixed_nesting(levels: int) -> bytes:
    """Lists and dicts (key "a") alternating, list outermost."""
    return b"".join(b"\x70" + u32(0) if level % 2 else b"\x60" + u32(1) for level in range(levels))


def test_depth_limit_admits_127_levels_per_path():
    assert unwrap(decode(doc(nested_lists(127, b"\x31"))), 127) == 1
    assert unwrap(decode(doc(nested_lists(127, lst()))), 127) == []
    assert [unwrap(v, 126) for v in decode(doc(lst(*[nested_lists(126, b"\x31")] * 3)))] == [1, 1, 1]
    value = decode(doc(mixed_nesting(127) + b"\x10" + b"\x7f" * 63, ["a"]))
    for level in range(127):
        value = value["a"] if level % 2 else value[0]
    assert value is None


@pytest.mark.parametrize(
    "data",
    [doc(nested_lists(128, b"\x31")), doc(nested_lists(200, b"\x31")), doc(nested_lists(128, b"")),
     doc((b"\x70" + u32(0)) * 128, ["a"]), doc(mixed_nesting(127) + lst(b"\x10"), ["a"])],
    ids=["128 lists", "200 lists", "128 lists, no bytes left", "128 dicts, no bytes left", "mixed"],
)
def test_depth_limit_fails_and_leaves_the_codec_usable(data):
    codec = Quarl()
    with pytest.raises(RecursionError, match=exact(DEPTH_ERROR)) as info:
        codec.decode_packed(data)
    assert not isinstance(info.value, QuarlError)
    assert unwrap(codec.decode_packed(doc(nested_lists(127, b"\x31"))), 127) == 1


# --- forged counts -----------------------------------------------------------


def peak_allocation(func) -> int:
    tracemalloc.start()
    try:
        func()
    finally:
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    return peak


@pytest.mark.parametrize(
    "value",
    [b"\x60" + u32(0xFFFFFFFF) + b"\x31\x31", b"\x60" + u32(10_000_000) + b"\x31" * 100,
     lst(b"\x31", b"\x60" + u32(1 << 31) + b"\x10"), b"\x90" + u32(0xFFFFFFFF) + bytes(64),
     b"\x90" + u32(1 << 24) + bytes(8 * 1000)],
    ids=["list max count", "list 10M", "nested list 2^31", "float array max count", "float array 16M"],
)
def test_forged_counts_fail_without_allocating(value):
    def attempt():
        with pytest.raises(ValueError, match=exact(UNEXPECTED_END)):
            decode(doc(value))

    assert peak_allocation(attempt) < 1_000_000


def test_largest_string_table_decodes():
    keys = [f"k{i}" for i in range(65535)]
    assert decode(doc(dct((65534, b"\x31"), (0, b"\x32")), keys)) == {"k65534": 1, "k0": 2}


# --- special types -----------------------------------------------------------

ONE_HOUR = datetime.timedelta(hours=1)
SPECIAL_VALUES = [
    datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
    datetime.datetime(1999, 12, 31, 23, 59, 59, 999999), datetime.date(2024, 5, 1), datetime.time(12, 30, 0, 250000),
    datetime.time(0, 0, tzinfo=datetime.timezone.utc), datetime.time(1, 2, 3, tzinfo=datetime.timezone(-ONE_HOUR)),
    uuid.UUID("12345678-1234-5678-1234-567812345678"),
    decimal.Decimal("1.10"), decimal.Decimal("-0"), decimal.Decimal("1E+3"), decimal.Decimal("NaN"),
]


@pytest.mark.parametrize("value", SPECIAL_VALUES, ids=repr)
def test_special_types_round_trip(value):
    result = decode(Quarl().encode_packed({"v": [value]}, False))["v"][0]
    assert type(result) is type(value) and str(result) == str(value)
    assert result == value or value.is_nan()


UUID_0x1234 = uuid.UUID(int=0x12345678123456781234567812345678)


@pytest.mark.parametrize(
    "tag, payload, expected",
    [
        (0xD4, b"12345678123456781234567812345678", UUID_0x1234),
        (0xD4, b"12345678-1234-5678-1234-567812345678", UUID_0x1234),
        (0xD4, b"{12345678-1234-5678-1234-567812345678}", UUID_0x1234),
        (0xD5, b"-12.50", decimal.Decimal("-12.50")),
        (0xD1, b"2024-05-01T12:30:00+02:00", datetime.datetime.fromisoformat("2024-05-01T12:30:00+02:00")),
        (0xD2, b"2024-05-01", datetime.date(2024, 5, 1)),
        (0xD3, b"12:30:00.250000", datetime.time(12, 30, 0, 250000)),
        # the constructors' own errors pass through
        (0xD5, b"", decimal.InvalidOperation), (0xD5, b"1,5", decimal.InvalidOperation), (0xD4, b"xyz", ValueError),
        (0xD1, b"not a date", ValueError), (0xD2, b"2024-13-01", ValueError), (0xD3, b" 12:30", ValueError),
    ],
)
def test_special_types_from_hand_built_text(tag, payload, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            decode(doc(text(tag, payload)))
        return
    result = decode(doc(text(tag, payload)))
    assert type(result) is type(expected) and result == expected


STANDARD = {0xD1: datetime.datetime.fromisoformat, 0xD2: datetime.date.fromisoformat,
            0xD3: datetime.time.fromisoformat, 0xD4: uuid.UUID, 0xD5: decimal.Decimal}
# A first value of each kind, so that the values under test find the decoder warm.
PRIMERS = {0xD1: "2000-01-01T00:00:00", 0xD2: "2000-01-01", 0xD3: "00:00:00", 0xD4: "0" * 32, 0xD5: "1"}
UUID_ATTRIBUTES = ["int", "is_safe", "hex", "urn", "bytes", "bytes_le", "fields", "version", "variant", "node"]

# Few distinct parts, so that offsets differing in their seconds or
# microseconds alone often meet in one document.
offsets = st.builds(
    lambda sign, h, m, s, us: sign * datetime.timedelta(hours=h, minutes=m, seconds=s, microseconds=us),
    st.sampled_from([1, -1]), st.sampled_from([0, 1, 23]), st.sampled_from([0, 59]),
    st.sampled_from([0, 1, 59]), st.sampled_from([0, 1, 999999]))
zones = st.none() | st.just(datetime.timezone.utc) | st.builds(datetime.timezone, offsets)
dates = st.dates() | st.sampled_from([datetime.date(1, 1, 1), datetime.date(9999, 12, 31)])
iso_texts = st.one_of(
    st.tuples(st.just(0xD1), st.builds(datetime.datetime.combine, dates, st.times(), zones).map(datetime.datetime.isoformat)),
    st.tuples(st.just(0xD2), dates.map(datetime.date.isoformat)),
    st.tuples(st.just(0xD3), st.builds(lambda t, z: t.replace(tzinfo=z), st.times(), zones).map(datetime.time.isoformat)),
)
# Texts the encoder never writes: leap seconds, other separators, shorter
# fields, other fractions, impossible dates, out-of-range offsets.
ISO_EDITS = [
    lambda s: re.sub(r"(\d\d:\d\d:)\d\d", r"\g<1>60", s, count=1), lambda s: s.replace("T", " "), lambda s: s[:-3],
    lambda s: s + "Z", lambda s: s.replace(".", ",", 1), lambda s: s.replace("-", "/", 1),
    lambda s: s.replace("-01", "-00", 1), lambda s: s.replace("-02-", "-02-3", 1)[:len(s)],
    lambda s: s.replace("12:", "24:", 1), lambda s: s.replace("+", "+2", 1)[:len(s)], lambda s: s.upper(),
    lambda s: s[:26] + "0" + s[26:], lambda s: s.replace("1", "\u0661", 1),
]
UUID_FORMS = [
    lambda u: u.hex, str, lambda u: u.hex.upper(), lambda u: "{%s}" % u, lambda u: u.urn, lambda u: u.hex[:-1],
    lambda u: u.hex[:-1] + "g", lambda u: u.hex[:5] + "_" + u.hex[6:], lambda u: str(u).replace("-", "", 1) + "-",
    lambda u: " " + u.hex[1:], lambda u: "+" + u.hex[1:],
]
special_texts = st.one_of(
    iso_texts,
    st.tuples(iso_texts, st.sampled_from(ISO_EDITS)).map(lambda c: (c[0][0], c[1](c[0][1]))),
    st.tuples(st.just(0xD4), st.builds(lambda u, form: form(u), st.uuids(), st.sampled_from(UUID_FORMS))),
    st.tuples(st.just(0xD5), st.decimals().map(str) | st.sampled_from([" 1.5 ", "1_000", "abc", "", "-0E-7"])),
)


def assert_same(value, expected):
    assert type(value) is type(expected)
    assert repr(value) == repr(expected) and str(value) == str(expected)
    if isinstance(expected, decimal.Decimal):
        assert value.as_tuple() == expected.as_tuple()
        return
    assert value == expected and hash(value) == hash(expected)
    assert pickle.loads(pickle.dumps(value)) == value
    if isinstance(expected, uuid.UUID):
        assert value.__getstate__() == expected.__getstate__()
        assert [getattr(value, a) for a in UUID_ATTRIBUTES] == [getattr(expected, a) for a in UUID_ATTRIBUTES]
    elif isinstance(expected, (datetime.datetime, datetime.time)):
        assert value.tzinfo == expected.tzinfo and value.utcoffset() == expected.utcoffset()
        assert value.fold == expected.fold


@settings(max_examples=300, deadline=None)
@given(st.lists(special_texts, min_size=1, max_size=8))
@example([(0xD1, "2000-01-01T00:00:00+01:00"), (0xD1, "2000-01-01T00:00:00+01:00:00.000001"),
          (0xD3, "23:59:59.999999-01:00:00.000001"), (0xD1, "9999-12-31T23:59:60+01:00"),
          (0xD2, "1900-02-29"), (0xD2, "2000-02-29"), (0xD2, "0000-01-01")])
def test_rebuilt_values_are_what_the_standard_constructors_make(cases):
    valid = []
    for tag, payload in cases:
        try:
            valid.append((tag, payload, STANDARD[tag](payload)))
        except Exception as error:  # the decode fails the same way, also after values of its kind
            with pytest.raises(type(error), match=exact(str(error))):
                decode(doc(lst(text(tag, PRIMERS[tag]), text(tag, PRIMERS[tag]), text(tag, payload))))
    # Every value three times in one document: the third time the decoder
    # has met its kind and its time zone before.
    values = decode(doc(lst(*[text(tag, payload) for tag, payload, _ in valid * 3])))
    for value, (_, _, expected) in zip(values, valid * 3):
        assert_same(value, expected)
    zones = {}  # the encoder's texts share one time zone object per offset
    for again, (_, payload, expected) in zip(values[2 * len(valid):], valid):
        if getattr(expected, "tzinfo", None) is not None and payload == expected.isoformat():
            assert zones.setdefault(again.utcoffset(), again.tzinfo) is again.tzinfo


class TaggedUUID(uuid.UUID):
    def __init__(self, hex):
        super().__init__(hex)
        object.__setattr__(self, "tag", "set by __init__")


class TaggedDatetime(datetime.datetime):
    @classmethod
    def fromisoformat(cls, text):
        value = super().fromisoformat(text)
        value.tag = "set by fromisoformat"
        return value


class FieldsDatetime(datetime.datetime):
    def __new__(cls, *args):
        value = super().__new__(cls, *args)
        value.tag = type(args[0]).__name__  # fromisoformat passes the fields as ints
        return value


@pytest.mark.parametrize(
    "module, tag, payload",
    [(types.SimpleNamespace(UUID=TaggedUUID), 0xD4, "0" * 32),
     (types.SimpleNamespace(datetime=TaggedDatetime), 0xD1, "2024-05-01T12:30:00+02:00"),
     (types.SimpleNamespace(datetime=FieldsDatetime), 0xD1, "2024-05-01T12:30:00")],
    ids=["uuid __init__", "fromisoformat", "datetime __new__"],
)
def test_constructors_that_do_more_are_called_for_every_value(monkeypatch, module, tag, payload):
    monkeypatch.setitem(sys.modules, "uuid" if tag == 0xD4 else "datetime", module)
    values = decode(doc(lst(*[text(tag, payload)] * 3)))
    assert [v.tag for v in values] == [values[0].tag] * 3


def test_datetime_with_named_zone_comes_back_with_fixed_offset():
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        zone = zoneinfo.ZoneInfo("Europe/Paris")
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time zone data")
    value = datetime.datetime(2024, 7, 1, 12, 0, tzinfo=zone)
    result = decode(Quarl().encode_packed(value, False))
    assert result == value
    assert result.tzinfo == datetime.timezone(datetime.timedelta(hours=2))


class CountingModule(types.ModuleType):
    """A stand-in module that counts reads of its public attributes."""

    def __init__(self, name, **attributes):
        super().__init__(name)
        self.__dict__.update(attributes)
        self.__dict__["reads"] = []

    def __getattribute__(self, attr):
        if not attr.startswith("_") and attr != "reads":
            object.__getattribute__(self, "reads").append(attr)
        return object.__getattribute__(self, attr)


def test_callables_are_looked_up_once_per_decode_each(monkeypatch):
    fake_uuid = CountingModule("uuid", UUID=uuid.UUID)
    fake_dt = CountingModule("datetime", datetime=datetime.datetime, date=datetime.date, time=datetime.time)
    monkeypatch.setitem(sys.modules, "uuid", fake_uuid)
    monkeypatch.setitem(sys.modules, "datetime", fake_dt)
    ids = [uuid.UUID(int=i) for i in range(1000)]
    dates = [text(0xD2, "2024-05-01"), text(0xD3, "10:00"), text(0xD2, "2024-05-02"), text(0xD1, "2024-05-01T10:00")]
    data = doc(lst(*[text(0xD4, u.hex) for u in ids], *dates * 10))
    codec = Quarl()
    assert codec.decode_packed(data)[:1000] == ids
    assert fake_uuid.reads == ["UUID"] and sorted(fake_dt.reads) == ["date", "datetime", "time"]
    assert codec.decode_packed(data)[:1000] == ids
    assert fake_uuid.reads == ["UUID", "UUID"]


def test_documents_without_special_values_import_nothing(monkeypatch):
    for name in ("uuid", "decimal", "datetime"):
        monkeypatch.setitem(sys.modules, name, None)
    assert decode(doc(dct((0, lst(b"\x31", text(0x50, b"x")))), ["a"])) == {"a": [1, "x"]}


@pytest.mark.parametrize(
    "name, module, tag, label, error",
    [("decimal", None, 0xD5, "Decimal", ImportError), ("uuid", types.ModuleType("uuid"), 0xD4, "UUID", AttributeError)],
)
def test_missing_module_or_callable_fails_after_the_utf8_check(monkeypatch, name, module, tag, label, error):
    monkeypatch.setitem(sys.modules, name, module)
    with pytest.raises(ValueError, match=exact(f"Invalid UTF-8 in {label} string: {INCOMPLETE_AT_0}")):
        decode(doc(text(tag, b"\xc3")))
    with pytest.raises(error):
        decode(doc(text(tag, b"0" * 32)))


def test_callable_receives_the_exact_text(monkeypatch):
    seen = []

    class Boom(Exception):
        pass

    def fake_decimal(arg):
        seen.append(arg)
        if arg == "boom":
            raise Boom(arg)
        return ("decimal", arg)

    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=fake_decimal))
    assert decode(doc(lst(text(0xD5, b" 1.0 "), text(0xD5, "é")))) == [("decimal", " 1.0 "), ("decimal", "é")]
    assert seen == [" 1.0 ", "é"] and all(type(s) is str for s in seen)
    with pytest.raises(Boom):
        decode(doc(text(0xD5, b"boom")))


def test_callable_reentering_the_codec_fails_the_decode(monkeypatch):
    codec = Quarl()
    monkeypatch.setitem(sys.modules, "uuid", types.SimpleNamespace(UUID=lambda s: codec.decode_packed(doc(b"\x10"))))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        codec.decode_packed(doc(text(0xD4, b"0" * 32)))
    assert codec.decode_packed(doc(b"\x31")) == 1


# --- ownership ---------------------------------------------------------------


@pytest.mark.parametrize(
    "tail",
    [b"\x7f\x7f", b"\x7f\x7f\xff", u32(0) + b"\x32\x7f\x7f", b"\x7f", u32(0) + text(0x50, b"\xff") + b"\x7f\x7f",
     u32(0) + b"\x60" + u32(3) + b"\x31", u32(0) + b"\x60" + u32(1) + b"\x7f"],
    ids=["valid", "trailing bytes", "duplicate key", "unterminated", "bad string", "short list", "bad element"],
)
def test_decode_releases_everything_it_built(tail):
    codec = Quarl()
    name = "refcount_probe_" + str(random.random())
    inner = dct((0, lst(b"\x31", text(0x50, b"s"), dct((0, b"\x10")))))
    data = doc(lst(inner, inner, b"\x70" + u32(0) + b"\x70" + u32(0) + b"\x31" + tail), [name])
    (key,) = codec.decode_packed(doc(dct((0, b"\x10")), [name]))  # the object the codec's key cache holds
    gc.collect()
    before = sys.getrefcount(key)
    for _ in range(20):
        try:
            codec.decode_packed(data)
        except ValueError:
            pass
    gc.collect()
    assert sys.getrefcount(key) == before


def test_failed_decodes_do_not_leak_memory():
    data = doc(b"\x60" + u32(600) + text(0x50, b"x" * 40) * 500 + b"\xff")
    codec = Quarl()

    def run():
        for _ in range(50):
            with pytest.raises(ValueError, match="^Unknown tag: 0xff$"):
                codec.decode_packed(data)

    run()
    tracemalloc.start()
    try:
        run()
        gc.collect()
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert current < 50_000


# --- round trips and hostile input -------------------------------------------

def test_documents_from_a_long_lived_codec_decode_anywhere():
    writer = Quarl()
    docs = [writer.encode_packed({f"key{i}": i, "common": [i]}, False) for i in range(300)]
    reader = Quarl()
    assert [reader.decode_packed(d) for d in docs] == [{f"key{i}": i, "common": [i]} for i in range(300)]


HOSTILE_SEEDS = [
    {"a": [1, 2.5, None, True, False], "bb": {"c": "text", "d": b"\x00\x01"}, "e": list(range(20))},
    [uuid.UUID(int=7), decimal.Decimal("3.14"), datetime.date(2020, 2, 29), datetime.time(1, 2, 3)],
    [datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), {"x": -(2**40)}, "é€𝄞"],
    [[[[[[{"deep": [[[]]]}]]]]]],
    [2**62, -3, 15, 16, 0.0, -0.0, float("inf"), "", {}, []],
]


def mutations(seed_docs, count, rng):
    for _ in range(count):
        data = bytearray(rng.choice(seed_docs))
        kind = rng.randrange(5)
        if kind == 0:
            del data[rng.randrange(len(data) + 1) :]
        elif kind == 1:
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
        elif kind == 2:
            pos = rng.randrange(len(data) + 1)
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 6)))
        elif kind == 3:
            start = rng.randrange(len(data))
            del data[start : start + rng.randint(1, 8)]
        else:
            pos = rng.randrange(6, len(data) - 3)
            data[pos : pos + 4] = rng.choice([b"\xff\xff\xff\xff", b"\x00\x00\x00\x80", b"\x7f\x00\x00\x00", u32(rng.randrange(1 << 32))])
        yield bytes(data)


def test_hostile_mutations_only_raise_the_expected_errors():
    rng = random.Random(20240501)
    codec = Quarl()
    seed_docs = [codec.encode_packed(v, False) for v in HOSTILE_SEEDS]
    seed_docs.append(doc(nested_lists(126, dct((0, lst(b"\x31")))), ["k"]))
    outcomes = {"decoded": 0, "rejected": 0}
    for data in mutations(seed_docs, 6000, rng):
        for decompress in (False, True):
            try:
                codec.decode_packed(data, decompress=decompress)
                outcomes["decoded"] += 1
            except (ValueError, RecursionError, decimal.InvalidOperation):
                outcomes["rejected"] += 1
            except NotImplementedError:
                pass  # an envelope, while envelopes are not yet readable
    assert outcomes["decoded"] > 100 and outcomes["rejected"] > 1000
    assert codec.decode_packed(seed_docs[0]) == HOSTILE_SEEDS[0]


# --- the cyclic collector ----------------------------------------------------


@pytest.fixture
def collector_state():
    was_enabled = gc.isenabled()
    yield
    (gc.enable if was_enabled else gc.disable)()


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("value", [lst(lst(), dct()), lst(lst(), b"\xff")], ids=["valid", "invalid"])
def test_collector_state_is_unchanged_by_a_decode(collector_state, enabled, value):
    (gc.enable if enabled else gc.disable)()
    try:
        decode(doc(value))
    except ValueError:
        pass
    assert gc.isenabled() is enabled


@pytest.mark.parametrize("enabled", [True, False])
def test_callables_see_the_callers_collector_state_and_may_change_it(collector_state, monkeypatch, enabled):
    seen = []

    class Decimal:  # later values take __new__ alone, as the standard class would
        def __new__(cls, text):
            seen.append(gc.isenabled())
            return super().__new__(cls)

    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=Decimal))
    (gc.enable if enabled else gc.disable)()
    decode(doc(lst(lst(), text(0xD5, b"1"), lst(), text(0xD5, b"2"), lst(), text(0xD5, b"3"))))
    assert seen == [enabled, enabled, enabled]
    assert gc.isenabled() is enabled
    flip = gc.disable if enabled else gc.enable
    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=lambda s: flip()))
    decode(doc(lst(lst(), text(0xD5, b"1"), lst())))
    assert gc.isenabled() is not enabled
