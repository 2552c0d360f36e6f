"""Encoding a list of model objects: the batch path against the general walk and the peers.

Usage: python bench/bench_models.py [--items 10000] [--repeat 15]

Each row is the best time of --repeat rounds (the encoders take turns) for one list of --items objects
with ten fields (str, int, float, bool, None, datetime, UUID, Decimal, a list
of floats, an enum). The general walk is measured on the same objects handed
over as a root tuple, which is written exactly like the list but never tries
the batch. Peers get the representation each one needs: orjson takes
dataclasses directly (Decimal through `default`) and Pydantic models through
`model_dump()`; msgspec takes dataclasses directly and Pydantic models
through an `enc_hook` that calls `model_dump()`.
"""

import argparse
import dataclasses
import datetime
import decimal
import enum
import sys
import timeit
import uuid

import pydantic

from quarl import Quarl
from quarl import _quarl


class Status(enum.Enum):
    ACTIVE = "active"
    IDLE = "idle"


@dataclasses.dataclass
class Reading:
    name: str
    count: int
    ratio: float
    enabled: bool
    note: None
    taken_at: datetime.datetime
    id: uuid.UUID
    price: decimal.Decimal
    samples: list
    status: Status


class ReadingModel(pydantic.BaseModel):
    name: str
    count: int
    ratio: float
    enabled: bool
    note: None
    taken_at: datetime.datetime
    id: uuid.UUID
    price: decimal.Decimal
    samples: list[float]
    status: Status


def fields(i):
    return dict(
        name=f"sensor-{i}",
        count=i,
        ratio=i / 7,
        enabled=i % 2 == 0,
        note=None,
        taken_at=datetime.datetime(2024, 5, 1, 12, 30, i % 60, tzinfo=datetime.timezone.utc),
        # Name-based UUIDs, which look random as most UUIDs in use do (all 128 bits set at random).
        id=uuid.uuid5(uuid.NAMESPACE_OID, str(i)),
        price=decimal.Decimal(i) / 100,
        samples=[i * 0.5, i * 0.25, i * 0.125, 1.0],
        status=Status.ACTIVE if i % 3 else Status.IDLE,
    )


def quarl_cases(items):
    codec = Quarl()
    as_tuple = tuple(items)
    batch = codec.encode_packed(items, False)
    walk = codec.encode_packed(as_tuple, False)
    # Same keys in the same order: the two documents must be identical.
    assert batch == walk, "the batch path wrote another document than the general walk"
    return {
        "quarl batch (root list)": lambda: codec.encode_packed(items, False),
        "quarl general walk (root tuple)": lambda: codec.encode_packed(as_tuple, False),
    }


def peer_cases(items, pydantic_models):
    cases = {}
    try:
        import orjson
    except ImportError:
        print("orjson not installed: skipped", file=sys.stderr)
    else:
        if pydantic_models:
            cases["orjson.dumps(model_dump())"] = lambda: orjson.dumps(
                [m.model_dump() for m in items], default=str
            )
        else:
            cases["orjson.dumps"] = lambda: orjson.dumps(items, default=str)
    try:
        import msgspec
    except ImportError:
        print("msgspec not installed: skipped", file=sys.stderr)
    else:
        hook = (lambda m: m.model_dump()) if pydantic_models else None
        msgpack = msgspec.msgpack.Encoder(enc_hook=hook)
        json = msgspec.json.Encoder(enc_hook=hook)
        cases["msgspec.msgpack"] = lambda: msgpack.encode(items)
        cases["msgspec.json"] = lambda: json.encode(items)
    return cases


def best_seconds(cases, repeat):
    """Best time per case; the cases take turns, so a busy moment of the
    machine does not fall on one case only."""
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(repeat):
        for name, function in cases.items():
            best[name] = min(best[name], timeit.timeit(function, number=1))
    return best


def run(title, items, pydantic_models, repeat):
    cases = quarl_cases(items) | peer_cases(items, pydantic_models)
    times = best_seconds(cases, repeat)
    batch = times["quarl batch (root list)"]
    print(f"\n{title}: {len(items)} objects, best of {repeat}")
    print(f"{'encoder':34} {'ms':>8} {'batch speed-up':>15}")
    for name, seconds in times.items():
        print(f"{name:34} {seconds * 1e3:8.2f} {seconds / batch:14.2f}x")
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    print(f"quarl memory paths: {_quarl._memory_paths()}")
    dataclass_items = [Reading(**fields(i)) for i in range(args.items)]
    model_items = [ReadingModel(**fields(i)) for i in range(args.items)]
    run("dataclasses", dataclass_items, False, args.repeat)
    run("Pydantic models", model_items, True, args.repeat)


if __name__ == "__main__":
    main()
