"""Lists of model objects, the standard values inside them, NumPy arrays and table-like objects."""

import dataclasses
import datetime
import decimal
import enum
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from builders import dct, doc, f64, float_array, lst, nest, on_str, raiser, string, table_of, text, value_of
from conftest import installed, run_python
from quarl import Quarl

np = installed("numpy")
pydantic = installed("pydantic")


def encode(obj):
    return Quarl().encode_packed(obj, False)


def decode(document):
    return Quarl().decode_packed(document)


def outcome(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - failures are compared like results
        return type(error), str(error)


def instance(type_name, **members):
    return type(type_name, (), members)()


def tz(**offset):
    return datetime.timezone(datetime.timedelta(**offset))


def zone(offset):
    """A tzinfo whose utcoffset(dt) is offset(dt)."""
    return type("Zone", (datetime.tzinfo,), {"utcoffset": lambda self, dt: offset(dt)})()


DT, UTC = datetime.datetime, datetime.timezone.utc
Point = dataclasses.make_dataclass("Point", ["x", "y"])
OtherPoint = dataclasses.make_dataclass("OtherPoint", ["x", "y"])
SlottedPoint = dataclasses.make_dataclass("SlottedPoint", ["x", "y"], slots=True)
PydanticPoint = pydantic.create_model("PydanticPoint", x=(object, ...), y=(object, ...))
Tagged = pydantic.create_model("Tagged", name=(str, ...), value=(int, ...))
Color = enum.Enum("Color", {"RED": "red", "GREEN": [1.5, 2]})
Level = enum.IntEnum("Level", {"LOW": 1, "HIGH": 300})
Mode = enum.StrEnum("Mode", {"FAST": "fast"})


class Plain:
    def __init__(self, fields=(), **named):
        self.__dict__.update(fields, **named)


class Probe(Plain):
    """Answers `isoformat` for the objects that hold `iso`: its type cannot answer for all its objects."""

    def __getattr__(self, name):
        if name == "isoformat" and "iso" in self.__dict__:
            return lambda: self.iso
        raise AttributeError(name)


# --- Lists of models ------------------------------------------------------------


@pytest.mark.parametrize("model", [Point, SlottedPoint, PydanticPoint, Plain], ids=lambda m: m.__name__)
def test_models_are_written_as_the_dicts_of_their_fields(model):
    document = encode([model(x={"in": f"i{i}"}, y=f"v{i}") for i in range(9)])
    assert table_of(document) == ["x", "in", "y"]
    entries = [dct((0, dct((1, string(f"i{i}")))), (2, string(f"v{i}"))) for i in range(9)]
    assert value_of(document) == lst(*entries)


FIRSTS = [("s", "s"), (1, 1), (1.5, 1.5), (None, None), (True, True), ({}, {}), ([1], [1]), ((1,), [1]), ({2}, [2])]


@pytest.mark.parametrize(
    "items, plain",
    [
        ([Tagged(name=f"n{i}", value=i) for i in range(9)], [{"name": f"n{i}", "value": i} for i in range(9)]),
        ([Point(x=None, y=Tagged(name="a", value=1))] * 9, [{"x": None, "y": {"name": "a", "value": 1}}] * 9),
        ([Point(x=1, y=2)] * 7 + [OtherPoint(x=3, y=4), {"x": 5}, 6],
         [{"x": 1, "y": 2}] * 7 + [{"x": 3, "y": 4}, {"x": 5}, 6]),
        ([Probe(a=i) for i in range(8)] + [Probe(iso="x")], [{"a": i} for i in range(8)] + ["x"]),
        ([SlottedPoint(1, 2)] * 9, [{"x": 1, "y": 2}] * 9),
        ([Plain()] + [Plain(a=1)] * 8, [{}] + [{"a": 1}] * 8),
        ([Plain(ab=0)] + [Plain({"".join("ab"): 1, "y": 1}), Plain(y=1, ab=1)] * 4,
         [{"ab": 0}] + [{"ab": 1, "y": 1}, {"y": 1, "ab": 1}] * 4),
        ([Plain(x=1), Plain({"x": 1, 7: "s"})] * 5, [{"x": 1}, {"x": 1, 7: "s"}] * 5),
        ([Plain({"x": 1, 7: "s", "y": 2})] * 9, [{"x": 1, 7: "s", "y": 2}] * 9),
        ([Point(x=2**70, y=(2**70,))] * 9, [{"x": str(2**70), "y": [str(2**70)]}] * 9),
        ([Point(x=1, y=2), [Point(x=3, y=4)] * 9], [{"x": 1, "y": 2}, [{"x": 3, "y": 4}] * 9]),
        *[([first] + [Point(x=1, y=2)] * 8, [plain] + [{"x": 1, "y": 2}] * 8) for first, plain in FIRSTS],
    ],
)
def test_lists_of_objects_are_written_as_their_plain_data(items, plain):
    assert encode(items) == encode(plain)


# --- Standard values ----------------------------------------------------------------

# An offset that changes with the hour, so no offset text may be reused; one that tells fold=1 from fold=0, as
# zones do around a clock change; and a timedelta subclass, whose text the encoder leaves to isoformat().
HOURLY = zone(lambda dt: datetime.timedelta(minutes=dt.hour if dt is not None else 7))
BY_FOLD = zone(lambda dt: datetime.timedelta(hours=-4 if dt is not None and dt.fold else -5))
OddDelta = type("OddDelta", (datetime.timedelta,), {"days": property(lambda self: 99)})


def uuid_with_int(number):
    value = uuid.UUID(int=0)
    object.__setattr__(value, "int", number)
    return value


Shade = enum.Enum("Shade", {"LIGHT": 1})
Shade.value = property(lambda self: "overridden")  # hides the enum's own value
Sign = enum.Enum("Sign", {"PLUS": "+", "MINUS": -1, "NESTED": (1.5, None), "BIG": 2**70})
Perm = enum.Flag("Perm", {"R": 4, "W": 2})
When = enum.Enum("When", {"EPOCH": DT(1970, 1, 1, tzinfo=UTC), "LIST": [datetime.date(2024, 1, 2), 1.5]})
LaterDatetime, LaterDate, LaterTime = (type("Later", (base,), {}) for base in (DT, datetime.date, datetime.time))
STANDARD_VALUES = [
    DT(1, 1, 1), DT(999, 5, 6, 7, 8, 9, 5), DT(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    DT(2024, 10, 27, 1, 30, fold=1), DT(2024, 5, 1, 12, tzinfo=tz(hours=-5, minutes=-30)),
    DT(2024, 5, 1, 12, tzinfo=tz(seconds=1)), DT(2024, 5, 1, 12, tzinfo=tz(microseconds=-1)),
    DT(2024, 5, 1, 12, tzinfo=tz(hours=23, minutes=59, seconds=59, microseconds=999999)),
    DT(2024, 5, 1, 12, 30, tzinfo=tz(hours=2)), DT(2024, 5, 1, 3, tzinfo=HOURLY), DT(2024, 5, 1, 4, tzinfo=HOURLY),
    DT(2024, 5, 1, tzinfo=zone(lambda dt: None)), DT(2024, 5, 1, tzinfo=zone(lambda dt: OddDelta(hours=1))),
    DT(2024, 11, 3, 1, 30, tzinfo=BY_FOLD), DT(2024, 11, 3, 1, 30, fold=1, tzinfo=BY_FOLD),
    LaterDatetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=tz(hours=1)), LaterDatetime(2024, 1, 2),
    DT(2000, 2, 29, microsecond=10), DT(2000, 2, 29, tzinfo=UTC),
    datetime.date(1, 1, 1), datetime.date(999, 12, 31), LaterDate(2024, 2, 29), datetime.date(9999, 12, 31),
    datetime.time(0, 0), datetime.time(23, 59, 59, 1, tzinfo=tz(hours=-1)), datetime.time(12, 30, 0, 250000),
    datetime.time(1, 2, 3, fold=1, tzinfo=HOURLY), datetime.time(1, 30, fold=1, tzinfo=BY_FOLD),
    datetime.time(23, 59, 59, 999999, tzinfo=tz(hours=-11, minutes=-15)), LaterTime(4, 5, 6, 7, tzinfo=tz(hours=2)),
    uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID("12345678-1234-5678-1234-567812345678"),
    uuid_with_int(-5), uuid_with_int(2**130), decimal.Decimal("1.10"),
    Color.RED, Color.GREEN, Level.HIGH, Mode.FAST, Shade.LIGHT, Perm.R | Perm.W, When.EPOCH, When.LIST,
    Sign.NESTED, Sign.MINUS, Sign.BIG,
]


def written(value):
    """A standard value's bytes: its isoformat() or hex text under its tag; an enum member as its value."""
    if isinstance(value, enum.Enum):
        return written(value.value)
    for cls, tag in [(DT, 0xD1), (datetime.date, 0xD2), (datetime.time, 0xD3)]:
        if isinstance(value, cls):
            return text(tag, value.isoformat())
    if isinstance(value, uuid.UUID):
        return text(0xD4, value.hex)
    if isinstance(value, decimal.Decimal):
        return text(0xD5, str(value))
    return value_of(encode(value))


READERS = {0xD1: DT.fromisoformat, 0xD2: datetime.date.fromisoformat, 0xD3: datetime.time.fromisoformat,
           0xD4: uuid.UUID, 0xD5: decimal.Decimal}


def test_standard_values_are_written_as_their_own_text():
    # In one document, so that offsets met before cannot stand in for later ones.
    assert value_of(encode(STANDARD_VALUES)) == lst(*map(written, STANDARD_VALUES))
    assert value_of(encode([Point(x=v, y=None) for v in STANDARD_VALUES])) == lst(
        *[dct((0, written(v)), (1, b"\x10")) for v in STANDARD_VALUES])
    # The decoder reads each text as the type's own constructor does, and fails where it fails.
    bad = [text(0xD1, "é€😀"), text(0xD1, "2024-05-01 12:00"), text(0xD2, "2023-02-29"), text(0xD3, "12")]
    for data in [written(v) for v in STANDARD_VALUES] + bad:
        if data[0] in READERS:
            read = outcome(lambda: {"k": READERS[data[0]](data[5:].decode())})
            assert outcome(lambda: decode(doc(dct((0, data)), ["k"]))) == read


def shrinking_list():
    items = [Point(x=i, y=i) for i in range(12)]
    items[1].y = on_str(items.pop)
    return items


def growing_dict():
    outer = {"items": [Point(x=i, y=i) for i in range(9)], "after": 1}
    outer["items"][3].y = on_str(lambda: outer.setdefault("late", 1))
    return outer


def growing(make):
    """[a Point whose x is make(grow)], where grow() adds a field to the Point."""
    point = Point(x=None, y=1)
    point.x = make(lambda: setattr(point, "late", 1))
    return [point]


CHANGED = (RuntimeError, "dictionary changed size during iteration")


# Objects whose own answers decide what they become, or end the encode.
@pytest.mark.parametrize(
    "value, expected",
    [
        (instance("datetime", isoformat=lambda self: "not really"), text(0xD1, "not really")),
        (instance("time", isoformat=lambda self: "12"), text(0xD3, "12")),
        (instance("UUID", hex="feed", isoformat=lambda self: "iso first"), string("iso first")),
        (instance("UUID", hex="feed"), text(0xD4, "feed")),
        (pydantic.create_model("UUID", hex=(str, ...))(hex="feed"), text(0xD4, "feed")),
        (instance("Decimal", __str__=lambda self: "dec"), text(0xD5, "dec")),
        (instance("Series", value="v", name="n", hex="h"), dct()),
        (type("RaisingIsoformat", (datetime.date,), {"isoformat": raiser(RuntimeError)})(2024, 1, 1),
         text(0xD2, "2024-01-01")),
        (bytearray(b"ab"), string("bytearray(b'ab')")),
        (shrinking_list(), (RuntimeError, "list changed size during iteration")),
        (growing_dict(), CHANGED),
        (growing(lambda grow: DT(2024, 1, 1, tzinfo=zone(lambda dt: (grow(), datetime.timedelta(0))[1]))), CHANGED),
        (growing(lambda grow: instance("Decimal", __str__=lambda self: (grow(), "1")[1])), CHANGED),
        (Plain(isoformat="iso"), (TypeError, "'str' object is not callable")),
        ((DT(2024, 1, 1, tzinfo=zone(raiser(ValueError("no offset")))),), (ValueError, "no offset")),
        (instance("UUID", hex=5), (TypeError, "UUID.hex must be str, not int")),
        (instance("Decimal", __str__=raiser(ValueError("no text"))), (ValueError, "no text")),
    ],
    ids=["datetime", "time", "UUID-isoformat", "UUID", "pydantic-UUID", "Decimal", "look-alike", "date-subclass",
         "bytearray", "list shrinks", "outer dict grows", "utcoffset() grows item", "str() grows item",
         "isoformat field", "failing utcoffset()", "UUID.hex not str", "failing str()"],
)
def test_objects_that_answer_for_themselves(value, expected):
    assert outcome(lambda: value_of(encode(value))) == expected


# --- The property ----------------------------------------------------------------

FIELD_NAMES = ["a", "b", "name", "value", "hex", "when", "ü"]
CLASS_NAMES = ["Model", "UUID", "Decimal", "Series", "date"]

zones = st.none() | st.builds(
    datetime.timezone,
    st.timedeltas(min_value=-datetime.timedelta(hours=23, minutes=59), max_value=datetime.timedelta(hours=23)),
)
leaf_values = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70), st.floats(), st.text(max_size=5),
    st.datetimes(timezones=zones), st.dates(), st.times(timezones=zones), st.uuids(),
    st.decimals(places=2, allow_nan=False), st.sampled_from(list(Sign) + list(Level) + list(Mode) + list(Color)),
)
field_values = st.recursive(
    leaf_values,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner)
    | st.dictionaries(st.sampled_from(["k", "a", "name"]), inner, max_size=2),
    max_leaves=6,
)
MAKERS = [
    lambda name, fields: dataclasses.make_dataclass(name, [(f, object) for f in fields]),
    lambda name, fields: pydantic.create_model(name, **{f: (object, ...) for f in fields}),
    lambda name, fields: type(name, (Plain,), {}),
]


def mutate(items, mutation, index):
    fields = getattr(items[index], "__dict__", None)  # None for an item already made a dict
    if fields is None or (mutation == "drop" and not fields):
        return
    if mutation == "drop":
        fields.pop(next(iter(fields)))
    elif mutation == "extra":
        fields["extra"] = index
    elif mutation == "reorder":
        object.__setattr__(items[index], "__dict__", dict(reversed(list(fields.items()))))
    else:
        items[index] = Plain(fields) if mutation == "other class" else dict(fields)


@st.composite
def model_lists(draw):
    fields = draw(st.lists(st.sampled_from(FIELD_NAMES), min_size=1, max_size=4, unique=True))
    cls = draw(st.sampled_from(MAKERS))(draw(st.sampled_from(CLASS_NAMES)), fields)
    count = draw(st.integers(8, 11))
    shapes = st.fixed_dictionaries({f: field_values for f in fields})
    first = draw(shapes)
    items = [cls(**(first if i % 2 else draw(shapes))) for i in range(count)]
    for _ in range(draw(st.integers(0, 2))):
        mutation = draw(st.sampled_from(["drop", "extra", "reorder", "other class", "dict"]))
        mutate(items, mutation, draw(st.integers(0, count - 1)))
    return items


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(model_lists())
def test_a_list_of_models_is_written_as_its_items_alone(items):
    # Each item alone is the first of its type: nothing learnt from one object may change how the next is written.
    alone = [outcome(lambda item=item: encode(item)) for item in items]
    errors = [result for result in alone if isinstance(result, tuple)]
    together = outcome(lambda: encode(items))
    if errors:
        assert together == errors[0]
    else:
        assert outcome(lambda: encode(decode(together))) == outcome(lambda: encode([decode(d) for d in alone]))


# --- NumPy arrays --------------------------------------------------------------------

NOT_CONTIGUOUS = (TypeError, "The given array is not contiguous")


@pytest.mark.parametrize(
    "array, expected",
    [
        (np.arange(6.0).reshape(2, 3), float_array(0, 1, 2, 3, 4, 5)),
        (np.asfortranarray(np.arange(6.0).reshape(2, 3)), float_array(0, 3, 1, 4, 2, 5)),
        (np.arange(6.0).reshape(2, 3).T, float_array(0, 1, 2, 3, 4, 5)),
        (np.array(2.5), float_array(2.5)),
        (np.zeros((0, 3)), float_array()),
        (np.array([np.nan, -0.0, np.inf]), float_array(np.nan, -0.0, np.inf)),
        (np.arange(4.0).reshape(2, 2)[1:], float_array(2, 3)),
        (np.arange(3.0).astype("<f8"), float_array(0, 1, 2)),
        (np.ma.masked_array([1.0, 2.0]), float_array(1, 2)),
        (np.arange(12.0).reshape(3, 4)[:, 1:3], NOT_CONTIGUOUS),
        (np.arange(3.0)[::-1], NOT_CONTIGUOUS),
        # Every other array is written as its tolist().
        (np.arange(3, dtype=np.float32), lst(f64(0), f64(1), f64(2))),
        (np.arange(2.0).astype(">f8"), lst(f64(0), f64(1))),
        (np.array([[1, 2]], dtype=np.uint8), lst(lst(b"\x31", b"\x32"))),
        (np.array([True]), lst(b"\x21")),
        (np.array([1 + 2j]), lst(string("(1+2j)"))),
        (np.array(["a"]), lst(string("a"))),
        (np.array([(1, 2.5)], dtype=[("a", "i4"), ("b", "f8")]), lst(lst(b"\x31", f64(2.5)))),
        (np.array([None]), lst(b"\x10")),
    ],
    ids=["c-order", "f-order", "transpose", "0-d", "empty", "nan-zero-inf", "row", "explicit-le", "subclass",
         "columns", "reversed", "float32", "big-endian", "2-d-uint8", "bool", "complex", "str", "record", "object"],
)
def test_numpy_arrays(array, expected):
    assert outcome(lambda: value_of(encode(array))) == expected


def test_numpy_is_never_imported_and_not_needed():
    result = run_python(
        """
        import sys, dataclasses, decimal, datetime, quarl
        things = [object(), decimal.Decimal(1), datetime.date(2024, 1, 1), type("Series", (), {})(), {"a": [2.5]},
                  dataclasses.make_dataclass("Slotted", ["a"], slots=True)(1)]
        quarl.Quarl().encode_packed(things, False)
        print("numpy" in sys.modules, "pandas" in sys.modules)
        sys.modules["numpy"] = None
        quarl.Quarl().encode_packed([things] * 9, False)
        del sys.modules["numpy"]
        import numpy as np  # imported after the codec's first encodes, and still recognised
        codec = quarl.Quarl()
        print(codec.decode_packed(codec.encode_packed([np.int64(3), np.arange(2)], False)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False False\n[3, [0, 1]]\n"


# --- Table-like objects -----------------------------------------------------------

RECORDS = [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]
TABLE_DATA = {"a": [1, 2], "b": ["x", "y"]}
TABLE_CASES = [
    ("pandas.DataFrame", lambda pd: pd.DataFrame(TABLE_DATA), RECORDS),
    ("pandas.Series", lambda pd: pd.Series([1.5, 2.5]), [1.5, 2.5]),
    ("pandas.Index", lambda pd: pd.Index(["x", "y"]), ["x", "y"]),
    ("pandas.DataFrames", lambda pd: [pd.DataFrame({"a": [i]}) for i in range(9)], [[{"a": i}] for i in range(9)]),
    ("polars.DataFrame", lambda pl: pl.DataFrame(TABLE_DATA), RECORDS),
    ("polars.LazyFrame", lambda pl: pl.LazyFrame(TABLE_DATA), RECORDS),
    ("polars.Series", lambda pl: pl.Series("a", [1, None, 3]), [1, None, 3]),
    ("pyarrow.Table", lambda pa: pa.table(TABLE_DATA), RECORDS),
    ("pyarrow.RecordBatch", lambda pa: pa.RecordBatch.from_pydict(TABLE_DATA), RECORDS),
]


@pytest.mark.parametrize("name, make, expected", TABLE_CASES, ids=[c[0] for c in TABLE_CASES])
def test_tables_are_written_as_their_plain_data(name, make, expected):
    assert encode(make(installed(name.split(".")[0]))) == encode(expected)


SLOTTED_FRAME = instance("DataFrame", __slots__=())


@pytest.mark.parametrize(
    "obj, expected",
    [
        (instance("DataFrame", to_dicts=lambda self: [1], to_dict=lambda self, kind: [2]), [1]),
        (instance("DataFrame", to_dict=lambda self, kind: [kind]), ["records"]),
        (instance("LazyFrame", collect=lambda self: instance("X", to_dicts=lambda s: [3])), [3]),
        (instance("Series", to_list=lambda self: (4,)), [4]),
        (instance("Index", to_list=lambda self: [5]), [5]),
        (instance("Table", to_pylist=lambda self: [6]), [6]),
        (instance("RecordBatch", to_pylist=lambda self: [7]), [7]),
        (instance("Series", to_dicts=lambda self: [8], to_pylist=lambda self: [8]), {}),
        (instance("Tables", to_pylist=lambda self: [9]), {}),
        # named like a table, without its methods: attributes, else str()
        (type("DataFrame", (Plain,), {})(rows=2), {"rows": 2}),
        (type("LazyFrame", (Plain,), {"collect": lambda self: object()})(plan="scan"), {"plan": "scan"}),
        (SLOTTED_FRAME, str(SLOTTED_FRAME)),
        (instance("Series", to_list=raiser(ValueError("boom"))), (ValueError, "boom")),
        (instance("Table", to_pylist=property(raiser(RuntimeError("no test")))), (RuntimeError, "no test")),
    ],
    ids=["to_dicts-first", "to_dict-records", "lazy", "series", "index", "table", "batch", "series-other",
         "other-name", "frame-without-methods", "lazy-collect-to-object", "slotted-frame", "failing-to_list",
         "failing-lookup"],
)
def test_table_methods_by_type_name(obj, expected):
    assert outcome(lambda: encode(obj)) == (expected if isinstance(expected, tuple) else encode(expected))
