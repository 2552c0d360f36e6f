"""Decoding packed documents: header, string table, value section and special types."""

import datetime
import decimal
import gc
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

from builders import dct, doc, exact, f64, float_array, i64, lst, nest, nested_lists, text, u32
from quarl import Quarl, QuarlError

DEPTH_ERROR = "Maximum recursion depth exceeded during QUARL decoding"
UNEXPECTED_END = "Unexpected end of buffer during parsing"
KEYED = dct((0, b"\x10"))  # {"a": None} where the table starts with "a"
# Each list declares every byte left: the inner one reserves nothing and takes its items as they come.
FORGED_NESTING = b"\x60" + u32(26) + b"\x60" + u32(21) + KEYED * 3
INVALID = "invalid utf-8 sequence of 1 bytes from index {}"
INCOMPLETE = "incomplete utf-8 byte sequence from index {}"


def decode(data: bytes, decompress: bool = True):
    return Quarl().decode_packed(data, decompress=decompress)


# --- malformed input: every error and its exact message ----------------------

MALFORMED = [
    # header and string table
    *[(f"{n} header bytes", doc(b"\x10")[:n], "Decompressed buffer too small for QUARL header") for n in range(6)],
    ("wrong first magic byte", b"XL\x00\x01\x00\x00\x10", "Invalid QUARL magic number"),
    ("wrong second magic byte", b"QX\x00\x01\x00\x00\x10", "Invalid QUARL magic number"),
    ("count beyond entries", doc(b"", ["a", "b"], count=3), "Unexpected end of buffer in string table"),
    ("forged count 65535", doc(b"", ["a", "b"], count=65535), "Unexpected end of buffer in string table"),
    ("entry too long", doc(b"", count=1) + b"\x05ab", "String extends beyond buffer in string table"),
    ("entry one byte short", doc(b"", count=1) + b"\x02a", "String extends beyond buffer in string table"),
    # value section
    ("no value", doc(b""), UNEXPECTED_END),
    ("dict end as value", doc(b"\x7f"), "Unknown tag: 0x7f"),
    *[(f"tag {tail[:1].hex()}", doc(tail), f"Unknown tag: 0x{tail[:1].hex()}")
      for tail in [b"\x00", b"\xab", b"\x05", b"\x41" + bytes(8), b"\x4f", b"\x11", b"\x71\x7f", b"\xd0" + u32(0),
                   b"\xd6" + u32(0), b"\xff"]],
    ("dict end as list element", doc(lst(b"\x31", b"\x7f")), "Unknown tag: 0x7f"),
    ("int64 with 7 bytes", doc(b"\x38" + bytes(7)), UNEXPECTED_END),
    ("float64 with 7 bytes", doc(b"\x40" + bytes(7)), UNEXPECTED_END),
    ("string length cut", doc(b"\x50\x01\x00"), UNEXPECTED_END),
    ("string payload cut", doc(b"\x50" + u32(3) + b"ab"), UNEXPECTED_END),
    ("bytes payload cut", doc(b"\x80" + u32(2) + b"\x00"), UNEXPECTED_END),
    ("list count cut", doc(b"\x60\x01\x00\x00"), UNEXPECTED_END),
    ("list of 3 holding 2", doc(b"\x60" + u32(3) + b"\x31\x32"), UNEXPECTED_END),
    ("nested counts past the bytes", doc(FORGED_NESTING, ["a"]), UNEXPECTED_END),
    ("dict tag last", doc(b"\x70"), "Object not properly terminated"),
    ("dict key index cut", doc(b"\x70\x00\x00", ["a"]), UNEXPECTED_END),
    ("dict value missing", doc(b"\x70" + u32(0), ["a"]), UNEXPECTED_END),
    ("dict without terminator", doc(b"\x70" + u32(0) + b"\x31", ["a"]), "Object not properly terminated"),
    ("key index = count", doc(dct((5, b"\x10")), "abcde"), "Invalid string table index: 5"),
    ("key index, no table", doc(dct((0, b"\x10"))), "Invalid string table index: 0"),
    ("huge key index", doc(dct((0xFFFFFFFF, b"\x10")), "a"), "Invalid string table index: 4294967295"),
    ("float array count cut", doc(b"\x90\x02\x00"), UNEXPECTED_END),
    ("float array of 2 with 15 bytes", doc(b"\x90" + u32(2) + bytes(15)), UNEXPECTED_END),
    ("datetime length cut", doc(b"\xd1\x05"), UNEXPECTED_END),
    ("uuid payload cut", doc(b"\xd4" + u32(32) + b"0" * 31), UNEXPECTED_END),
    ("decimal payload cut", doc(b"\xd5" + u32(1)), UNEXPECTED_END),
    # special-type text
    ("datetime text", doc(text(0xD1, b"2024-\xff")), "Invalid UTF-8 in datetime string: " + INVALID.format(5)),
    ("date text", doc(text(0xD2, b"\xe0\x80")), "Invalid UTF-8 in date string: " + INVALID.format(0)),
    ("time text", doc(text(0xD3, b"12:\xf0\x90\x80")), "Invalid UTF-8 in time string: " + INCOMPLETE.format(3)),
    ("uuid text", doc(text(0xD4, b"123\xff" + b"0" * 28)), "Invalid UTF-8 in UUID string: " + INVALID.format(3)),
    ("utf-8 error far into a long payload", doc(text(0xD4, b"0" * 100_000 + "é".encode() + b"1" * 77 + b"\xe2\x82")),
     "Invalid UTF-8 in UUID string: " + INCOMPLETE.format(100079)),
]


@pytest.mark.parametrize("data, message", [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_malformed_input_fails_with_exact_message(data, message):
    # A plain document reads the same through the envelope check; other input is read as a document.
    for decompress in {False, data.startswith(b"QL")}:
        with pytest.raises(QuarlError) as info:
            decode(data, decompress=decompress)
        assert type(info.value) is ValueError and str(info.value) == message


# --- UTF-8 -------------------------------------------------------------------

# Each lead-byte class and second-byte range, sequences cut short or broken at each byte, the
# first error after valid multi-byte text, and errors on each side of an 8-byte ASCII word.
UTF8_SAMPLES = [
    b"", b"plain ascii", "é€𝄞\u07ff\uffff\U0010ffff".encode(), b"\xed\x9f\xbf\xef\xbf\xbf\xf4\x8f\xbf\xbf\xf1\x80\x80\x80",
    b"a\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xf5\x80\x80\x80", b"\xff", b"\xc2A", b"\xc2\xc2\xa9", b"\xe0\x80\x80",
    b"\xe0\x9f\x80", b"\xed\xa0\x80", b"\xf0\x80\x80\x80", b"\xf0\x8f", b"\xf4\x90\x80\x80", b"\xc2", b"\xe0\xa0", b"\xe1",
    b"\xf0\x90", b"\xf0\x90\x80", b"\xf4\x8f\xbf", b"\xe0\xa0A", b"\xe1\x80\xc0", b"\xf0\x90A", b"\xf0\x90\x80A",
    b"\xf3\xbf\xbf\xc0", b"ab\xed\x9f", "é".encode() + b"\xff\xc2", "€".encode() + b"\xc2", b"x" * 7 + b"\xff",
    b"x" * 8 + b"\xff", b"x" * 9 + b"\xff" + b"y" * 20, b"x" * 15 + b"\xe2\x82", b"x" * 250 + "é".encode() + b"x",
    b"x" * 254 + b"\xc2",
]
LEADS = [bytes([b]) for b in b"\x80\xbf\xc2\xe0\xed\xf0\xf4\xa0\x90"]
utf8_pieces = st.binary(min_size=1, max_size=4) | st.sampled_from(LEADS) | st.text(min_size=1, max_size=3).map(
    lambda s: s.encode("utf-8", "surrogatepass"))
utf8_like = st.lists(utf8_pieces, max_size=40).map(b"".join).filter(lambda b: len(b) <= 255)


@pytest.mark.parametrize("raw", UTF8_SAMPLES)
def test_utf8_descriptions(raw):
    """The descriptions say what CPython's strict decoder reports; a string value raises its very error."""
    try:
        decoded = raw.decode()
    except UnicodeDecodeError as error:
        description = (INCOMPLETE.format(error.start) if error.reason == "unexpected end of data" else
                       f"invalid utf-8 sequence of {error.end - error.start} bytes from index {error.start}")
        in_decimal = doc(lst(text(0xD5, b"1"), text(0xD5, raw)))
        for data, context in [(doc(b"\x10", [raw]), "string table"), (in_decimal, "Decimal string")]:
            with pytest.raises(ValueError, match=exact(f"Invalid UTF-8 in {context}: {description}")):
                decode(data)
        with pytest.raises(UnicodeDecodeError) as info:
            decode(doc(text(0x50, raw)))
        assert (str(info.value), info.value.object) == (str(error), raw)
    else:
        assert decode(doc(lst(text(0x50, raw), KEYED), [raw])) == [decoded, {decoded: None}]


@settings(max_examples=400, deadline=None)
@given(utf8_like)
def test_utf8_descriptions_agree_with_cpythons_decoder(raw):
    test_utf8_descriptions(raw)


# --- the value format --------------------------------------------------------

KEYS = ["a", "b", "unused"]
# quiet NaN, negative quiet NaN, NaN with payload, negative signalling NaN, -0.0, inf, -inf, smallest subnormal
FLOATS = [struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in [
    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000001, 0xFFF0000000000001, 0x8000000000000000,
    0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000001]]
VALUES = [
    (b"\x10", None), (b"\x20", False), (b"\x21", True), (b"\x30", 0), (b"\x37", 7), (b"\x39", 9), (b"\x3f", 15),
    (bytes.fromhex("38 2c01000000000000"), 300), (bytes.fromhex("38 ffffffffffffffff"), -1), (i64(0), 0), (i64(8), 8),
    (i64(15), 15), (i64(16), 16), (i64(-16), -16), (i64(2**63 - 1), 2**63 - 1), (i64(-(2**63)), -(2**63)),
    (f64(2.5), 2.5), (f64(-1e308), -1e308), *[(f64(x), x) for x in FLOATS],
    (bytes.fromhex("50 00000000"), ""), (text(0x50, "hé ✓ 𝄞"), "hé ✓ 𝄞"), (text(0x50, b"a\x00b"), "a\x00b"),
    (bytes.fromhex("70 7f"), {}), (bytes.fromhex("60 00000000"), []),
    (bytes.fromhex("80 02000000 0001"), b"\x00\x01"), (bytes.fromhex("80 00000000"), b""),
    (float_array(), []), (float_array(1.0, -2.5, 3e-300), [1.0, -2.5, 3e-300]), (float_array(*FLOATS), FLOATS),
    (lst(*map(f64, FLOATS)), FLOATS),  # list items, read inline
    (lst(b"\x10", lst(lst()), dct()), [None, [[]], {}]),
    (b"\x60" + u32(3) + b"\x31\x32\x33", [1, 2, 3]),  # a count equal to the bytes left
    (bytes.fromhex("70 00000000 60 03000000 31 40 0000000000000440 10 7f"), {"a": [1, 2.5, None]}),
    (dct((1, b"\x31"), (0, b"\x32")), {"b": 1, "a": 2}),  # entries in document order
    (dct((0, b"\x31"), (1, b"\x32"), (0, b"\x33")), {"a": 3, "b": 2}),  # a repeated key: first place, last value
]


@pytest.mark.parametrize("value, expected", VALUES)
def test_values_decode(value, expected):
    # At the top, with header bytes 2 and 3 (never read) set to anything, and as a dict value,
    # which takes a shortcut of its own for scalars. Pickles tell floats apart by their bits.
    top = decode(b"QL\xfe\x7f" + doc(value, KEYS)[4:])
    for result in (top, decode(doc(dct((0, value)), KEYS))["a"]):
        assert type(result) is type(expected) and pickle.dumps(result) == pickle.dumps(expected)


# Key indices of the rows of one list. Three rows in a row of one shape make the next ones copies of
# a template; each group ends with a row that leaves the shape (short, long, another key, another
# order, a key repeated). The last group's row holds three dicts of another shape, which take over.
# Table entry 8 repeats the text of entry 0, so rows naming both have a key twice.
ROW = [0, 1, 2, 3, 4, 5]
LEAVING = [[0, 1, 2, 3, 4], [0, 1, 2, 3, 4, 5, 6], [0, 1, 6, 2], [0, 2, 1, 3, 4, 5], [0, 1, 2, 3, 4, 5, 0],
           [0, 1, 0, 5], [0, 1, 2, 3, 4, [7, 6, 5, 4, 3, 2]]]
SHAPE_ROWS = [row for leaving in LEAVING for row in (ROW, ROW, ROW, ROW, leaving)] + [
    [7, 6, 5, 4, 3, 2], ROW, *[[0, 8, 1, 2, 3, 4]] * 4, [0, 5]]


def test_rows_of_one_shape_decode_in_document_order():
    names = [f"k{i}" for i in range(8)] + ["k0"]

    def row(keys, n):
        entries, value = [], {}
        for j, key in enumerate(keys):
            item = (lst(*[row(key, n)[0]] * 3), [row(key, n)[1] for _ in range(3)]) if isinstance(key, list) else (i64(n + j), n + j)
            key = 5 if isinstance(key, list) else key
            entries.append((key, item[0]))
            value[names[key]] = item[1]
        return dct(*entries), value

    rows = [row(keys, 100 * n) for n, keys in enumerate(SHAPE_ROWS)]
    decoded = decode(doc(lst(*[data for data, _ in rows]), names))
    assert pickle.dumps(decoded) == pickle.dumps([value for _, value in rows])


def test_key_objects_are_shared_but_not_interned():
    # Keys of each length the key cache compares in its own way, up to the longest it keeps (64 bytes).
    token = "".join(random.choices("abcdefghij", k=64))
    names = [sys.intern(token[:n]) for n in (2, 5, 12, 40, 64)]
    value = dct(*[(i, b"\x10") for i in range(len(names))])
    codec = Quarl()
    first, second = codec.decode_packed(doc(lst(value, value), names))
    again = codec.decode_packed(doc(value, names))  # from the codec's key cache
    for key, key2, key3, name in zip(first, second, again, names, strict=True):
        assert key is key2 is key3 and key == name and key is not name


# --- depth -------------------------------------------------------------------


# 127 levels: a list, a dict (key "a"), a list, ...
MIXED_127 = b"".join(b"\x70" + u32(0) if level % 2 else b"\x60" + u32(1) for level in range(127))


def test_depth_limit_admits_127_levels_per_path():
    assert decode(doc(nested_lists(127, b"\x31"))) == nest(127, 1)
    assert decode(doc(nested_lists(127, lst()))) == nest(127, [])
    assert decode(doc(lst(*[nested_lists(126, b"\x31")] * 3))) == [nest(126, 1)] * 3
    assert decode(doc(MIXED_127 + b"\x10" + b"\x7f" * 63, ["a"])) == nest(63, [None], lambda v: [{"a": v}])


@pytest.mark.parametrize(
    "data",
    [doc(nested_lists(128, b"\x31")), doc(nested_lists(200, b"\x31")), doc(nested_lists(128, b"")),
     doc((b"\x70" + u32(0)) * 128, ["a"]), doc(MIXED_127 + lst(b"\x10"), ["a"])],
    ids=["128 lists", "200 lists", "128 lists, no bytes left", "128 dicts, no bytes left", "mixed"],
)
def test_depth_limit_fails_and_leaves_the_codec_usable(data):
    codec = Quarl()
    with pytest.raises(RecursionError, match=exact(DEPTH_ERROR)) as info:
        codec.decode_packed(data)
    assert not isinstance(info.value, QuarlError)
    assert codec.decode_packed(doc(nested_lists(127, b"\x31"))) == nest(127, 1)


# --- forged counts -----------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [b"\x60" + u32(0xFFFFFFFF) + b"\x31\x31", b"\x60" + u32(10_000_000) + b"\x31" * 100,
     lst(b"\x31", b"\x60" + u32(1 << 31) + b"\x10"), b"\x90" + u32(0xFFFFFFFF) + bytes(64),
     b"\x90" + u32(1 << 24) + bytes(8 * 1000)],
    ids=["list max count", "list 10M", "nested list 2^31", "float array max count", "float array 16M"],
)
def test_forged_counts_fail_without_allocating(value):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=exact(UNEXPECTED_END)):
            decode(doc(value))
        assert tracemalloc.get_traced_memory()[1] < 1_000_000
    finally:
        tracemalloc.stop()


def test_largest_string_table_decodes():
    keys = [f"k{i}" for i in range(65535)]
    assert decode(doc(dct((65534, b"\x31"), (0, b"\x32")), keys)) == {"k65534": 1, "k0": 2}


# --- special types -----------------------------------------------------------

STANDARD = {0xD1: datetime.datetime.fromisoformat, 0xD2: datetime.date.fromisoformat,
            0xD3: datetime.time.fromisoformat, 0xD4: uuid.UUID, 0xD5: decimal.Decimal}
# A first value of each kind, so that the values under test find the decoder warm.
PRIMERS = {0xD1: "2000-01-01T00:00:00", 0xD2: "2000-01-01", 0xD3: "00:00:00", 0xD4: "0" * 32, 0xD5: "1"}

# Few distinct parts, so that offsets differing only in seconds or microseconds often meet in one document.
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
    # Also texts around what the decoder writes in place: 19 significant digits, six exponent digits.
    st.tuples(st.just(0xD5), st.decimals().map(str) | st.sampled_from([
        " 1.5 ", "1_000", "abc", "", "-0E-7", "-0.00", "9999999999999999999", "-10000000000000000000",
        "0.00000000000000000001234567890123456789", "1.000E+8", "1E+999999", "1E-1000000", "00012.50", "1.",
        ".5", "+1", "1e5", "1E", "1E+", "-", "NaN", "-sNaN12", "-Infinity"])),
)


def assert_same(value, expected):
    assert type(value) is type(expected) and (repr(value), str(value)) == (repr(expected), str(expected))
    if isinstance(expected, decimal.Decimal):
        # A NaN is unequal to itself: its parts tell it apart. Arithmetic reads the digit count too.
        assert (value.as_tuple(), value.adjusted()) == (expected.as_tuple(), expected.adjusted())
        if not expected.is_finite():
            return
        with decimal.localcontext(decimal.Context(prec=60, traps=[])):
            assert str(value * 7 - 1) == str(expected * 7 - 1)
    assert value == expected and hash(value) == hash(expected) and pickle.loads(pickle.dumps(value)) == value
    if isinstance(expected, uuid.UUID):
        assert value.__getstate__() == expected.__getstate__()
    elif isinstance(expected, (datetime.datetime, datetime.time)):
        assert (value.tzinfo, value.fold) == (expected.tzinfo, expected.fold)


@settings(max_examples=300, deadline=None)
@given(st.lists(special_texts, min_size=1, max_size=8))
@example([(0xD1, "2000-01-01T00:00:00+01:00"), (0xD1, "2000-01-01T00:00:00+01:00:00.000001"),
          (0xD3, "23:59:59.999999-01:00:00.000001"), (0xD1, "9999-12-31T23:59:60+01:00"), (0xD1, "not a date"),
          *[(0xD2, date) for date in ("1900-02-29", "2000-02-29", "0000-01-01", "2024-00-05", "2024-05-00",
                                      "2024-13-01", "2024-05-01Z", "20x4-05-01", "2024x05-01", "2024-0x-01",
                                      "2024-05x01", "2024-05-0x")],
          *[(0xD3, "00:00:00" + zone) for zone in ("Z", "+24:00", "+01:60", "+0100", "+01:00:60", "+01:00:5", "+01:00Z")]])
@example([(0xD4, "12345678123456781234567812345678"), (0xD4, "12345678-1234-5678-1234-567812345678"),
          (0xD4, "{12345678-1234-5678-1234-567812345678}"), (0xD4, "xyz"), (0xD5, "-12.50"), (0xD5, "1,5"),
          (0xD3, " 12:30"), (0xD3, "12:30:00.250000"),
          *[(0xD3, t) for t in ("1x:30", "12x30", "12:3x", "12:30x00", "12:30:0x")]])
def test_rebuilt_values_are_what_the_standard_constructors_make(cases):
    valid = []
    for tag, payload in cases:
        try:
            valid.append((tag, payload, STANDARD[tag](payload)))
        except Exception as error:  # the decode fails the same way, also after values of its kind
            with pytest.raises(type(error), match=exact(str(error))):
                decode(doc(lst(text(tag, PRIMERS[tag]), text(tag, PRIMERS[tag]), text(tag, payload))))
    # Each value three times in one document: the third time the decoder knows its kind and time zone.
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


@pytest.mark.parametrize(
    "name, module, tag, label, error",
    [("decimal", None, 0xD5, "Decimal", ImportError), ("uuid", types.ModuleType("uuid"), 0xD4, "UUID", AttributeError)],
)
def test_missing_module_or_callable_fails_after_the_utf8_check(monkeypatch, name, module, tag, label, error):
    monkeypatch.setitem(sys.modules, name, module)
    assert decode(doc(lst(b"\x31", text(0x50, b"x")))) == [1, "x"]  # needed only for its values
    with pytest.raises(ValueError, match=f"^Invalid UTF-8 in {label} string: "):
        decode(doc(text(tag, b"\xc3")))
    with pytest.raises(error):
        decode(doc(text(tag, b"0" * 32)))


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
     u32(0) + b"\x60" + u32(3) + b"\x31", u32(0) + b"\x60" + u32(3) + KEYED * 2 + b"\x7f",
     u32(0) + FORGED_NESTING],
    ids=["valid", "trailing bytes", "duplicate key", "unterminated", "bad string", "short list", "bad element",
         "items past the reservation"],
)
def test_decode_releases_everything_it_built(tail):
    codec = Quarl()
    name = "refcount_probe_" + str(random.random())
    inner = dct((0, lst(b"\x31", text(0x50, b"s"), KEYED)))
    data = doc(lst(inner, inner, b"\x70" + u32(0) + b"\x70" + u32(0) + b"\x31" + tail), [name])
    (key,) = codec.decode_packed(doc(KEYED, [name]))  # the object the codec's key cache holds
    gc.collect()
    before = sys.getrefcount(key)
    for _ in range(20):
        try:
            codec.decode_packed(data)
        except ValueError:
            pass
    gc.collect()
    assert sys.getrefcount(key) == before


# --- the cyclic collector ----------------------------------------------------


@pytest.mark.parametrize("enabled", [True, False])
def test_decodes_leave_the_collector_as_the_caller_set_it(request, monkeypatch, enabled):
    request.addfinalizer(gc.enable if gc.isenabled() else gc.disable)
    seen = []

    class Decimal:  # later values take __new__ alone, as the standard class would
        def __new__(cls, text):
            seen.append(gc.isenabled())
            return super().__new__(cls)

    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=Decimal))
    (gc.enable if enabled else gc.disable)()
    decode(doc(lst(lst(), text(0xD5, b"1"), lst(), text(0xD5, b"2"), lst(), text(0xD5, b"3"))))
    with pytest.raises(ValueError):
        decode(doc(lst(lst(), b"\xff")))
    # Constructors see the caller's state, and may change it.
    assert seen == [enabled, enabled, enabled] and gc.isenabled() is enabled
    flip = gc.disable if enabled else gc.enable
    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=lambda s: flip()))
    decode(doc(lst(lst(), text(0xD5, b"1"), lst(), text(0xD5, b"2"))))
    assert gc.isenabled() is not enabled
