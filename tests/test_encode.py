"""What the encoder writes: exact bytes of values, the string table and hostile objects."""

import dataclasses
import datetime
import decimal
import enum
import struct
import sys
import uuid

import pytest

from quarl import Quarl

from builders import dct, doc, exact, lst, nest, on_str, raiser, string, table_of, text, u32, value_of
from conftest import installed


def encode_value(obj) -> bytes:
    """The value section that a fresh codec writes for obj."""
    return value_of(Quarl().encode_packed(obj, False))


class Color(enum.Enum):
    RED = "x"


class Level(enum.IntEnum):
    HIGH = 9


class Mode(enum.StrEnum):
    FAST = "fast"


class NamedDateTime(datetime.datetime):
    pass


@dataclasses.dataclass
class Point:
    x: int
    y: float


@dataclasses.dataclass
class Tagged:
    name: str
    value: int


def lp(tag: int, text: str) -> str:
    """Hex of a length-prefixed value: tag, u32 length, UTF-8 text."""
    data = text.encode()
    return (bytes([tag]) + struct.pack("<I", len(data)) + data).hex()


VALUE_BYTES = [
    (None, "10"), (False, "20"), (True, "21"), (0, "30"), (1, "31"), (7, "37"),
    (8, "38 08 00 00 00 00 00 00 00"), (300, "38 2C 01 00 00 00 00 00 00"), (-1, "38 FF FF FF FF FF FF FF FF"),
    (2**63 - 1, "38 FF FF FF FF FF FF FF 7F"), (2**63, lp(0x50, "9223372036854775808")),
    (-(2**63) - 1, lp(0x50, "-9223372036854775809")), (2**64, lp(0x50, "18446744073709551616")),
    (2.5, "40 00 00 00 00 00 00 04 40"), (-0.0, "40 00 00 00 00 00 00 00 80"),
    (float("inf"), "40 00 00 00 00 00 00 F0 7F"),
    ("", "50 00 00 00 00"), ("é", "50 02 00 00 00 C3 A9"), ("\U0001f600", "50 04 00 00 00 F0 9F 98 80"),
    (b"\x00\x01", "80 02 00 00 00 00 01"), ([], "60 00 00 00 00"), ({}, "70 7F"),
    ((1, 2), "60 02 00 00 00 31 32"), ([1, 2], "60 02 00 00 00 31 32"), ({3}, "60 01 00 00 00 33"),
    (frozenset({3}), "60 01 00 00 00 33"), (bytearray(b"a"), lp(0x50, "bytearray(b'a')")),
    (Level.HIGH, "38 09 00 00 00 00 00 00 00"), (Color.RED, "50 01 00 00 00 78"), (Mode.FAST, lp(0x50, "fast")),
    (datetime.date(2024, 1, 2), lp(0xD2, "2024-01-02")), (datetime.time(12, 30, 0, 250000), lp(0xD3, "12:30:00.250000")),
    (datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
     lp(0xD1, "2024-05-01T12:30:00+02:00")),
    (NamedDateTime(2024, 5, 1), lp(0xD1, "2024-05-01T00:00:00")),
    (uuid.UUID(int=0x1234), lp(0xD4, f"{0x1234:032x}")),
    (decimal.Decimal("1.10"), lp(0xD5, "1.10")), (decimal.Decimal("-0"), lp(0xD5, "-0")),
    (on_str(text="slotted"), lp(0x50, "slotted")),
]


@pytest.mark.parametrize("obj, expected", VALUE_BYTES, ids=repr)
def test_value_bytes(obj, expected):
    assert encode_value(obj) == bytes.fromhex(expected)


# Whole documents from a fresh codec: objects with a __dict__ become dicts, even with
# fields named like an enum's; other keys are written as their text.
DOCUMENT_BYTES = [
    (None, False, bytes.fromhex("514C 00 01 0000 10")),
    (None, True, bytes.fromhex("514C 01 01 0000 10")),
    ({"a": [1, 2.5, None]}, False, doc("70 00000000 60 03000000 31 40 0000000000000440 10 7F", ["a"])),
    (Point(1, 2.0), False, doc("70 00000000 31 01000000 40 0000000000000040 7F", ["x", "y"])),
    (Tagged("n", 3), False, doc("70 00000000 5001000000 6E 01000000 33 7F", ["name", "value"])),
    ({1: "a", "2": "b", None: 0}, False,
     doc("70 00000000 5001000000 61 01000000 5001000000 62 02000000 30 7F", ["1", "2", "None"])),
]


@pytest.mark.parametrize("obj, compress, expected", DOCUMENT_BYTES, ids=repr)
def test_document_bytes(obj, compress, expected):
    assert Quarl().encode_packed(obj, compress) == expected


def test_key_text_that_is_not_utf8_or_fails():
    weird = type("Weird", (), {"__str__": lambda self: "a\udcffb"})()
    assert table_of(Quarl().encode_packed({weird: 1}, False)) == ["a\ufffdb"]
    # A key whose str() raises is named, and the error reported as unraisable.
    reported = []
    no_str = type("NoStr", (), {"__str__": raiser(RuntimeError("no text"))})()
    hook, sys.unraisablehook = sys.unraisablehook, lambda info: reported.append(info.exc_value)
    try:
        data = Quarl().encode_packed({no_str: 1}, False)
    finally:
        sys.unraisablehook = hook
    assert table_of(data) == ["<unprintable NoStr object>"]
    assert [str(e) for e in reported] == ["no text"]


@pytest.mark.parametrize("value", ["\ud800", {"\ud800": 1}], ids=["value", "key"])
def test_surrogates_in_values_and_str_keys_fail(value):
    with pytest.raises(UnicodeEncodeError):
        Quarl().encode_packed(value, False)


# --- the string table -----------------------------------------------------------


def test_indices_skip_the_dict_terminator():
    keys = [f"k{i}" for i in range(400)]
    data = Quarl().encode_packed(dict.fromkeys(keys, 0), False)
    table = table_of(data)
    assert len(table) == 402
    assert table[127] == "" and table[383] == ""
    assert [t for i, t in enumerate(table) if i not in (127, 383)] == keys
    # Every entry's index, as written, is the position of its key in the table.
    indices = [struct.unpack_from("<I", value_of(data), 1 + 5 * i)[0] for i in range(400)]
    assert [table[i] for i in indices] == keys
    assert all(i & 0xFF != 0x7F for i in indices)


def test_every_document_carries_only_its_own_keys():
    codec = Quarl()
    assert codec.encode_packed({"a": 1}, False) == bytes.fromhex("514C00010100 0161 7000000000317F")
    assert codec.encode_packed({"b": 2}, False) == bytes.fromhex("514C00010100 0162 7000000000327F")
    assert codec.encode_packed({"b": 3, "a": {"c": 4, "b": 5}}, False) == doc(
        "70 00000000 33 01000000 70 02000000 34 00000000 35 7F 7F", ["b", "a", "c"])
    # Keys that collide in the codec's caches keep their indices too.
    keys = [f"key{i}" for i in range(200)]
    assert value_of(codec.encode_packed([{k: 0} for k in keys], False)) == value_of(
        codec.encode_packed([{k: 0} for k in keys], False))


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

    class Once:
        def isoformat(self):
            calls.append(1)
            return "2020-01-01"

    with pytest.raises(ValueError, match="^document needs more than 65535 distinct dict keys"):
        codec.encode_packed([Once(), {f"k{i}": 0 for i in range(66000)}], False)
    assert calls == [1]


# --- depth and hostile objects --------------------------------------------------


class Loop(enum.Enum):
    A = 1

    @property
    def value(self):
        return self


def looped_list():
    looped = []
    looped.append(looped)
    return looped


@pytest.mark.parametrize(
    "value", [nest(128, 1), nest(128, 1, lambda v: {"k": v}), looped_list(), Loop.A],
    ids=["128 lists", "128 dicts", "self-referencing list", "endless enum value chain"],
)
def test_depth_limit(value):
    codec = Quarl()
    codec.encode_packed(nest(127, 1), False)
    codec.encode_packed(nest(127, []), False)
    with pytest.raises(RecursionError, match=exact("Maximum recursion depth exceeded")):
        codec.encode_packed(value, False)
    assert value_of(codec.encode_packed(None, False)) == b"\x10"


@pytest.mark.parametrize(
    "value, error, message",
    [([on_str(raiser(KeyError("str")))], KeyError, "str"),
     ({"a": type("BadIso", (), {"isoformat": raiser(KeyError("iso"))})()}, KeyError, "iso"),
     (type("NotText", (), {"isoformat": lambda self: 5})(), TypeError, None),
     # hasattr() lets only AttributeError through
     (type("Exploding", (), {"__getattr__": raiser(ZeroDivisionError("x"))})(), ZeroDivisionError, "x")],
    ids=["raising str", "raising isoformat", "isoformat not text", "raising getattr"],
)
def test_errors_from_the_objects_own_methods_end_the_encode(value, error, message):
    with pytest.raises(error, match=message):
        Quarl().encode_packed(value, False)


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


def test_callback_growing_the_list_writes_the_original_count():
    items = [on_str(lambda: items.extend(range(1000)), "g"), 1]
    assert encode_value(items) == bytes.fromhex("60 02000000 5001000000 67 31")


def test_callback_replacing_the_item_being_written():
    holder = {}

    class Replaces:
        def isoformat(self):
            holder["v"] = None  # drops the last outside reference to self
            return "still here"

    holder["v"] = Replaces()
    assert encode_value(holder) == bytes.fromhex("70 00000000 500A000000") + b"still here\x7f"


def test_set_whose_iterator_disagrees_with_len():
    liar = type("Liar", (set,), {"__iter__": lambda self: iter([1, 2, 3])})({9})
    assert encode_value(liar) == bytes.fromhex("60 03000000 31 32 33")


def test_wide_int_subclass_with_dict_is_decimal_text():
    big = type("Big", (int,), {})(2**70)
    big.extra = "attr"
    assert encode_value(big) == bytes.fromhex("5016000000") + str(2**70).encode()


# --- large blocks -------------------------------------------------------------
# Large bytes, str and array values reach the result without an intermediate
# copy; the bytes must be exactly those of the small-value layout.


def large_values():
    import numpy as np

    blob = bytes(range(256)) * 300  # 76,800 bytes
    words = "größe " * 20_000
    array = np.arange(20_000, dtype=np.float64)
    expected = lst(
        text(0x80, blob),
        dct((0, string(words))),
        b"\x90" + u32(array.size) + array.tobytes(),
        text(0x80, blob[:100]),
    )
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
    from quarl import QuarlStreamDecoder, QuarlStreamEncoder

    lz4 = installed("lz4.block")
    value, expected = large_values()
    document = doc(expected, ["k"], compress_flag=1)
    single = Quarl().encode_packed(value, True)
    assert lz4.block.decompress(single[4:], uncompressed_size=len(document)) == document
    parallel_value = value * 8  # over a megabyte: chunks straddle blocks
    parallel = Quarl().encode_packed(parallel_value, True)
    assert Quarl().decode_packed(parallel) == Quarl().decode_packed(Quarl().encode_packed(parallel_value, False))
    encoder = QuarlStreamEncoder()
    stream = encoder.get_handshake() + encoder.encode_frame(value, compress=False)
    stream += encoder.encode_frame(parallel_value, compress=True)
    assert [len(m) for m in QuarlStreamDecoder().feed(stream)] == [4, 32]


def test_large_blocks_are_let_go_after_the_call():
    import numpy as np

    codec = Quarl()
    blob = bytes(100_000)
    array = np.zeros(20_000)
    before = sys.getrefcount(blob), sys.getrefcount(array)
    for compress in (False, True):
        codec.encode_packed([blob, array], compress)
        with pytest.raises(UnicodeEncodeError):
            codec.encode_packed([blob, array, "\ud800"], compress)
    assert (sys.getrefcount(blob), sys.getrefcount(array)) == before


def test_large_documents_are_ordinary_bytes():
    # Large plain documents leave the codec without a copy; every result
    # must still be a complete, ordinary bytes object of the same layout.
    rows = [{"id": i, "name": f"row {i}", "score": i / 7} for i in range(5_000)]
    small = {"id": 1}
    codec = Quarl()
    results = [codec.encode_packed(v, False) for v in (rows, rows, small, rows[:10], rows * 2, rows)]
    frames = [Quarl().encode_frame(v, compress=False)[6:] for v in (rows, small, rows * 2)]
    assert results[0] == results[1] == results[5] == frames[0]
    assert value_of(results[2]) == value_of(frames[1])
    assert value_of(results[4]) == value_of(frames[2])
    for result in results:
        copy = bytes(bytearray(result))
        assert type(result) is bytes and len(result) == len(copy)
        assert sys.getsizeof(result) == sys.getsizeof(copy)
        assert hash(result) == hash(copy) and result == copy
        assert codec.decode_packed(result) == codec.decode_packed(copy)


# --- The `default` hook -------------------------------------------------------------------


class Opaque:
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n

    def __str__(self):
        return f"Opaque({self.n})"


def test_without_default_unknown_objects_are_their_str():
    codec = Quarl()
    assert codec.decode_packed(codec.encode_packed([Opaque(1), bytearray(b"a"), 2**70], False)) == [
        "Opaque(1)", "bytearray(b'a')", str(2**70)]


@pytest.mark.parametrize("make", [Quarl, __import__("quarl").QuarlStreamEncoder])
def test_default_replaces_every_object_otherwise_written_as_str(make):
    seen = []

    def default(obj):
        seen.append(obj)
        return {"opaque": obj.n} if isinstance(obj, Opaque) else repr(obj)

    value = {"a": Opaque(1), "b": [Opaque(2), bytearray(b"x"), 2**70], "c": Color.RED, "d": 5}
    codec = make(default=default)
    data = codec.encode_packed(value, False) if make is Quarl else codec.encode_frame(value, compress=False)
    decoded = Quarl().decode_packed(data if make is Quarl else data[6:])
    assert decoded == {"a": {"opaque": 1}, "b": [{"opaque": 2}, "bytearray(b'x')", repr(2**70)], "c": "x", "d": 5}
    assert [type(obj) for obj in seen] == [Opaque, Opaque, bytearray, int]


def test_default_runs_once_per_object_in_a_model_batch():
    calls = []

    @dataclasses.dataclass
    class Row:
        item: object

    def default(obj):
        calls.append(obj)
        return obj.n

    rows = [Row(Opaque(i)) for i in range(12)]
    codec = Quarl(default=default)
    assert codec.decode_packed(codec.encode_packed(rows, False)) == [{"item": i} for i in range(12)]
    assert len(calls) == 12


def test_what_default_raises_ends_the_encode_unchanged():
    class Refused(Exception):
        pass

    def default(obj):
        raise Refused(type(obj).__name__)

    codec = Quarl(default=default)
    with pytest.raises(Refused, match="Opaque"):
        codec.encode_packed({"x": [Opaque(1)]}, False)
    with pytest.raises(KeyboardInterrupt):
        Quarl(default=lambda obj: (_ for _ in ()).throw(KeyboardInterrupt)).encode_packed(Opaque(1), False)
    assert codec.decode_packed(codec.encode_packed({"x": 1}, False)) == {"x": 1}


def test_default_result_is_one_level_deeper():
    codec = Quarl(default=lambda obj: [])
    assert codec.decode_packed(codec.encode_packed(nest(126, Opaque(1)), False)) == nest(126, [])
    with pytest.raises(RecursionError, match="^Maximum recursion depth exceeded$"):
        codec.encode_packed(nest(127, Opaque(1)), False)
    # A hook that returns what it was given ends at the depth limit.
    with pytest.raises(RecursionError):
        Quarl(default=lambda obj: obj).encode_packed(Opaque(1), False)


def test_default_must_be_callable_and_a_keyword():
    with pytest.raises(TypeError, match="default"):
        Quarl(default=3)
    with pytest.raises(TypeError):
        Quarl(print)
    assert Quarl(default=None).encode_packed(Opaque(1), False) == Quarl().encode_packed(Opaque(1), False)


def test_default_reentering_its_codec_is_refused():
    def default(obj):
        return codec.encode_packed(1, False)

    codec = Quarl(default=default)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        codec.encode_packed(Opaque(1), False)


def test_a_codec_in_a_cycle_through_its_default_is_collected():
    import gc
    import weakref

    class Owner:
        def __init__(self):
            self.codec = Quarl(default=self.convert)

        def convert(self, obj):
            return None

    owner = Owner()
    alive = weakref.ref(owner)
    del owner
    gc.collect()
    assert alive() is None
