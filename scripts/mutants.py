"""Mutation testing of the native sources: how many small faults the suite notices.

Draws a seeded sample of mutants of src/ (swapped comparisons and logical
operators, flipped arithmetic, changed constants, deleted statements and
guards), builds each one incrementally in a private copy of the tree, and runs
the fast part of the suite against it with -x and a time limit. Prints killed /
survived / timed out and lists the survivors; mutants that do not compile are
left out and replaced by the next ones drawn, so every run tests `--count`
mutants that build. The same seed over the same sources draws the same sample.

    python scripts/mutants.py --count 120 --seed 1
    python scripts/mutants.py --count 120 --seed 1 --resume earlier-output.log
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"  # sources the mutants are written into
CMAKE_DIR = WORK / "cmake"
RUN_DIR = WORK / "run"  # the Python package and tests the mutants run against
FAST_SUITE = [
    "tests",
    "-x",
    "-q",
    "-p",
    "no:cacheprovider",
    "--ignore=tests/test_examples.py",
    "--ignore=tests/test_integrations.py",
    "-k",
    "not smoke_run_under_atheris",
]

# (pattern, replacement) pairs applied at one match each. Binary operators need
# spaces around them so that templates, pointers and shifts are left alone.
OPERATORS = [
    (r" == ", " != "),
    (r" != ", " == "),
    (r" <= ", " < "),
    (r" >= ", " > "),
    (r" < ", " <= "),
    (r" > ", " >= "),
    (r" && ", " || "),
    (r" \|\| ", " && "),
    (r" \+ ", " - "),
    (r" - ", " + "),
    (r" \+= ", " -= "),
    (r"\btrue\b", "false"),
    (r"\bfalse\b", "true"),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
DELETABLE = re.compile(r"^\s*(if \(.*\) (return|continue|break)\b.*;|[\w.\->\[\]:]+(\(.*\)|\s*[-+]?=.*|\+\+|--);)\s*$")
SKIPPED_LINE = re.compile(r"^\s*(#|//|\*|/\*|static_assert|namespace|using |template|case )")


@dataclass
class Mutant:
    path: str
    line: int
    kind: str
    before: str
    after: str
    outcome: str = ""
    seconds: float = 0.0


def strip_strings(line: str) -> str:
    """The line with string and character literals blanked, so no mutant lands inside one."""
    return re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'', lambda m: " " * len(m.group(0)), line)


def mutants_of_line(path: str, number: int, line: str) -> list[Mutant]:
    if SKIPPED_LINE.match(line):
        return []
    code = strip_strings(line.split("//")[0])
    found = []
    for pattern, replacement in OPERATORS:
        for match in re.finditer(pattern, code):
            after = line[: match.start()] + replacement + line[match.end():]
            found.append(Mutant(path, number, f"{match.group(0).strip()} -> {replacement.strip()}", line, after))
    for match in NUMBER.finditer(code):
        value = int(match.group(1))
        changed = str(value + 1) if value != 1 else "0"
        after = line[: match.start()] + changed + line[match.end():]
        found.append(Mutant(path, number, f"{value} -> {changed}", line, after))
    if DELETABLE.match(code) and not code.rstrip().endswith("{"):
        found.append(Mutant(path, number, "delete", line, "\n" if line.endswith("\n") else ""))
    return found


def all_mutants() -> list[Mutant]:
    found = []
    for source in sorted((ROOT / "src").rglob("*")):
        if source.suffix not in (".cpp", ".h"):
            continue
        relative = source.relative_to(ROOT).as_posix()
        lines = source.read_text().splitlines(keepends=True)
        for index, line in enumerate(lines):
            found.extend(mutants_of_line(relative, index + 1, line))
    return found


def prepare() -> None:
    # The build directory goes too: a run stopped mid-mutant leaves objects built from it, newer
    # than the unmutated sources copied here with their own times.
    for directory in (TREE, RUN_DIR, CMAKE_DIR):
        shutil.rmtree(directory, ignore_errors=True)
    TREE.mkdir(parents=True)
    shutil.copytree(ROOT / "src", TREE / "src")
    shutil.copy(ROOT / "CMakeLists.txt", TREE)
    if (ROOT / "cmake").is_dir():
        shutil.copytree(ROOT / "cmake", TREE / "cmake")
    ignore = shutil.ignore_patterns("*.so", "__pycache__")
    for name in ("quarl", "tests", "fuzz", "docs", "examples", "bench", "scripts"):
        if (ROOT / name).exists():
            shutil.copytree(ROOT / name, RUN_DIR / name, ignore=ignore)
    for name in ("README.md", "pyproject.toml"):
        shutil.copy(ROOT / name, RUN_DIR)
    subprocess.run(
        ["cmake", "-S", TREE, "-B", CMAKE_DIR, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython_EXECUTABLE={sys.executable}"],
        check=True, capture_output=True,
    )


def build() -> bool:
    result = subprocess.run(["cmake", "--build", CMAKE_DIR], capture_output=True)
    if result.returncode != 0:
        return False
    built = next(CMAKE_DIR.glob("_quarl*.so"))
    shutil.copy(built, RUN_DIR / "quarl" / "_quarl.abi3.so")
    return True


def run_suite(timeout: float) -> str:
    env = dict(os.environ, PYTHONPATH=str(RUN_DIR), QUARL_FUZZ_SMOKE_SECONDS="0")
    try:
        result = subprocess.run([sys.executable, "-m", "pytest", *FAST_SUITE], cwd=RUN_DIR, env=env,
                                capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timed out"
    return "survived" if result.returncode == 0 else "killed"


def try_mutant(mutant: Mutant, timeout: float) -> None:
    target = TREE / mutant.path
    original = target.read_text()
    lines = original.splitlines(keepends=True)
    lines[mutant.line - 1] = mutant.after
    target.write_text("".join(lines))
    started = time.monotonic()
    try:
        mutant.outcome = run_suite(timeout) if build() else "stillborn"
    finally:
        target.write_text(original)
    mutant.seconds = round(time.monotonic() - started, 1)


def finished_outcomes(log: Path) -> dict[str, tuple[str, float]]:
    """The outcome and seconds of each mutant ("path:line: kind") that an earlier run printed."""
    found = {}
    for line in log.read_text().splitlines():
        match = re.match(r"(killed|survived|timed out|stillborn)\s+([\d.]+)s (\S+:\d+: .*)$", line)
        if match:
            found[match.group(3)] = (match.group(1), float(match.group(2)))
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=120, help="mutants that build, to run")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=600, help="seconds per suite run")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--resume", type=Path, metavar="LOG",
                        help="the output of an earlier run over the same sources: the outcomes it printed are "
                             "kept (delete a line to run that mutant again), and the others are run")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))  # so that the mutated file is put back
    finished = finished_outcomes(args.resume) if args.resume else {}

    candidates = all_mutants()
    random.Random(args.seed).shuffle(candidates)
    if args.list:
        for m in candidates[: args.count]:
            print(f"{m.path}:{m.line}: {m.kind}")
        return 0
    prepare()
    if not build() or run_suite(args.timeout) != "survived":
        print("the unmutated sources do not pass the fast suite", file=sys.stderr)
        return 1
    tried: list[Mutant] = []
    for mutant in candidates:
        if sum(m.outcome != "stillborn" for m in tried) >= args.count:
            break
        name = f"{mutant.path}:{mutant.line}: {mutant.kind}"
        if name in finished:
            mutant.outcome, mutant.seconds = finished[name]
        else:
            try_mutant(mutant, args.timeout)
        tried.append(mutant)
        print(f"{mutant.outcome:10} {mutant.seconds:6.1f}s {mutant.path}:{mutant.line}: {mutant.kind}", flush=True)
    build()  # leave the private build unmutated

    counted = [m for m in tried if m.outcome != "stillborn"]
    tally = {k: sum(m.outcome == k for m in counted) for k in ("killed", "survived", "timed out")}
    score = (tally["killed"] + tally["timed out"]) / max(1, len(counted))
    (WORK / "report.json").write_text(json.dumps([asdict(m) for m in tried], indent=1))
    print(f"\nseed {args.seed}: {len(counted)} mutants, killed {tally['killed']}, "
          f"survived {tally['survived']}, timed out {tally['timed out']} "
          f"(kill rate {score:.1%}; {len(tried) - len(counted)} did not build)")
    for m in counted:
        if m.outcome == "survived":
            print(f"  survivor {m.path}:{m.line}: {m.kind}: {m.before.strip()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
