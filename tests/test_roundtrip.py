"""Round trips: what goes in comes back as its plain data."""

import dataclasses
import datetime
import enum
import json
import os
import struct
import sys

import numpy as np
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import run_python
from quarl import Quarl, QuarlStreamEncoder


Shade = enum.Enum("Shade", {"DARK": "dark", "LIGHT": 2})
Item = dataclasses.make_dataclass("Item", [("name", str), ("count", int)])


def plain(value):
    """What the decoder gives back for `value`."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**63 else str(value)
    if isinstance(value, (list, tuple, set, frozenset)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, enum.Enum):
        return plain(value.value)
    if dataclasses.is_dataclass(value):
        return plain(vars(value))
    if isinstance(value, np.ndarray):
        return value.tolist()
    return value


def same(a, b) -> bool:
    """Equality that tells floats apart by their bits (NaN, -0.0)."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70), st.floats(), st.text(),
    st.binary(max_size=64), st.decimals(allow_nan=False).map(lambda d: d.normalize() if d.is_finite() else d),
    st.dates(), st.times(), st.datetimes(),
    st.datetimes(timezones=st.just(datetime.timezone(datetime.timedelta(hours=-3, minutes=-30)))),
    st.uuids(), st.sampled_from(list(Shade)), st.lists(st.floats(), max_size=4).map(np.array),
)
keys = st.one_of(st.text(max_size=20), st.integers(min_value=-5, max_value=5))
trees = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=6),
        st.tuples(children, children),
        # Keys that share their text ({"0": 1, 0: 2}) are refused by the encoder, not round-tripped.
        st.dictionaries(keys, children, max_size=6).filter(lambda d: len({str(k) for k in d}) == len(d)),
        st.frozensets(st.integers(min_value=-9, max_value=9), max_size=4),
        st.builds(Item, st.text(max_size=5), st.integers(min_value=0, max_value=99)),
    ),
    max_leaves=30,
)


def used(codec):
    """`codec` after thousands of unrelated documents, some with more keys than a table's index byte."""
    encode = codec.encode_packed if isinstance(codec, Quarl) else lambda v, _: codec.encode_frame(v)
    for i in range(3000):
        encode({f"id{i}": i, "common": [{"nested": str(i)}, Item(f"n{i}", i)] * (9 if i % 500 == 0 else 1)}, False)
    encode({f"wide{i}": i for i in range(1000)}, False)
    return codec


USED_QUARL, USED_STREAM = used(Quarl()), used(QuarlStreamEncoder())


# Trees round-trip, and a document's bytes depend only on its value, never on what the codec wrote before.
@settings(max_examples=300, deadline=None)
@given(trees, st.booleans())
# Right after the wide document: a large one, handed out as the result, with a small table.
@example({"rows": ["abc" * 40] * 600}, False)
@example(0.5, False)  # a float at the root, which the decoder reads outside any list or dict
def test_a_used_codec_writes_what_a_fresh_one_writes(value, compress):
    document = Quarl().encode_packed(value, compress)
    assert same(Quarl().decode_packed(document), plain(value))
    assert USED_QUARL.encode_packed(value, compress) == document
    assert USED_QUARL.encode_frame(value, compress=compress) == Quarl().encode_frame(value, compress=compress)
    assert USED_STREAM.encode_frame(value, compress=compress) == QuarlStreamEncoder().encode_frame(
        value, compress=compress)
    assert same(USED_QUARL.decode_packed(document), plain(value))


@settings(max_examples=40)
@given(st.lists(st.tuples(st.integers(0, 2100),
                          st.sampled_from([2, True, None, np.float64(0.5), [1.5, -0.0], 2**70]))))
def test_float_runs_end_at_the_first_other_item(runs):
    # Long runs cross the encoder's reservation blocks; whatever ends a run keeps its own type.
    value = []
    for length, other in runs:
        value += [i / 3 for i in range(length)]
        value.append(other)
    assert same(Quarl().decode_packed(Quarl().encode_packed(value, False)), plain(value))


# Values that take every shortcut reading or writing objects' memory where it is allowed (float runs, list
# items, dates, times and datetimes naive, aware and folded, decimals, a document written into its bytes object).
SHORTCUT_VALUES = """
    import dataclasses, datetime, decimal, json, quarl

    Row = dataclasses.make_dataclass("Row", ["at", "day", "clock", "score"])
    west = datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))
    rows = [Row(datetime.datetime(2024, 2, 29, 13, 7, 42, 123456 + i, tzinfo=[None, west][i % 2], fold=i % 3 == 0),
                datetime.date(1 + i, 12, 31), datetime.time(23, 59, i, 7, tzinfo=[west, None][i % 2]), i / 7)
            for i in range(40)]
    values = [[i / 3 for i in range(5000)], [1.5, "x", [2.5, -0.0], None, 1e300], rows, {"big": ["k" * 70] * 2000},
              [decimal.Decimal(i - 20).scaleb(i - 25) for i in range(40)]]
    codec = quarl.Quarl()
    documents = [codec.encode_packed(value, False) for value in values]
    print(json.dumps({"paths": quarl._quarl._memory_paths(), "documents": [d.hex() for d in documents],
                      "decoded": repr([codec.decode_packed(d) for d in documents])}))
"""


def test_safe_paths_give_the_same_documents():
    runs = {}
    for forced in ("", "1"):
        env = {k: v for k, v in os.environ.items() if k != "QUARL_SAFE_PATHS"} | {"QUARL_SAFE_PATHS": forced}
        proc = run_python(SHORTCUT_VALUES, env=env)
        assert proc.returncode == 0, proc.stderr
        runs[forced] = json.loads(proc.stdout)
    assert runs["1"]["paths"] == "safe: forced by QUARL_SAFE_PATHS"
    if sys.version_info[:2] in ((3, 11), (3, 12), (3, 13)) and not hasattr(sys, "gettotalrefcount"):
        assert runs[""]["paths"] == "direct"
    assert runs["1"]["documents"] == runs[""]["documents"]
    assert runs["1"]["decoded"] == runs[""]["decoded"]
