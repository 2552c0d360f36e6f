"""The worked examples of docs/format.md, run against the codec byte for byte."""

import dataclasses
import datetime
import decimal
import re
import uuid
from pathlib import Path

import pytest

from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

from builders import value_of
from conftest import installed

numpy = installed("numpy")

FORMAT_DOC = Path(__file__).resolve().parent.parent / "docs" / "format.md"
BLOCK = re.compile(r"^```quarl-example\n(.*?)^```$", re.M | re.S)
HEX_LINE = re.compile(r"^[0-9A-Fa-f]{2}( [0-9A-Fa-f]{2})*( \.\.\.)?$")
ERROR_LINE = re.compile(r"^(\w+(?:Error|Exception)): (.*)$")


@dataclasses.dataclass
class Step:
    code: str
    expected_hex: str = ""
    prefix_only: bool = False
    error: tuple[str, str] | None = None


def parse_block(text: str, line: int) -> list[Step]:
    """The steps of one example: a `>>>` line of code, then the hex lines of its bytes or its error."""
    steps: list[Step] = []
    for offset, raw in enumerate(text.splitlines()):
        where = f"format.md line {line + offset}"
        if raw.startswith(">>> "):
            steps.append(Step(raw[4:]))
            continue
        assert steps, f"{where}: output before any code"
        step = steps[-1]
        assert not step.prefix_only and step.error is None, f"{where}: output after '...' or an error"
        if error := ERROR_LINE.match(raw):
            assert not step.expected_hex, where
            step.error = (error[1], error[2])
            continue
        shown = raw.split("#", 1)[0].strip()
        assert HEX_LINE.match(shown), f"{where}: not a hex line: {raw!r}"
        step.prefix_only = shown.endswith("...")
        step.expected_hex = f"{step.expected_hex} {shown.removesuffix('...')}".strip()
    return steps


TEXT = FORMAT_DOC.read_text(encoding="utf-8")
BLOCKS = [(TEXT.count("\n", 0, m.start()) + 2, m[1]) for m in BLOCK.finditer(TEXT)]
EXAMPLES = {f"line{line}": parse_block(block, line) for line, block in BLOCKS}


def value(obj) -> bytes:
    """The value section of a fresh codec's document for obj, as the examples use it."""
    return value_of(Quarl().encode_packed(obj, False))


@pytest.mark.parametrize("steps", EXAMPLES.values(), ids=EXAMPLES.keys())
def test_worked_example(steps):
    names = dict(Quarl=Quarl, QuarlStreamDecoder=QuarlStreamDecoder, QuarlStreamEncoder=QuarlStreamEncoder,
                 value=value, datetime=datetime, decimal=decimal, uuid=uuid, numpy=numpy)
    for step in steps:
        if step.error is not None:
            with pytest.raises(Exception) as raised:
                eval(step.code, names)
            assert (raised.type.__name__, str(raised.value)) == step.error, step.code
        elif not step.expected_hex:
            exec(step.code, names)
        else:
            result, expected = eval(step.code, names), bytes.fromhex(step.expected_hex)
            shown = result[: len(expected)] if step.prefix_only else result
            assert isinstance(result, bytes) and shown.hex(" ") == expected.hex(" "), step.code


def test_the_reference_shows_each_layer():
    # One worked example at least for values, documents, both envelopes, streams and errors.
    codes = "\n".join(step.code for steps in EXAMPLES.values() for step in steps)
    for needle in ["value(", "encode_packed(None", '"x" * 246, True', '"x" * 999_989, True',
                   "get_handshake()", "decode_packed(bytes.fromhex", "feed("]:
        assert needle in codes
    assert all(EXAMPLES.values())
