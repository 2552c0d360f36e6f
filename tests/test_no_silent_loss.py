"""Ordinary inputs are written as the plain data they stand for, or the encode fails: NumPy scalars, pandas
objects, subclasses of the standard types, slotted dataclasses, secrets, ordered dicts, dict keys that would
merge, and the depth of values written in place of others."""

import collections
import dataclasses
import datetime
import enum

import numpy as np
import pandas as pd
import pydantic
import pytest

from builders import exact, nest, on_str
from quarl import Quarl


def encode(obj):
    return Quarl().encode_packed(obj, False)


class Holder:
    def __init__(self, value):
        self.value = value


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int
    name: str = "n"
    when: datetime.date = datetime.date(2024, 1, 1)


@dataclasses.dataclass(slots=True, frozen=True)
class FrozenSlotted:
    a: list


class Account(pydantic.BaseModel):
    user: str
    password: pydantic.SecretStr
    key: pydantic.SecretBytes


class Open(pydantic.BaseModel, extra="allow"):
    n: int


ORDERED = collections.OrderedDict(a=1, b=2, c=2**70)
ORDERED.move_to_end("a")
UTC = datetime.timezone.utc


@pytest.mark.parametrize(
    "value, plain",
    [
        (np.int64(3), 3),
        (np.uint64(2**63 + 1), str(2**63 + 1)),
        (np.float32(1.5), 1.5),
        (np.float64(2.5), 2.5),
        (np.bool_(True), True),
        (np.str_("x"), "x"),
        (pd.RangeIndex(3), [0, 1, 2]),
        (pd.DatetimeIndex(["2024-01-02"]), [datetime.datetime(2024, 1, 2)]),
        (pd.Categorical(["x", "y", "x"]), ["x", "y", "x"]),
        ({"a": pd.NA, "b": [pd.NaT, 1]}, {"a": None, "b": [None, 1]}),
        (pd.Timestamp("2024-05-01 12:30:00.123456"), datetime.datetime(2024, 5, 1, 12, 30, 0, 123456)),
        (pd.Timestamp("2024-05-01 12:30", tz="UTC"), datetime.datetime(2024, 5, 1, 12, 30, tzinfo=UTC)),
        (type("Day", (datetime.date,), {})(2024, 1, 2), datetime.date(2024, 1, 2)),
        (type("Clock", (datetime.time,), {})(1, 2, 3), datetime.time(1, 2, 3)),
        (Slotted(1), {"x": 1, "name": "n", "when": datetime.date(2024, 1, 1)}),
        (FrozenSlotted([1, 2]), {"a": [1, 2]}),
        (Account(user="ada", password="hunter2", key=b"k3y"),
         {"user": "ada", "password": "**********", "key": "b'**********'"}),
        (pydantic.SecretStr("s"), "**********"),
        # An extra field named isoformat is seen on the one object that has it.
        ([Open(n=i, isoformat=lambda: "extra") if i == 6 else Open(n=i) for i in range(10)],
         ["extra" if i == 6 else {"n": i} for i in range(10)]),
        (ORDERED, {"b": 2, "c": 2**70, "a": 1}),
        ({1: "a", "2": "b", None: 0, 2.5: 1}, {"1": "a", "2": "b", "None": 0, "2.5": 1}),
    ],
    ids=["int64", "uint64", "float32", "float64", "bool", "str", "RangeIndex", "DatetimeIndex", "Categorical",
         "NA-NaT", "Timestamp", "aware-Timestamp", "date-subclass", "time-subclass", "slotted", "frozen-slotted",
         "secrets", "SecretStr", "pydantic-extra", "OrderedDict", "distinct-key-texts"],
)
def test_values_are_written_as_the_plain_data_they_stand_for(value, plain):
    assert encode(value) == encode(plain)


def growing_ordered():
    ordered = collections.OrderedDict()
    ordered["a"] = on_str(lambda: ordered.setdefault("late", 1))
    ordered["b"] = 1
    return ordered


@pytest.mark.parametrize(
    "value, error, message",
    [
        ({1: "a", "1": "b"}, ValueError, "two keys of one dict are both written as the key text '1'"),
        ({"1": "b", 1: "a"}, ValueError, "two keys of one dict are both written as the key text '1'"),
        ({None: 1, "None": 2}, ValueError, "two keys of one dict are both written as the key text 'None'"),
        ({"x": 0, True: 0, "True": 1}, ValueError, "two keys of one dict are both written as the key text 'True'"),
        ({(1, 2): 0, "(1, 2)": 0}, ValueError, "two keys of one dict are both written as the key text '(1, 2)'"),
        (collections.OrderedDict([(2, 0), ("2", 0)]), ValueError,
         "two keys of one dict are both written as the key text '2'"),
        (growing_ordered(), RuntimeError, "OrderedDict mutated during iteration"),
    ],
    ids=["int then str", "str then int", "None", "int and bool", "tuple", "ordered", "ordered grows"],
)
def test_dicts_that_cannot_be_written_fail(value, error, message):
    with pytest.raises(error, match=exact(message)):
        encode(value)


# --- Depth of values written in place of others -----------------------------------------------

Color = enum.Enum("Color", {"RED": "red"})
Chain = enum.Enum("Chain", {"OUTER": Color.RED})


class Loop(enum.Enum):
    ONE = 1

    @property
    def value(self):
        return Loop.ONE


class Endless:
    __qualname__ = "Series"

    def to_list(self):
        return Endless()


# The deepest nesting in lists that still encodes: a replacement keeps the depth of what it replaces, a
# replacement of a replacement goes one level deeper, and endless chains fail at any depth.
@pytest.mark.parametrize(
    "inner, plain, deepest",
    [(1, 1, 127), (1.5, 1.5, 127), (Color.RED, "red", 127), (Chain.OUTER, "red", 126),
     (type("Empty", (), {})(), {}, 127), (Holder(1), {"value": 1}, 126),
     (type("Series", (), {"to_list": lambda self: []})(), [], 127), (Endless(), None, -1), (Loop.ONE, None, -1)],
    ids=["int", "float", "enum", "enum-of-enum", "empty-object", "object", "table", "endless-table", "loop"],
)
def test_depth_limit(inner, plain, deepest):
    if deepest >= 0:
        assert encode(nest(deepest, inner)) == encode(nest(deepest, plain))
    with pytest.raises(RecursionError):
        encode(nest(deepest + 1, inner))
