"""The type stubs describe the built module, and the examples type-check against them."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import installed

ROOT = Path(__file__).resolve().parent.parent
installed("mypy")


@pytest.mark.parametrize("command", [["mypy.stubtest", "quarl._quarl"], ["mypy", "--cache-dir", "cache", "EXAMPLES"]],
                         ids=["stubs match the built module", "examples type-check"])
def test_mypy(tmp_path, command):
    # Away from the source tree, so that the installed package, with its built module, is the one checked.
    command = [str(ROOT / "examples") if arg == "EXAMPLES" else arg for arg in command]
    proc = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_every_public_name_has_the_docstring_of_the_stub():
    sys.path.insert(0, str(ROOT / "scripts"))
    import docstrings

    import quarl
    from quarl import _quarl

    expected = docstrings.stub_docstrings()
    public = {cls: [n for n in vars(getattr(_quarl, cls)) if not n.startswith("_")]
              for cls in ("Quarl", "QuarlStreamEncoder", "QuarlStreamDecoder")}
    assert set(expected) == {*public, *(f"{cls}.{n}" for cls, names in public.items() for n in names)}
    for name, text in expected.items():
        cls, _, member = name.partition(".")
        runtime = getattr(_quarl, cls)
        if member:
            runtime = getattr(runtime, member)
        assert runtime.__doc__ == text, name
    for func in (quarl.dumps, quarl.loads, quarl.dump, quarl.load, quarl.iter_stream):
        assert func.__doc__ and func.__doc__.strip(), func
