"""Ordinary inputs come back as what went in, or the encode fails: NumPy values, pandas
objects, slotted dataclasses, dict keys that would merge, secrets, ordered dicts and the depth of values
written in place of others. Each case is checked alone, in a model batch and in the general walk."""

import collections
import dataclasses
import datetime
import enum

import numpy as np
import pandas as pd
import pydantic
import pytest

from builders import nest
from quarl import Quarl


def roundtrip(obj):
    codec = Quarl()
    return codec.decode_packed(codec.encode_packed(obj, False))


class Holder:
    def __init__(self, value):
        self.value = value


def assert_batch_and_walk(value, expected):
    """`value` alone, as a field of each object of a batch, and of the same objects one by one."""
    assert roundtrip(value) == expected
    items = [Holder(value) for _ in range(10)]
    batch = Quarl().encode_packed(items, False)
    walk = Quarl().encode_packed(tuple(items), False)
    assert batch == walk
    assert Quarl().decode_packed(batch) == [{"value": expected}] * 10


# --- 2. NumPy ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "array",
    [np.arange(2000), np.arange(5, dtype=np.int32), np.arange(3.0, dtype=np.float32), np.arange(3.0).astype(">f8"),
     np.array([[1, 2], [3, 4]], dtype=np.uint8), np.array([True, False]), np.array(["a", "bc"]),
     np.array([(1, 2.5)], dtype=[("a", "i4"), ("b", "f8")]), np.array([1, None], dtype=object)],
    ids=["arange 2000", "int32", "float32", "big-endian float64", "2-d uint8", "bool", "str", "record", "object"],
)
def test_numpy_arrays_other_than_float64_are_their_tolist(array):
    expected = roundtrip(array.tolist())
    assert_batch_and_walk(array, expected)
    if array.dtype == np.int64:
        assert roundtrip(array) == list(range(2000))


def test_float64_arrays_are_still_one_block():
    assert_batch_and_walk(np.arange(3.0), [0.0, 1.0, 2.0])


@pytest.mark.parametrize(
    "scalar, expected",
    [(np.int64(3), 3), (np.int8(-2), -2), (np.uint64(2**63 + 1), str(2**63 + 1)), (np.float32(1.5), 1.5),
     (np.float64(2.5), 2.5), (np.bool_(True), True), (np.str_("x"), "x")],
    ids=["int64", "int8", "uint64 beyond int64", "float32", "float64", "bool", "str"],
)
def test_numpy_scalars_are_their_item(scalar, expected):
    assert_batch_and_walk(scalar, expected)


def test_numpy_is_still_never_imported(tmp_path):
    from conftest import run_python

    proc = run_python("""
        import sys, quarl
        codec = quarl.Quarl()
        codec.encode_packed([object(), 1, {"a": [2.5]}], False)
        print("numpy" in sys.modules, "pandas" in sys.modules)
        import numpy as np  # imported after the codec's first encode, and still recognised
        print(codec.decode_packed(codec.encode_packed([np.int64(3), np.arange(2)], False)))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["False False", "[3, [0, 1]]"]


# --- 3. pandas --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "index, expected",
    [(pd.RangeIndex(3), [0, 1, 2]), (pd.Index(["a", "b"]), ["a", "b"]), (pd.Index([1.5, 2.5]), [1.5, 2.5]),
     (pd.DataFrame({"a": [1, 2]}).index, [0, 1]),
     (pd.DatetimeIndex(["2024-01-02"]), [datetime.datetime(2024, 1, 2)]),
     (pd.Categorical(["x", "y", "x"]), ["x", "y", "x"])],
    ids=["RangeIndex", "object Index", "float Index", "df.index", "DatetimeIndex", "Categorical"],
)
def test_pandas_indexes_and_categoricals_are_lists(index, expected):
    assert_batch_and_walk(index, expected)


def test_datetime_subclasses_are_their_base_type():
    stamp = pd.Timestamp("2024-05-01 12:30:00.123456")
    assert_batch_and_walk(stamp, datetime.datetime(2024, 5, 1, 12, 30, 0, 123456))
    aware = pd.Timestamp("2024-05-01 12:30", tz="UTC")
    assert roundtrip(aware) == datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone.utc)

    class Day(datetime.date):
        pass

    class Clock(datetime.time):
        pass

    assert_batch_and_walk(Day(2024, 1, 2), datetime.date(2024, 1, 2))
    assert_batch_and_walk(Clock(1, 2, 3), datetime.time(1, 2, 3))
    # Same tag and text as the base type gives.
    assert Quarl().encode_packed(Day(2024, 1, 2), False) == Quarl().encode_packed(datetime.date(2024, 1, 2), False)


@pytest.mark.parametrize("missing", [pd.NA, pd.NaT], ids=["NA", "NaT"])
def test_pandas_missing_values_are_none(missing):
    assert_batch_and_walk(missing, None)
    assert roundtrip({"a": missing, "b": [missing, 1]}) == {"a": None, "b": [None, 1]}


# --- 4. Slotted dataclasses -------------------------------------------------------------------


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int
    name: str = "n"
    when: datetime.date = datetime.date(2024, 1, 1)


@dataclasses.dataclass(slots=True, frozen=True)
class FrozenSlotted:
    a: list


def test_slotted_dataclasses_are_the_dict_of_their_fields():
    expected = {"x": 1, "name": "n", "when": datetime.date(2024, 1, 1)}
    assert_batch_and_walk(Slotted(1), expected)
    assert_batch_and_walk(FrozenSlotted([1, 2]), {"a": [1, 2]})
    assert roundtrip([Slotted(i) for i in range(12)]) == [dict(expected, x=i) for i in range(12)]


# --- 5. Keys that become the same text --------------------------------------------------------


@pytest.mark.parametrize(
    "mapping, text",
    [({1: "a", "1": "b"}, "1"), ({"1": "b", 1: "a"}, "1"), ({None: 1, "None": 2}, "None"),
     ({"x": 0, True: 0, "True": 1}, "True"), ({(1, 2): 0, "(1, 2)": 0}, "(1, 2)"),
     (collections.OrderedDict([(2, 0), ("2", 0)]), "2")],
    ids=["int then str", "str then int", "None", "int and bool", "tuple", "ordered"],
)
def test_keys_with_the_same_text_fail_naming_it(mapping, text):
    with pytest.raises(ValueError, match=f"key text {text!r}".replace("(", r"\(").replace(")", r"\)")):
        Quarl().encode_packed(mapping, False)
    with pytest.raises(ValueError, match="key text"):
        Quarl().encode_packed([Holder(mapping) for _ in range(10)], False)


def test_keys_with_distinct_texts_still_encode():
    assert roundtrip({1: "a", "2": "b", None: 0, 2.5: 1}) == {"1": "a", "2": "b", "None": 0, "2.5": 1}


# --- 6. Secrets -------------------------------------------------------------------------------


class Account(pydantic.BaseModel):
    user: str
    password: pydantic.SecretStr
    key: pydantic.SecretBytes


def test_pydantic_secrets_are_written_as_their_library_shows_them():
    account = Account(user="ada", password="hunter2", key=b"k3y")
    expected = {"user": "ada", "password": "**********", "key": "b'**********'"}
    assert roundtrip(account) == expected
    assert roundtrip([account] * 10) == [expected] * 10
    document = Quarl().encode_packed([account] * 10, False)
    assert b"hunter2" not in document and b"k3y" not in document
    assert_batch_and_walk(pydantic.SecretStr("s"), "**********")


class Open(pydantic.BaseModel, extra="allow"):
    n: int


def test_a_pydantic_extra_field_is_seen_on_each_object():
    # An extra field named isoformat makes the general walk call it, in a batch as alone.
    items = [Open(n=i) if i != 6 else Open(n=i, isoformat=lambda: "from extra") for i in range(10)]
    batch, walk = (Quarl().encode_packed(value, False) for value in (items, tuple(items)))
    assert batch == walk
    assert Quarl().decode_packed(batch)[6] == "from extra"


# --- 7. Ordered dicts -------------------------------------------------------------------------


def test_ordered_dict_keeps_its_iteration_order():
    ordered = collections.OrderedDict(a=1, b=2, c=3)
    ordered.move_to_end("a")
    assert list(roundtrip(ordered)) == ["b", "c", "a"]
    assert_batch_and_walk(ordered, {"b": 2, "c": 3, "a": 1})
    assert [list(item["value"]) for item in roundtrip([Holder(ordered) for _ in range(10)])] == [["b", "c", "a"]] * 10


def test_ordered_dict_mutated_while_written_fails():
    class Grows:
        __slots__ = ()

        def __str__(self):
            ordered["late"] = 1
            return "x"

    ordered = collections.OrderedDict(a=Grows(), b=1)
    with pytest.raises(RuntimeError):
        Quarl().encode_packed(ordered, False)


# --- Depth of values written in place of others -----------------------------------------------


class Color(enum.Enum):
    RED = "red"


class Chain(enum.Enum):
    OUTER = Color.RED


def test_enum_member_takes_its_own_depth():
    assert roundtrip(nest(127, Color.RED)) == nest(127, "red")
    with pytest.raises(RecursionError, match="^Maximum recursion depth exceeded$"):
        Quarl().encode_packed(nest(128, Color.RED), False)


def test_a_chain_of_replacements_counts_each_further_step():
    assert roundtrip(nest(126, Chain.OUTER)) == nest(126, "red")
    with pytest.raises(RecursionError, match="^Maximum recursion depth exceeded$"):
        Quarl().encode_packed(nest(127, Chain.OUTER), False)

    class Loop(enum.Enum):
        ONE = 1

        @property
        def value(self):
            return Loop.ONE

    with pytest.raises(RecursionError):
        Quarl().encode_packed(Loop.ONE, False)


class Empty:
    pass


def test_object_dict_at_the_objects_own_depth():
    assert roundtrip(nest(127, Empty())) == nest(127, {})
    assert roundtrip(nest(126, Holder(1))) == nest(126, {"value": 1})
    with pytest.raises(RecursionError):
        Quarl().encode_packed(nest(128, Empty()), False)
