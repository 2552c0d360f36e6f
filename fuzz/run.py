"""Runs one fuzz target under atheris: python fuzz/run.py TARGET [libFuzzer options]."""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports():
    import harnesses


def main() -> None:
    target = harnesses.TARGETS[sys.argv[1]]
    atheris.Setup([sys.argv[0], *sys.argv[2:]], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
