"""Root lists of models, float64 arrays and tables; a batch-written root list of 9+ models must give the
general walk's document, which is that of the same items as a root tuple (never batched)."""

import dataclasses
import datetime
import decimal
import enum
import math
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from builders import f64, float_array, i64, lst, nest, on_str, raiser, string, table_of, text, u32, value_of
from conftest import installed, run_python
from quarl import Quarl

np = installed("numpy")
pydantic = installed("pydantic")


def encode(obj, codec=None):
    return (codec or Quarl()).encode_packed(obj, False)


def value_bytes(value):
    return value_of(encode(value))


def outcome(encode_call):
    try:
        return encode_call()
    except Exception as error:  # noqa: BLE001 - both paths must fail alike
        return type(error), str(error)


def warmed_codec(items):
    """A codec that has met every key of `items`, so key-interning order does not show in the string table."""
    codec = Quarl()
    outcome(lambda: codec.encode_packed(tuple(items), False))
    return codec


def general_walk_document(items):
    return warmed_codec(items).encode_packed(tuple(items), False)


def root_list_outcome(items):
    return outcome(lambda: encode(items, warmed_codec(items)))


def general_walk_outcome(items):
    return outcome(lambda: general_walk_document(items))


def decode(document):
    return Quarl().decode_packed(document)


def canonical(value):
    """Decoded data where 1, 1.0 and True differ, dict order counts and NaN equals itself."""
    if isinstance(value, dict):
        return ["dict", [(key, canonical(item)) for key, item in value.items()]]
    if isinstance(value, list):
        return ["list", [canonical(item) for item in value]]
    if isinstance(value, float) and math.isnan(value):
        return ["float", "nan"]
    return [type(value).__name__, value]


def nested_outcomes(items):
    """The list deep inside a document, against the same items as a tuple (never batched) there."""
    wrap = lambda inner: {"k": [1, inner]}  # noqa: E731
    codec = Quarl()
    outcome(lambda: codec.encode_packed(wrap(tuple(items)), False))
    walk = outcome(lambda: codec.encode_packed(wrap(tuple(items)), False))
    return outcome(lambda: codec.encode_packed(wrap(items), False)), walk


def assert_same_as_general_walk(items):
    """Same document as the general walk's for one codec state, at the root and nested, and
    same decoded data from fresh codecs."""
    assert root_list_outcome(items) == general_walk_outcome(items)
    nested_batch, nested_walk = nested_outcomes(items)
    assert nested_batch == nested_walk
    fresh = [outcome(lambda: encode(items)), outcome(lambda: encode(tuple(items)))]
    batch, walk = [outcome(lambda d=d: canonical(decode(d))) if isinstance(d, bytes) else d for d in fresh]
    assert batch == walk


def named(type_name, **members):
    return type(type_name, (), members)


def tz(**offset):
    return datetime.timezone(datetime.timedelta(**offset))


# --- Model classes ---------------------------------------------------------


Point = dataclasses.make_dataclass("Point", ["x", "y"])
OtherPoint = dataclasses.make_dataclass("OtherPoint", ["x", "y"])
SlottedPoint = dataclasses.make_dataclass("SlottedPoint", ["x", "y"], slots=True)
PydanticPoint = pydantic.create_model("PydanticPoint", x=(object, ...), y=(object, ...))
Tagged = pydantic.create_model("Tagged", name=(str, ...), value=(int, ...))
Color = enum.Enum("Color", {"RED": "red", "GREEN": [1.5, 2]})
Level = enum.IntEnum("Level", {"LOW": 1, "HIGH": 300})
Mode = enum.StrEnum("Mode", {"FAST": "fast"})


class Plain:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Probe(Plain):
    """Logs failed attribute lookups: its __getattr__ may answer differently for each object, so the batch,
    like the general walk, asks every object once."""

    lookups = []

    def __getattr__(self, name):
        Probe.lookups.append(name)
        raise AttributeError(name)


# --- Which lists take the batch ---------------------------------------------


@pytest.mark.parametrize(
    "items, lookups",
    [([Probe(a=i) for i in range(9)], 9), ([Probe(a=i) for i in range(8)], 8),
     ([Probe(a=i, b=i) for i in range(8)] + [Probe(b=1, c=2)], 9)],
    ids=["nine take the batch", "eight the general walk", "an item with other fields"],
)
def test_which_lists_take_the_batch(items, lookups):
    Probe.lookups.clear()
    encode(items)
    assert Probe.lookups.count("isoformat") == lookups
    assert_same_as_general_walk(items)


@pytest.mark.parametrize("count", [8, 9, 20])
@pytest.mark.parametrize("model", [Point, PydanticPoint, Plain], ids=lambda m: m.__name__)
def test_models_with_the_same_fields_match_the_general_walk(model, count):
    items = [model(x=i, y=f"v{i}") for i in range(count)]
    document = encode(items)
    assert document == general_walk_document(items)
    entries = [b"\x70" + u32(0) + value_bytes(i) + u32(1) + string(f"v{i}") + b"\x7f" for i in range(count)]
    assert value_of(document) == b"\x60" + u32(count) + b"".join(entries)


def test_batch_lists_keys_in_the_order_the_general_walk_meets_them():
    items = [Point(x={"inner": i}, y=i) for i in range(9)]
    assert table_of(encode(items)) == table_of(encode(items[:8])) == ["x", "inner", "y"]


CHANGES = {
    "keep": lambda items: None,
    "shuffled_fields": lambda items: setattr(items[4], "__dict__", {"y": items[4].y, "x": items[4].x}),
    "missing_field": lambda items: delattr(items[3], "y"),
    "extra_field": lambda items: setattr(items[5], "z", 1),
    "other_type": lambda items: items.__setitem__(6, OtherPoint(x=6, y=6)),
    "not_a_model": lambda items: items.__setitem__(2, {"x": 2, "y": 2}),
    "first_lacks_field": lambda items: delattr(items[0], "y"),
    "non_str_key": lambda items: items[1].__dict__.__setitem__(7, "seven"),
    "non_str_key_everywhere": lambda items: [item.__dict__.__setitem__(7, "seven") for item in items],
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_lists_the_batch_cannot_take_keep_the_general_walks_document(change):
    items = [Point(x=i, y=i) for i in range(10)]
    change(items)
    assert_same_as_general_walk(items)


@pytest.mark.parametrize(
    "items",
    [[{"a": i} for i in range(9)], list(range(9)), [str(i) for i in range(9)], [SlottedPoint(1, 2)] * 9,
     [Color.RED, Color.GREEN] * 5, [Level.HIGH] * 9, [Mode.FAST] * 9, [datetime.date(2024, 1, 2)] * 9,
     [decimal.Decimal("1.5")] * 9, [uuid.UUID(int=5)] * 9, [np.ma.masked_array([1.5])] * 9],
    ids=["dicts", "ints", "strs", "slotted", "enums", "int-enums", "str-enums", "dates", "decimals", "uuids", "arrays"],
)
def test_root_lists_of_other_objects_match_the_general_walk(items):
    assert_same_as_general_walk(items)


@pytest.mark.parametrize(
    "items, plain",
    [
        ([Color.RED, Color.GREEN] * 5, ["red", [1.5, 2]] * 5),
        ([Tagged(name=f"n{i}", value=i) for i in range(9)], [{"name": f"n{i}", "value": i} for i in range(9)]),
        ([Point(x=None, y=Tagged(name="a", value=1))] * 9, [{"x": None, "y": {"name": "a", "value": 1}}] * 9),
        ([Point(x=[1.5, 2, True], y=2**70)] * 9, [{"x": [1.5, 2, True], "y": str(2**70)}] * 9),
        ([Point(x=[1.5, 2**60], y=None)] * 9, [{"x": [1.5, 2**60], "y": None}] * 9),
        ([Probe(a=i, b=i) for i in range(8)] + [Probe(b=8, c=8)],
         [{"a": i, "b": i} for i in range(8)] + [{"b": 8, "c": 8}]),
        ([Point(x=1, y=2)] * 7 + [OtherPoint(x=3, y=4), {"x": 5}, 6],
         [{"x": 1, "y": 2}] * 7 + [{"x": 3, "y": 4}, {"x": 5}, 6]),
    ],
    ids=["enums", "name-value-fields", "nested-name-value", "float-run-and-big-int", "exact-int-in-float-run",
         "other-fields", "mixed-types"],
)
def test_batches_are_written_as_their_plain_data(items, plain):
    document = encode(items)
    assert document == encode(plain)
    assert canonical(decode(document)) == canonical(plain)


@pytest.mark.parametrize("size", [12, 8], ids=["batch", "general walk"])
def test_list_that_shrinks_while_the_batch_writes_it(size):
    shrinks = on_str(lambda: items.pop() if len(items) == size else None)
    items = [Point(x=i, y=shrinks if i == 1 else i) for i in range(size)]
    assert outcome(lambda: encode(items)) == (RuntimeError, "list changed size during iteration")


@pytest.mark.parametrize("sequence", [list, tuple], ids=["batch", "general walk"])
def test_field_that_changes_the_dict_around_a_nested_batch(sequence):
    outer = {}
    grows = on_str(lambda: outer.setdefault("late", 1))
    outer["items"] = sequence(Point(x=i, y=grows if i == 3 else i) for i in range(9))
    outer["after"] = 1
    assert outcome(lambda: encode(outer)) == (RuntimeError, "dictionary changed size during iteration")


# --- Field values -------------------------------------------------------------


def field_bytes(items):
    """The bytes of field x in the first item of a batch of Points."""
    body = value_of(encode(items))
    assert body[:10] == b"\x60" + u32(len(items)) + b"\x70" + u32(0)
    end = body.index(u32(1) + value_bytes(items[0].y) + b"\x7f")
    return body[10:end]


@pytest.mark.parametrize(
    "value, expected",
    [
        ([1.5, 2, True], b"\x60" + u32(3) + f64(1.5) + b"\x32\x21"),
        ([1.5, 2**60], b"\x60" + u32(2) + f64(1.5) + i64(2**60)),
        ([1.5, None, "a"], b"\x60" + u32(3) + f64(1.5) + b"\x10" + string("a")),
        ([2, 1.5], b"\x60" + u32(2) + b"\x32" + f64(1.5)),
        ([1.5, 2**70], b"\x60" + u32(2) + f64(1.5) + string(str(2**70))),
        ([1.5, [2.5, 3]], b"\x60" + u32(2) + f64(1.5) + b"\x60" + u32(2) + f64(2.5) + b"\x33"),
        ([], b"\x60" + u32(0)),
        (2**70, string(str(2**70))),
        (-(2**63), i64(-(2**63))),
        (Level.HIGH, i64(300)),
        (Mode.FAST, string("fast")),
        (Color.GREEN, b"\x60" + u32(2) + f64(1.5) + b"\x32"),
        ((1.5, 2), b"\x60" + u32(2) + f64(1.5) + b"\x32"),
        (datetime.datetime(2024, 5, 1, 12, 30, tzinfo=tz(hours=2)), text(0xD1, "2024-05-01T12:30:00+02:00")),
        (datetime.date(2024, 5, 1), text(0xD2, "2024-05-01")),
        (datetime.time(12, 30, 0, 250000), text(0xD3, "12:30:00.250000")),
        (uuid.UUID("12345678-1234-5678-1234-567812345678"), text(0xD4, "12345678123456781234567812345678")),
        (decimal.Decimal("1.10"), text(0xD5, "1.10")),
        (Color.RED, string("red")),
    ],
    ids=repr,
)
@pytest.mark.parametrize("path", ["fast", "ultra-fast"])
def test_field_values_are_written_as_the_general_walk_writes_them(value, expected, path):
    # A date in the other field makes the batch choose the ultra-fast path.
    other = datetime.date(2024, 1, 2) if path == "ultra-fast" else None
    items = [Point(x=value, y=other) for _ in range(9)]
    assert encode(items) == general_walk_document(items)
    assert field_bytes(items) == expected


def zone(offset):
    """A tzinfo whose utcoffset(dt) is offset(dt)."""
    return type("Zone", (datetime.tzinfo,), {"utcoffset": lambda self, dt: offset(dt)})()


def hourly(dt):
    """An offset that changes with the hour, so no offset text may be reused."""
    return datetime.timedelta(minutes=dt.hour if dt is not None else 7)


class OddDelta(datetime.timedelta):
    @property
    def days(self):
        return 99


def uuid_with_int(number):
    value = uuid.UUID(int=0)
    object.__setattr__(value, "int", number)
    return value


Sign = enum.Enum("Sign", {"PLUS": "+", "MINUS": -1, "NESTED": (1.5, None)})
Perm = enum.Flag("Perm", {"R": 4, "W": 2})
When = enum.Enum("When", {"EPOCH": datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc),
                          "LIST": [datetime.date(2024, 1, 2), 1.5]})


class Shade(enum.Enum):
    LIGHT = 1

    @property
    def value(self):
        return "overridden"


class Named(enum.Enum):
    value = 5
    name = 6


DT = datetime.datetime
STANDARD_VALUES = [
    DT(1, 1, 1), DT(999, 5, 6, 7, 8, 9, 5), DT(9999, 12, 31, 23, 59, 59, 999999, tzinfo=datetime.timezone.utc),
    DT(2024, 10, 27, 1, 30, fold=1), DT(2024, 5, 1, 12, tzinfo=tz(hours=-5, minutes=-30)),
    DT(2024, 5, 1, 12, tzinfo=tz(seconds=1)), DT(2024, 5, 1, 12, tzinfo=tz(microseconds=-1)),
    DT(2024, 5, 1, 12, tzinfo=tz(hours=23, minutes=59, seconds=59, microseconds=999999)),
    DT(2024, 5, 1, 3, tzinfo=zone(hourly)), DT(2024, 5, 1, 4, tzinfo=zone(hourly)),
    DT(2024, 5, 1, tzinfo=zone(lambda dt: None)), DT(2024, 5, 1, tzinfo=zone(lambda dt: OddDelta(hours=1))),
    datetime.date(1, 1, 1), datetime.date(999, 12, 31),
    datetime.time(0, 0), datetime.time(23, 59, 59, 1, tzinfo=tz(hours=-1)),
    datetime.time(1, 2, 3, fold=1, tzinfo=zone(hourly)),
    uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID("12345678-1234-5678-1234-567812345678"),
    uuid_with_int(-5), uuid_with_int(2**130),
    Color.RED, Color.GREEN, Shade.LIGHT, Named.value, Perm.R | Perm.W, When.EPOCH, When.LIST, Sign.NESTED,
]


@pytest.mark.parametrize("value", STANDARD_VALUES, ids=repr)
def test_standard_values_match_their_own_text(value):
    assert_same_as_general_walk([Point(x=value, y=datetime.date(2024, 1, 2)) for _ in range(9)])
    assert_same_as_general_walk([Point(x=[value, value], y=datetime.date(2024, 1, 2)) for _ in range(9)])


def test_one_field_holding_many_types():
    values = STANDARD_VALUES + [1, "s", None, {"k": datetime.date(2024, 1, 2)}, (1.5,)]
    items = [Point(x=values[i % len(values)], y=values[(i * 7) % len(values)]) for i in range(3 * len(values))]
    assert_same_as_general_walk(items)


class LaterDatetime(datetime.datetime):
    pass


class LaterDate(datetime.date):
    pass


class LaterTime(datetime.time):
    pass


def by_fold(dt):
    """An offset that tells fold=1 from fold=0, as zones do around a clock change."""
    return datetime.timedelta(hours=-4 if dt is not None and dt.fold else -5)


# Objects of one field are read one by one: naive and aware values of a type
# alternate, and subclasses (of other sizes) sit between them.
FIELD_SEQUENCES = {
    "datetimes": [
        DT(2024, 5, 1, 12, 30, 5), DT(2024, 5, 1, 12, 30, 5, 7, tzinfo=tz(hours=-3)), DT(1, 1, 1, fold=1),
        DT(9999, 12, 31, 23, 59, 59, 999999, tzinfo=tz(hours=14)), DT(2024, 11, 3, 1, 30, tzinfo=zone(by_fold)),
        DT(2024, 11, 3, 1, 30, fold=1, tzinfo=zone(by_fold)), LaterDatetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=tz(hours=1)),
        LaterDatetime(2024, 1, 2), DT(2000, 2, 29, microsecond=10), DT(2000, 2, 29, tzinfo=datetime.timezone.utc),
    ],
    "dates": [datetime.date(1, 1, 1), LaterDate(2024, 2, 29), datetime.date(9999, 12, 31), datetime.date(2024, 5, 1)],
    "times": [
        datetime.time(0, 0), datetime.time(23, 59, 59, 999999, tzinfo=tz(hours=-11, minutes=-15)),
        datetime.time(1, 30, fold=1), datetime.time(1, 30, fold=1, tzinfo=zone(by_fold)),
        LaterTime(4, 5, 6, 7, tzinfo=tz(hours=2)), LaterTime(4, 5), datetime.time(12, 0, 0, 1),
    ],
}


@pytest.mark.parametrize("values", FIELD_SEQUENCES.values(), ids=FIELD_SEQUENCES.keys())
def test_standard_values_read_one_by_one_match_the_general_walk(values):
    items = [Point(x=values[i % len(values)], y=values[(i * 3) % len(values)]) for i in range(3 * len(values))]
    assert_same_as_general_walk(items)
    assert_same_as_general_walk([Point(x=list(values), y=values[-1]) for _ in range(9)])


class GrowingZone(datetime.tzinfo):
    def __init__(self, owner):
        self.owner = owner

    def utcoffset(self, dt):
        grow(self.owner)
        return datetime.timedelta(0)


class GrowingDecimal(decimal.Decimal):
    def __str__(self):
        grow(self.owner)
        return "1"


GrowingDecimal.__qualname__ = "Decimal"


def grow(item):
    item.__dict__[f"added{len(item.__dict__)}"] = 1


def growing_datetime(owner):
    return datetime.datetime(2024, 1, 1, tzinfo=GrowingZone(owner))


def growing_decimal(owner):
    value = GrowingDecimal(1)
    value.owner = owner
    return value


def items_growing_by(make_value):
    items = [Point(x=None, y=1) for _ in range(9)]
    for item in items:
        item.x = make_value(item)
    return items


@pytest.mark.parametrize("make_value", [growing_datetime, growing_decimal], ids=["utcoffset()", "str()"])
def test_values_that_add_fields_to_their_own_item_fail_like_the_general_walk(make_value):
    batch = outcome(lambda: encode(items_growing_by(make_value)))
    walk = outcome(lambda: encode(tuple(items_growing_by(make_value))))
    assert batch == walk == (RuntimeError, "dictionary changed size during iteration")


@pytest.mark.parametrize(
    "items, error",
    [([Plain(isoformat=f"iso{i}") for i in range(9)], (TypeError, "'str' object is not callable")),
     ([Point(x=datetime.datetime(2024, 1, 1, tzinfo=zone(raiser(ValueError("no offset")))), y=None) for _ in range(9)],
      (ValueError, "no offset"))],
    ids=["isoformat field", "failing utcoffset()"],
)
def test_failures_match_the_general_walk(items, error):
    assert root_list_outcome(items) == general_walk_outcome(items) == error


class RaisingIsoformat(datetime.date):
    def isoformat(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "value",
    [named("datetime", isoformat=lambda self: "not really")(),
     named("UUID", hex="feed", isoformat=lambda self: "iso first")(),
     named("Decimal", __str__=lambda self: "dec")(), named("LooksLikeEnum", value="v", name="n")(),
     RaisingIsoformat(2024, 1, 1), bytearray(b"ab"), np.arange(3.0), {"k": [1.5, 2]}, {1.5, 2}],
    ids=lambda v: type(v).__name__,
)
def test_objects_named_like_special_types_match_the_general_walk(value):
    # The date in y selects the ultra-fast path, which decides by type.
    assert_same_as_general_walk([Point(x=value, y=datetime.date(2024, 1, 2)) for _ in range(9)])
    assert_same_as_general_walk([Point(x=value, y=1) for _ in range(9)])


# A field value sits at depth 3: below the root list and the item's dict.
@pytest.mark.parametrize("innermost", [1, 1.5, Color.RED, datetime.date(2024, 1, 2)], ids=repr)
@pytest.mark.parametrize("other", [None, datetime.date(2024, 1, 2)], ids=["fast", "ultra-fast"])
def test_depth_limit_inside_a_batch(innermost, other):
    for levels in (124, 125, 126):
        items = [Point(x=nest(levels, innermost), y=other) for _ in range(9)]
        assert root_list_outcome(items) == general_walk_outcome(items)
    assert root_list_outcome(items) == (RecursionError, "Maximum recursion depth exceeded")
    assert isinstance(root_list_outcome([Point(x=nest(124, innermost), y=other) for _ in range(9)]), bytes)


def test_values_with_side_effects_are_written_once_per_item_when_the_batch_succeeds():
    calls = []

    class Counted(decimal.Decimal):
        def __str__(self):
            calls.append(1)
            return "1"

    Counted.__qualname__ = "Decimal"
    encode([Point(x=Counted(1), y=datetime.date(2024, 1, 2)) for _ in range(9)])
    assert len(calls) == 9


# --- The property ----------------------------------------------------------------


FIELD_NAMES = ["a", "b", "name", "value", "hex", "when", "ü"]
CLASS_NAMES = ["Model", "UUID", "Decimal", "Series", "date"]

zones = st.none() | st.builds(
    datetime.timezone,
    st.timedeltas(min_value=-datetime.timedelta(hours=23, minutes=59), max_value=datetime.timedelta(hours=23)),
)
leaf_values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(),
    st.text(max_size=5),
    st.datetimes(timezones=zones),
    st.dates(),
    st.times(timezones=zones),
    st.uuids(),
    st.decimals(places=2, allow_nan=False),
    st.sampled_from(list(Sign) + list(Level) + list(Mode) + list(Color)),
)
field_values = st.recursive(
    leaf_values,
    lambda inner: st.lists(inner, max_size=4)
    | st.lists(st.floats() | st.integers(-5, 2**64) | st.booleans() | st.none(), min_size=1, max_size=4).map(
        lambda xs: [1.5, *xs]
    )
    | st.dictionaries(st.sampled_from(["k", "a", "name"]), inner, max_size=2)
    | st.tuples(inner),
    max_leaves=6,
)


def make_class(kind, class_name, fields):
    if kind == "dataclass":
        return dataclasses.make_dataclass(class_name, [(f, object) for f in fields])
    if kind == "pydantic":
        return pydantic.create_model(class_name, **{f: (object, ...) for f in fields})
    return type(class_name, (Plain,), {})


def mutate(items, mutation, index):
    item = items[index]
    if isinstance(item, dict):
        return
    if mutation == "drop" and item.__dict__:
        item.__dict__.pop(next(iter(item.__dict__)))
    elif mutation == "extra":
        item.__dict__["extra"] = index
    elif mutation == "reorder":
        object.__setattr__(item, "__dict__", dict(reversed(list(item.__dict__.items()))))
    elif mutation == "other class":
        items[index] = Plain(**item.__dict__)
    elif mutation == "dict":
        items[index] = dict(item.__dict__)


@st.composite
def model_lists(draw):
    kind = draw(st.sampled_from(["dataclass", "pydantic", "plain"]))
    fields = draw(st.lists(st.sampled_from(FIELD_NAMES), min_size=1, max_size=4, unique=True))
    cls = make_class(kind, draw(st.sampled_from(CLASS_NAMES)), fields)
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
def test_root_lists_of_models_always_match_the_general_walk(items):
    assert_same_as_general_walk(items)


# --- Float64 arrays --------------------------------------------------------------


@pytest.mark.parametrize(
    "array, expected",
    [
        (np.arange(6.0).reshape(2, 3), float_array(0, 1, 2, 3, 4, 5)),
        (np.asfortranarray(np.arange(6.0).reshape(2, 3)), float_array(0, 3, 1, 4, 2, 5)),
        (np.arange(6.0).reshape(2, 3).T, float_array(0, 1, 2, 3, 4, 5)),
        (np.array(2.5), float_array(2.5)),
        (np.zeros((0, 3)), float_array()),
        (np.array([np.nan, -0.0, np.inf]), float_array(np.nan, -0.0, np.inf)),
        (np.arange(6.0)[::2].copy(), float_array(0, 2, 4)),
        (np.arange(4.0).reshape(2, 2)[:1], float_array(0, 1)),
        (np.arange(3.0).astype("<f8"), float_array(0, 1, 2)),
        (np.ma.masked_array([1.0, 2.0]), float_array(1, 2)),
    ],
    ids=["c-order", "f-order", "transpose", "0-d", "empty", "nan-zero-inf", "copy", "row", "explicit-le", "subclass"],
)
def test_float64_arrays(array, expected):
    assert value_of(encode(array)) == expected
    assert value_of(encode([array])) == b"\x60" + u32(1) + expected


@pytest.mark.parametrize(
    "array", [np.arange(6.0)[::2], np.arange(12.0).reshape(3, 4)[:, 1:3], np.arange(3.0)[::-1]],
    ids=["step", "columns", "reversed"],
)
def test_non_contiguous_array_is_refused(array):
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        encode({"a": array})


@pytest.mark.parametrize(
    "array",
    [np.arange(3, dtype=np.float32), np.arange(3, dtype=np.int64), np.arange(3.0).astype(">f8"),
     np.array([1 + 2j]), np.array(["a"]), np.array([None])],
    ids=["float32", "int64", "big-endian", "complex", "str", "object"],
)
def test_other_arrays_are_written_as_their_tolist(array):
    assert value_of(encode(array)) == value_of(encode(array.tolist()))


def test_arrays_in_a_model_batch():
    items = [Point(x=np.arange(2.0) + i, y=np.arange(2)) for i in range(9)]
    assert encode(items) == general_walk_document(items)
    assert value_of(encode(items))[10:].startswith(float_array(0, 1) + u32(1) + lst(b"\x30", b"\x31"))


def test_numpy_is_never_imported_and_not_needed():
    result = run_python(
        """
        import sys, decimal, datetime
        import quarl
        codec = quarl.Quarl()
        codec.encode_packed([object(), decimal.Decimal(1), datetime.date(2024, 1, 1), bytearray(b"x")], False)
        print("numpy" in sys.modules)
        sys.modules["numpy"] = None

        class Thing:
            def __init__(self):
                self.a = 1

        for obj in [Thing(), [Thing()] * 9, decimal.Decimal(2), object.__new__(type("T", (), {"__slots__": ()}))]:
            quarl.Quarl().encode_packed(obj, False)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False\nok\n"


# --- Table-like objects -----------------------------------------------------------

RECORDS = [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]


TABLE_DATA = {"a": [1, 2], "b": ["x", "y"]}
TABLE_CASES = [
    ("pandas.DataFrame", lambda pd: pd.DataFrame(TABLE_DATA), RECORDS),
    ("pandas.Series", lambda pd: pd.Series([1.5, 2.5]), [1.5, 2.5]),
    ("pandas.Index", lambda pd: pd.Index(["x", "y"]), ["x", "y"]),
    ("polars.DataFrame", lambda pl: pl.DataFrame(TABLE_DATA), RECORDS),
    ("polars.LazyFrame", lambda pl: pl.LazyFrame(TABLE_DATA), RECORDS),
    ("polars.Series", lambda pl: pl.Series("a", [1, None, 3]), [1, None, 3]),
    ("pyarrow.Table", lambda pa: pa.table(TABLE_DATA), RECORDS),
    ("pyarrow.RecordBatch", lambda pa: pa.RecordBatch.from_pydict(TABLE_DATA), RECORDS),
]


@pytest.mark.parametrize("name, make, expected", TABLE_CASES, ids=[c[0] for c in TABLE_CASES])
def test_tables_are_written_as_their_plain_data(name, make, expected):
    module = installed(name.split(".")[0])
    assert encode(make(module)) == encode(expected)
    assert encode({"t": make(module)}) == encode({"t": expected})


def fake_table(type_name, **members):
    return named(type_name, **members)()


def with_fields(obj, **fields):
    obj.__dict__.update(fields)
    return obj


SLOTTED_FRAME = fake_table("DataFrame", __slots__=())


@pytest.mark.parametrize(
    "obj, expected",
    [
        (fake_table("DataFrame", to_dicts=lambda self: [1], to_dict=lambda self, kind: [2]), [1]),
        (fake_table("DataFrame", to_dict=lambda self, kind: [kind]), ["records"]),
        (fake_table("LazyFrame", collect=lambda self: fake_table("X", to_dicts=lambda s: [3])), [3]),
        (fake_table("Series", to_list=lambda self: (4,)), [4]),
        (fake_table("Index", to_list=lambda self: [5]), [5]),
        (fake_table("Table", to_pylist=lambda self: [6]), [6]),
        (fake_table("RecordBatch", to_pylist=lambda self: [7]), [7]),
        (fake_table("Series", to_dicts=lambda self: [8], to_pylist=lambda self: [8]), {}),
        (fake_table("Tables", to_pylist=lambda self: [9]), {}),
        # named like a table, without its methods: attributes, else str()
        (with_fields(fake_table("DataFrame"), rows=2), {"rows": 2}),
        (with_fields(fake_table("LazyFrame", collect=lambda self: object()), plan="scan"), {"plan": "scan"}),
        (SLOTTED_FRAME, str(SLOTTED_FRAME)),
    ],
    ids=["to_dicts-first", "to_dict-records", "lazy", "series", "index", "table", "batch", "series-other",
         "other-name", "frame-without-methods", "lazy-collect-to-object", "slotted-frame"],
)
def test_table_methods_by_type_name(obj, expected):
    assert encode(obj) == encode(expected)


def test_table_conversion_errors_end_the_encode():
    with pytest.raises(ValueError, match="^boom$"):
        encode(fake_table("Series", to_list=raiser(ValueError("boom"))))
    with pytest.raises(RuntimeError, match="^no test$"):
        encode(fake_table("Table", to_pylist=property(raiser(RuntimeError("no test")))))


def test_converted_data_takes_the_depth_of_the_table():
    series = fake_table("Series", to_list=lambda self: [])
    assert encode(nest(127, series)) == encode(nest(127, []))
    with pytest.raises(RecursionError, match="^Maximum recursion depth exceeded$"):
        encode(nest(128, series))
    endless = named("Series")
    endless.to_list = lambda self: endless()
    with pytest.raises(RecursionError, match="^Maximum recursion depth exceeded$"):
        encode(endless())


def test_list_of_tables_is_not_taken_for_models():
    pd = installed("pandas")

    frames = [pd.DataFrame({"a": [i]}) for i in range(9)]
    assert encode(frames) == encode([[{"a": i}] for i in range(9)])
