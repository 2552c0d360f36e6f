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
    expected_hex: str | None = None
    prefix_only: bool = False
    error: tuple[str, str] | None = None

    def expected(self) -> bytes:
        return bytes.fromhex(self.expected_hex)


@dataclasses.dataclass
class Example:
    line: int
    steps: list[Step]


def parse_block(text: str, line: int) -> Example:
    steps: list[Step] = []
    for offset, raw in enumerate(text.splitlines()):
        where = f"format.md line {line + offset}"
        if raw.startswith(">>> "):
            steps.append(Step(raw[4:]))
            continue
        assert steps, f"{where}: output before any code"
        step = steps[-1]
        error = ERROR_LINE.match(raw)
        if error:
            assert step.expected_hex is None and step.error is None, where
            step.error = (error[1], error[2])
            continue
        shown = raw.split("#", 1)[0].strip()
        assert HEX_LINE.match(shown), f"{where}: not a hex line: {raw!r}"
        assert not step.prefix_only and step.error is None, f"{where}: output after '...'"
        step.prefix_only = shown.endswith("...")
        shown = shown.removesuffix("...").strip()
        step.expected_hex = f"{step.expected_hex or ''} {shown}".strip()
    return Example(line, steps)


def load_examples() -> list[Example]:
    text = FORMAT_DOC.read_text(encoding="utf-8")
    return [parse_block(m[1], text.count("\n", 0, m.start()) + 2) for m in BLOCK.finditer(text)]


EXAMPLES = load_examples()


def value(obj) -> bytes:
    """The value section of a fresh codec's document for obj, as the examples use it."""
    return value_of(Quarl().encode_packed(obj, False))


def namespace() -> dict:
    return {
        "Quarl": Quarl,
        "QuarlStreamDecoder": QuarlStreamDecoder,
        "QuarlStreamEncoder": QuarlStreamEncoder,
        "value": value,
        "datetime": datetime,
        "decimal": decimal,
        "uuid": uuid,
        "numpy": numpy,
    }


def run_step(step: Step, names: dict) -> None:
    if step.error is not None:
        with pytest.raises(Exception) as raised:
            eval(step.code, names)
        assert (raised.type.__name__, str(raised.value)) == step.error, step.code
        return
    if step.expected_hex is None:
        exec(step.code, names)
        return
    result = eval(step.code, names)
    assert isinstance(result, bytes), step.code
    shown = result[: len(step.expected())] if step.prefix_only else result
    assert shown.hex(" ") == step.expected().hex(" "), step.code


@pytest.mark.parametrize("example", EXAMPLES, ids=[f"line{e.line}" for e in EXAMPLES])
def test_worked_example(example):
    names = namespace()
    for step in example.steps:
        run_step(step, names)


def test_the_reference_shows_each_layer():
    codes = "\n".join(step.code for example in EXAMPLES for step in example.steps)
    # One worked example at least for values, documents, both envelopes, streams and errors.
    for needle in ["value(", "encode_packed(None", '"x" * 246, True', '"x" * 999_989, True',
                   "get_handshake()", "decode_packed(bytes.fromhex", "feed("]:
        assert needle in codes
    assert all(example.steps for example in EXAMPLES)
