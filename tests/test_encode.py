"""What the encoder writes: exact bytes of values, the string table and hostile objects."""

import dataclasses
import datetime
import decimal
import enum
import struct
import sys
import uuid

import pytest

from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

from builders import dct, doc, exact, lst, nest, on_str, raiser, string, table_of, text, u32, value_of
from conftest import installed


def encode_value(obj) -> bytes:
    return value_of(Quarl().encode_packed(obj, False))


Color = enum.Enum("Color", {"RED": "x"})
Level = enum.IntEnum("Level", {"HIGH": 9})
Mode = enum.StrEnum("Mode", {"FAST": "fast"})
Point = dataclasses.make_dataclass("Point", [("x", int), ("y", float)])
Tagged = dataclasses.make_dataclass("Tagged", [("name", str), ("value", int)])
BIG = type("Big", (int,), {})(2**70)
BIG.extra = "attr"


class Opaque:
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n


# Values the worked examples of docs/format.md leave out (test_format_doc.py runs those).
VALUE_BYTES = [
    (None, "10"), (False, "20"), (0, "30"), (1, "31"),
    (2**63 - 1, "38 FF FF FF FF FF FF FF 7F"), (2**63, text(0x50, "9223372036854775808")),
    (-(2**63), "38 00 00 00 00 00 00 00 80"), (-(2**63) - 1, text(0x50, "-9223372036854775809")),
    (2**64, text(0x50, "18446744073709551616")), (BIG, text(0x50, str(2**70))),
    (2.5, "40 00 00 00 00 00 00 04 40"), (-0.0, "40 00 00 00 00 00 00 00 80"),
    (float("inf"), "40 00 00 00 00 00 00 F0 7F"), ("\U0001f600", "50 04 00 00 00 F0 9F 98 80"),
    ((1, 2), "60 02 00 00 00 31 32"), ([1, 2], "60 02 00 00 00 31 32"), ({3}, "60 01 00 00 00 33"),
    (frozenset({3}), "60 01 00 00 00 33"), (bytearray(b"a"), text(0x50, "bytearray(b'a')")),
    (type("Liar", (set,), {"__iter__": lambda self: iter([1, 2, 3])})({9}), "60 03000000 31 32 33"),
    (Level.HIGH, "38 09 00 00 00 00 00 00 00"), (Color.RED, "50 01 00 00 00 78"), (Mode.FAST, text(0x50, "fast")),
    (datetime.date(2024, 1, 2), text(0xD2, "2024-01-02")),
    (datetime.time(12, 30, 0, 250000), text(0xD3, "12:30:00.250000")),
    (datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
     text(0xD1, "2024-05-01T12:30:00+02:00")),
    (type("NamedDateTime", (datetime.datetime,), {})(2024, 5, 1), text(0xD1, "2024-05-01T00:00:00")),
    (uuid.UUID(int=0x1234), text(0xD4, f"{0x1234:032x}")), (decimal.Decimal("-0"), text(0xD5, "-0")),
    (on_str(text="slotted"), text(0x50, "slotted")),
]


@pytest.mark.parametrize("obj, expected", VALUE_BYTES, ids=repr)
def test_value_bytes(obj, expected):
    assert encode_value(obj) == (bytes.fromhex(expected) if isinstance(expected, str) else expected)


# Objects with a __dict__ become dicts, even with fields named like an enum's; other keys are their text.
@pytest.mark.parametrize("obj, expected", [
    (Point(1, 2.0), doc("70 00000000 31 01000000 40 0000000000000040 7F", ["x", "y"])),
    (Tagged("n", 3), doc("70 00000000 5001000000 6E 01000000 33 7F", ["name", "value"])),
    ({1: "a", "2": "b", None: 0}, doc("70 00000000 5001000000 61 01000000 5001000000 62 02000000 30 7F",
                                      ["1", "2", "None"])),
    ({"b": 3, "a": {"c": 4, "b": 5}},
     doc("70 00000000 33 01000000 70 02000000 34 00000000 35 7F 7F", ["b", "a", "c"])),
], ids=repr)
def test_document_bytes(obj, expected):
    assert Quarl().encode_packed(obj, False) == expected


def test_key_text_that_is_not_utf8_or_fails(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_value))
    weird = type("Weird", (), {"__str__": lambda self: "a\xe9\udcff\U0001f600"})()
    data = Quarl().encode_packed({weird: 1, on_str(raiser(RuntimeError("no text"))): 2}, False)
    assert table_of(data) == ["a\xe9\ufffd\U0001f600", "<unprintable OnStr object>"]
    assert [str(e) for e in reported] == ["no text"]


@pytest.mark.parametrize("value", ["\ud800", {"\ud800": 1}], ids=["value", "key"])
def test_surrogates_in_values_and_str_keys_fail(value):
    with pytest.raises(UnicodeEncodeError):
        Quarl().encode_packed(value, False)


# --- the string table -----------------------------------------------------------


def test_indices_skip_the_dict_terminator():
    keys = [f"k{i}" for i in range(400)]
    codec = Quarl()
    data = codec.encode_packed(dict.fromkeys(keys, 0), False)
    table = table_of(data)
    assert len(table) == 402 and table[127] == table[383] == ""
    assert [t for i, t in enumerate(table) if i not in (127, 383)] == keys
    indices = [struct.unpack_from("<I", value_of(data), 1 + 5 * i)[0] for i in range(400)]
    assert [table[i] for i in indices] == keys
    # Keys that collide in the codec's caches keep their indices too.
    assert codec.encode_packed(dict.fromkeys(keys, 0), False) == data


def test_long_keys_fail_without_poisoning_the_next_document():
    codec = Quarl()
    assert table_of(codec.encode_packed({"k" * 255: 1}, False)) == ["k" * 255]
    with pytest.raises(ValueError, match="255"):
        codec.encode_packed({"ok": 1, "é" * 128: 1}, False)
    assert table_of(codec.encode_packed({"ok": 1}, False)) == ["ok"]


def test_only_a_document_with_too_many_keys_of_its_own_fails():
    codec = Quarl()
    for prefix in "abc":
        table = table_of(codec.encode_packed({f"{prefix}{i}": 0 for i in range(40000)}, False))
        assert table[0] == f"{prefix}0" and len(table) == 40000 + 40000 // 256 + 1
    calls = []
    with pytest.raises(ValueError, match="^document needs more than 65535 distinct dict keys"):
        codec.encode_packed([on_str(lambda: calls.append(1)), {f"k{i}": 0 for i in range(66000)}], False)
    assert calls == [1]


# --- depth and hostile objects --------------------------------------------------


class Loop(enum.Enum):
    A = 1

    @property
    def value(self):
        return self


LOOPED = []
LOOPED.append(LOOPED)


# The codec's default turns Opaque(1) into [] one level deeper, and Opaque(0) into itself.
DEEP = {"128 lists": nest(128, 1), "128 dicts": nest(128, 1, lambda v: {"k": v}), "self-referencing list": LOOPED,
        "endless enum value chain": Loop.A, "default's result at 129": nest(127, Opaque(1)),
        "endless default chain": Opaque(0)}


@pytest.mark.parametrize("value", DEEP.values(), ids=DEEP.keys())
def test_depth_limit(value):
    codec = Quarl(default=lambda obj: [] if obj.n else obj)
    assert codec.decode_packed(codec.encode_packed(nest(126, Opaque(1)), False)) == nest(126, [])
    codec.encode_packed([nest(126, 1), nest(126, [])], False)
    with pytest.raises(RecursionError, match=exact("Maximum recursion depth exceeded")):
        codec.encode_packed(value, False)
    assert value_of(codec.encode_packed(None, False)) == b"\x10"


@pytest.mark.parametrize("default, value, error, message", [
    (None, [on_str(raiser(KeyError("str")))], KeyError, "str"),
    (None, {"a": type("BadIso", (), {"isoformat": raiser(KeyError("iso"))})()}, KeyError, "iso"),
    (None, type("NotText", (), {"isoformat": lambda self: 5})(), TypeError, None),
    # hasattr() lets only AttributeError through
    (None, type("Exploding", (), {"__getattr__": raiser(ZeroDivisionError("x"))})(), ZeroDivisionError, "x"),
    (raiser(LookupError("refused")), {"x": [Opaque(1)]}, LookupError, "refused"),
    (raiser(KeyboardInterrupt()), Opaque(1), KeyboardInterrupt, None),
], ids=["str", "isoformat", "isoformat not text", "getattr", "default", "default interrupted"])
def test_errors_from_the_objects_own_methods_end_the_encode(default, value, error, message):
    codec = Quarl(default=default)
    with pytest.raises(error, match=message):
        codec.encode_packed(value, False)
    assert codec.encode_packed({"x": 1}, False) == doc(dct((0, b"\x31")), ["x"])


# Containers that a callback changes while they are written; the callback's
# object sits first, so that the change comes before the rest is read.
CHANGED_WHILE_WRITTEN = {
    "list changed size during iteration": lambda: (items := [on_str(lambda: items.clear()), 1, 2]),
    "dictionary changed size during iteration": lambda: (
        data := {"a": on_str(lambda: (data.clear(), data.update({f"n{i}": i for i in range(100)}))), "b": 1}),
    "Set changed size during iteration": lambda: (grows := {on_str(lambda: grows.add(object()), hash=1), 5}),
}


@pytest.mark.parametrize("message, make", CHANGED_WHILE_WRITTEN.items())
def test_callback_changing_the_container_fails(message, make):
    with pytest.raises(RuntimeError, match=exact(message)):
        Quarl().encode_packed(make(), False)


# The item replaced drops the last outside reference to the object being written.
@pytest.mark.parametrize("make, expected", [
    (lambda: (items := [on_str(lambda: items.extend(range(1000)), "g"), 1]), lst(string("g"), b"\x31")),
    (lambda: (holder := {"v": type("Replaces", (), {"isoformat": lambda self: holder.update(v=None) or "kept"})()}),
     dct((0, string("kept")))),
], ids=["list grown: the original count", "item replaced"])
def test_callback_changing_the_container_in_other_ways(make, expected):
    assert encode_value(make()) == expected


# --- large blocks -------------------------------------------------------------
# Large bytes, str and array values reach the result without an intermediate
# copy; the bytes must be exactly those of the small-value layout.


def large_values():
    import numpy as np

    blob = bytes(range(256)) * 300  # 76,800 bytes
    words = "größe " * 20_000
    array = np.arange(20_000, dtype=np.float64)
    expected = lst(text(0x80, blob), dct((0, string(words))), b"\x90" + u32(array.size) + array.tobytes(),
                   text(0x80, blob[:100]))
    return [blob, {"k": words}, array, blob[:100]], expected


# The value is written behind room for a table as large as the last
# document's; a table of another size moves it, and the blocks move with it.
@pytest.mark.parametrize("before", [None, {"a": 1}, {"a longer key": 1, "b": 2}], ids=["same", "shorter", "longer"])
def test_large_blocks_are_written_in_place_of_a_copy(before):
    value, expected = large_values()
    codec = Quarl()
    codec.encode_packed(before, False)
    assert codec.encode_packed(value, False) == doc(expected, ["k"])
    assert codec.encode_packed(value, False) == doc(expected, ["k"])


def test_large_blocks_in_envelopes_and_frames():
    lz4 = installed("lz4.block")
    value, expected = large_values()
    document = doc(expected, ["k"], compress_flag=1)
    single = Quarl().encode_packed(value, True)
    assert lz4.block.decompress(single[4:], uncompressed_size=len(document)) == document
    parallel_value = value * 8  # over a megabyte: chunks straddle blocks
    parallel = Quarl().encode_packed(parallel_value, True)
    assert Quarl().decode_packed(parallel) == Quarl().decode_packed(Quarl().encode_packed(parallel_value, False))
    encoder = QuarlStreamEncoder()
    frames = [encoder.encode_frame(v, compress=c) for v, c in ((value, False), (parallel_value, True))]
    assert [len(m) for m in QuarlStreamDecoder().feed(b"".join(frames))] == [4, 32]


def test_large_blocks_are_let_go_after_the_call():
    import numpy as np

    codec = Quarl()
    blob, array = bytes(100_000), np.zeros(20_000)
    before = sys.getrefcount(blob), sys.getrefcount(array)
    for compress in (False, True):
        codec.encode_packed([blob, array], compress)
        with pytest.raises(UnicodeEncodeError):
            codec.encode_packed([blob, array, "\ud800"], compress)
    assert (sys.getrefcount(blob), sys.getrefcount(array)) == before


# Large plain documents leave the codec without a copy; each must still be a complete, ordinary bytes object.
def test_large_documents_are_ordinary_bytes():
    rows = [{"id": i, "name": f"row {i}", "score": i / 7} for i in range(5_000)]
    codec = Quarl()
    results = [codec.encode_packed(v, False) for v in (rows, rows, {"id": 1}, rows[:10], rows * 2, rows)]
    frames = [Quarl().encode_frame(v, compress=False)[6:] for v in (rows, {"id": 1}, rows * 2)]
    assert results[0] == results[1] == results[5] == frames[0]
    assert value_of(results[2]) == value_of(frames[1]) and value_of(results[4]) == value_of(frames[2])
    for result in results:
        copy = bytes(bytearray(result))
        assert type(result) is bytes and len(result) == len(copy) and sys.getsizeof(result) == sys.getsizeof(copy)
        assert hash(result) == hash(copy) and result == copy
        assert codec.decode_packed(result) == codec.decode_packed(copy)


# --- The `default` hook -------------------------------------------------------------------


@pytest.mark.parametrize("make", [Quarl, QuarlStreamEncoder])
def test_default_replaces_every_object_otherwise_written_as_str(make):
    seen = []

    def default(obj):
        seen.append(type(obj))
        return {"opaque": obj.n} if isinstance(obj, Opaque) else repr(obj)

    batch = [Point(Opaque(i), i) for i in range(12)]  # a model batch: once per object there too
    value = {"a": Opaque(1), "b": [Opaque(2), bytearray(b"x"), 2**70], "c": Color.RED, "d": 5, "e": batch}
    codec = make(default=default)
    data = codec.encode_packed(value, False) if make is Quarl else codec.encode_frame(value, compress=False)[6:]
    assert Quarl().decode_packed(data) == {"a": {"opaque": 1}, "b": [{"opaque": 2}, "bytearray(b'x')", repr(2**70)],
                                           "c": "x", "d": 5, "e": [{"x": {"opaque": i}, "y": i} for i in range(12)]}
    assert seen == [Opaque, Opaque, bytearray, int] + [Opaque] * 12
