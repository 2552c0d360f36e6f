"""quarl next to the codecs a user would pick instead, in one run.

Usage: python bench/suite.py [--data DIR] [--out docs] [--quick] [--case NAME ...] [--safe-paths-only]

DATA DIR holds the standard JSON corpora (twitter.json, citm_catalog.json,
canada.json); missing files are skipped. Every case is encoded and decoded by
every codec that can carry it; times are medians of repeated rounds after a
warm-up, sizes are exact, and peak memory is the resident high-water mark of
one encode (or decode) above the resident size just before it. Results go to
OUT/benchmarks.md (table) and OUT/benchmarks.png (chart). With --case, only
the named cases run, and their table is printed (written only with --out).

The report says which memory paths quarl took (the direct layout shortcuts, or
the limited-API paths that QUARL_SAFE_PATHS=1 forces), and ends with the cost
of the safe paths: quarl alone, timed in fresh interpreters with and without
the variable, in turns. --safe-paths-only prints that comparison and writes
nothing.
"""

import argparse
import dataclasses
import gc
import json
import os
import pathlib
import pickle
import platform
import random
import statistics
import subprocess
import sys
import time

import quarl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_construction import measure as measure_construction  # noqa: E402
from bench_keys import measure as measure_crafted_keys  # noqa: E402
from bench_models import Reading, fields  # noqa: E402  (the same objects as the model benchmark)

CORPORA = ["twitter", "citm_catalog", "canada"]
SMALL = "small document"
SMALL_CALLS = 1000
CRAFTED_KEYS = 26000
# Cases whose decode is also timed with the cyclic collector on: many objects that it tracks.
COLLECTOR_CASES = ("records", "dataclasses")


# ---------------------------------------------------------------- codecs


def memory_paths() -> str:
    """Which paths this process's quarl takes: "direct", or "safe: " and why."""
    return quarl._quarl._memory_paths()


def quarl_codec(compress: bool):
    codec = quarl.Quarl()
    return (lambda obj: codec.encode_packed(obj, compress)), codec.decode_packed


def peers():
    """name -> (encode, decode) for every peer that is installed."""
    found = {}
    try:
        import orjson

        found["orjson"] = (orjson.dumps, orjson.loads)
    except ImportError:
        pass
    try:
        import msgspec

        mp_enc, mp_dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
        js_enc, js_dec = msgspec.json.Encoder(), msgspec.json.Decoder()
        found["msgspec.msgpack"] = (mp_enc.encode, mp_dec.decode)
        found["msgspec.json"] = (js_enc.encode, js_dec.decode)
    except ImportError:
        pass
    try:
        import ormsgpack

        found["ormsgpack"] = (ormsgpack.packb, ormsgpack.unpackb)
    except ImportError:
        pass
    try:
        import msgpack

        found["msgpack"] = (msgpack.packb, msgpack.unpackb)
    except ImportError:
        pass
    found["pickle5"] = (lambda o: pickle.dumps(o, protocol=5), pickle.loads)
    try:
        import cbor2

        found["cbor2"] = (cbor2.dumps, cbor2.loads)
    except ImportError:
        pass
    return found


def compressed_peers():
    found = {}
    try:
        import lz4.frame

        found["lz4.frame+pickle5"] = (
            lambda o: lz4.frame.compress(pickle.dumps(o, protocol=5)),
            lambda b: pickle.loads(lz4.frame.decompress(b)),
        )
    except ImportError:
        pass
    return found


# ---------------------------------------------------------------- cases


def readings(n: int) -> list:
    """The 10-field dataclasses of the model benchmark."""
    return [Reading(**fields(i)) for i in range(n)]


def records(n: int) -> list:
    """Dicts of ten fields: int, str, float, bool, None, aware datetime, UUID,
    Decimal, a list of five floats and an enum member."""
    rows = []
    for i in range(n):
        row = fields(i)
        row["samples"].append(i * 2.0)
        rows.append(row)
    return rows


def record_peers() -> dict:
    """Peers for records and models: dates, UUIDs and decimals come back from
    them as text (pickle rebuilds the objects, as quarl does)."""
    found = {}
    try:
        import orjson

        found["orjson"] = (lambda o: orjson.dumps(o, default=str), orjson.loads)
    except ImportError:
        pass
    try:
        import msgspec

        enc = msgspec.msgpack.Encoder()
        found["msgspec.msgpack"] = (enc.encode, msgspec.msgpack.Decoder().decode)
    except ImportError:
        pass
    found["pickle5"] = (lambda o: pickle.dumps(o, protocol=5), pickle.loads)
    return found


def compressible_document(target_bytes: int) -> dict:
    rows, size, i = [], 0, 0
    while size < target_bytes:
        row = {"id": i, "user": f"user-{i % 997}", "event": "page_view", "path": f"/items/{i % 5000}", "ms": i % 300}
        rows.append(row)
        size += 90
        i += 1
    return {"source": "web", "rows": rows}


def service_messages(n: int, seed: int = 11) -> list:
    """What a long-lived server sends one message at a time: quotes (records of one shape), orders
    keyed by order id and room members keyed by user id, in turn."""
    rng = random.Random(seed)
    symbols = ["AAPL", "MSFT", "GOOG", "AMZN", "NVDA", "META", "TSLA", "ORCL"]
    price = lambda: round(rng.uniform(10, 900), 2)  # noqa: E731
    messages = []
    for i in range(n):
        kind = i % 3
        if kind == 0:
            quotes = [{"symbol": s, "bid": price(), "ask": price(), "size": rng.randrange(1, 5000)}
                      for s in rng.sample(symbols, 5)]
            messages.append({"type": "quotes", "seq": i, "quotes": quotes})
        elif kind == 1:
            orders = {f"ord-{rng.randrange(10**9):09d}": {"symbol": rng.choice(symbols), "qty": rng.randrange(1, 500),
                                                         "price": price(), "side": rng.choice(["buy", "sell"])}
                      for _ in range(3)}
            messages.append({"type": "orders", "seq": i, "account": f"acct-{rng.randrange(1000)}", "orders": orders})
        else:
            members = {f"user-{rng.randrange(10**6)}": {"status": rng.choice(["online", "away"]),
                                                        "since": 1.7e9 + rng.random() * 1e6, "typing": rng.random() < 0.2}
                       for _ in range(4)}
            messages.append({"type": "presence", "seq": i, "room": f"room-{rng.randrange(100)}", "members": members})
    return messages


def one_by_one(codecs: dict) -> dict:
    """Each codec encoding (and decoding) a list of messages one call per message."""
    return {name: (lambda values, e=encode: [e(v) for v in values], lambda docs, d=decode: [d(b) for b in docs])
            for name, (encode, decode) in codecs.items()}


def quarl_one_by_one() -> tuple:
    """quarl's calls as a user writes them, like every peer's: the codec's method with `compress`, not a
    wrapper that would add a Python call per message."""
    codec = quarl.Quarl()
    encode, decode = codec.encode_packed, codec.decode_packed
    return (lambda values: [encode(v, False) for v in values]), (lambda docs: [decode(b) for b in docs])


def wide_dict(n: int) -> dict:
    """One snapshot of n metrics, each under its own name."""
    metrics = ["cpu.user", "cpu.system", "mem.used", "mem.cached", "disk.read", "disk.write", "net.rx", "net.tx"]
    return {f"host-{i // len(metrics):04d}.{metrics[i % len(metrics)]}": (i * 0.25 if i % 4 else i) for i in range(n)}


def encoded_size(encoded) -> int:
    return sum(map(len, encoded)) if isinstance(encoded, list) else len(encoded)


@dataclasses.dataclass
class Case:
    name: str
    value: object
    codecs: dict  # name -> (encode, decode)
    note: str = ""


def build_cases(data_dir: pathlib.Path, quick: bool, only: str | None = None) -> list:
    """The cases, in report order; with `only`, just the case of that name."""
    cases = []
    plain = peers()
    for name in CORPORA:
        path = data_dir / f"{name}.json"
        if path.exists() and only in (None, name):
            value = json.loads(path.read_text(encoding="utf-8"))
            cases.append(Case(name, value, {"quarl": quarl_codec(False), **plain}))
    if only in (None, SMALL):
        # What the module-level calls cost over a codec kept by the caller, per call.
        calls = {"quarl": quarl_one_by_one(), **one_by_one({"quarl.dumps": (quarl.dumps, quarl.loads), **plain})}
        cases.append(Case(SMALL, [{"id": 7, "user": "ada", "scores": [1, 2.5, None], "active": True}] * SMALL_CALLS,
                          calls, f"one small dict per call, {SMALL_CALLS:,} calls"))
    if only in (None, "messages one by one"):
        cases.append(Case("messages one by one", service_messages(2000 if quick else 6000),
                          {"quarl": quarl_one_by_one(), **one_by_one(plain)},
                          "small dicts from one long-lived codec, some keyed by ids"))
    if only in (None, "wide dict"):
        cases.append(Case("wide dict", wide_dict(2000), {"quarl": quarl_codec(False), **plain}, "2,000 distinct keys"))
    if only not in (None, "records", "dataclasses", "float64 array", "64 MB compressible"):
        return cases
    count = 1000 if quick else 10000
    if only in (None, "records"):
        cases.append(Case("records", records(count), {"quarl": quarl_codec(False), **record_peers()},
                          "dicts with datetime, UUID, Decimal, enum"))
    if only in (None, "dataclasses"):
        cases.append(Case("dataclasses", readings(count), {"quarl": quarl_codec(False), **record_peers()},
                          "10-field dataclasses"))
    try:
        import numpy

        array = numpy.random.default_rng(1).random(1_000_000)
        cases.append(
            Case(
                "float64 array",
                array,
                {
                    "quarl": quarl_codec(False),
                    "ndarray.tobytes": (lambda a: a.tobytes(), lambda b: numpy.frombuffer(b)),
                    "pickle5": plain["pickle5"],
                },
                "1,000,000 elements",
            )
        )
    except ImportError:
        pass
    if only not in (None, "64 MB compressible"):
        return [c for c in cases if c.name == only]
    big = compressible_document(8_000_000 if quick else 64_000_000)
    cases.append(
        Case(
            "64 MB compressible",
            big,
            {"quarl+lz4": quarl_codec(True), **compressed_peers(), "quarl": quarl_codec(False)},
            "LZ4 envelopes",
        )
    )
    return [c for c in cases if only in (None, c.name)]


# ---------------------------------------------------------------- measuring


def calibrate(func, arg, clock=time.perf_counter) -> int:
    """Calls per sample so that one sample takes about 20 ms."""
    func(arg)
    start = clock()
    func(arg)
    once = max(clock() - start, 1e-7)
    return max(1, int(0.02 / once))


def interleaved_medians(calls: dict, budget: float, clock=time.perf_counter, collector: bool = False) -> dict:
    """name -> median seconds per call of calls[name] = (func, arg).

    The codecs take turns round by round, so load from elsewhere on the
    machine falls on all of them alike; the collector is off while timing,
    as timeit has it, unless `collector` is set. `clock` measures the samples
    (wall time unless told).
    """
    numbers = {name: calibrate(func, arg, clock) for name, (func, arg) in calls.items()}
    samples = {name: [] for name in calls}
    rounds = 0
    deadline = time.perf_counter() + budget * len(calls)
    if not collector:
        gc.disable()
    try:
        while rounds < 5 or (rounds < 41 and time.perf_counter() < deadline):
            for name, (func, arg) in calls.items():
                number = numbers[name]
                start = clock()
                for _ in range(number):
                    func(arg)
                samples[name].append((clock() - start) / number)
            rounds += 1
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def peak_in_this_process(func, arg) -> int | None:
    """Bytes of resident memory one call needs above what was resident before it."""
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed memory back first
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark
    except OSError:
        return None
    before = _status_kib("VmRSS:")
    result = func(arg)
    peak = _status_kib("VmHWM:")
    del result
    return max(0, peak - before) * 1024


def peak_memory(args, case_name: str, codec: str, operation: str) -> int | None:
    """Peak memory of one fresh call, measured in a fresh interpreter."""
    command = [sys.executable, __file__, "--data", str(args.data), "--peak", case_name, codec, operation]
    if args.quick:
        command.append("--quick")
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    try:
        return int(done.stdout.split()[-1])
    except (IndexError, ValueError):
        return None


def run_peak(args) -> None:
    case_name, codec, operation = args.peak
    (case,) = build_cases(args.data, args.quick, only=case_name)
    encode, decode = case.codecs[codec]
    if operation == "encode":
        print(peak_in_this_process(encode, case.value))
    else:
        encoded = encode(case.value)
        del case
        print(peak_in_this_process(decode, encoded))


def measure(case: Case, budget: float, args) -> list:
    encoded = {}
    for name, (encode, _) in case.codecs.items():
        try:
            encoded[name] = encode(case.value)
        except Exception as e:  # a peer that cannot carry this case
            print(f"  {case.name}: {name} skipped ({type(e).__name__})", file=sys.stderr)
    names = list(encoded)
    encode_times = interleaved_medians({n: (case.codecs[n][0], case.value) for n in names}, budget)
    decode_times = interleaved_medians({n: (case.codecs[n][1], encoded[n]) for n in names}, budget)
    collected = {}
    if case.name in COLLECTOR_CASES:
        collected = interleaved_medians({n: (case.codecs[n][1], encoded[n]) for n in names}, budget, collector=True)
    rows = []
    for name in names:
        row = {
            "codec": name,
            "encode": encode_times[name],
            "decode": decode_times[name],
            "decode_collected": collected.get(name),
            "size": encoded_size(encoded[name]),
            "encode_peak": peak_memory(args, case.name, name, "encode"),
            "decode_peak": peak_memory(args, case.name, name, "decode"),
        }
        rows.append(row)
        print(f"  {case.name:20s} {name:20s} enc {row['encode'] * 1e3:9.3f} ms  dec {row['decode'] * 1e3:9.3f} ms  "
              f"{row['size']:>12,} B", file=sys.stderr)
    return rows


def run_quarl_only(args) -> None:
    """Prints quarl's own times on every case as JSON, with the paths this process took. The times
    are the process's CPU time (all its threads), which other load on the machine disturbs less
    than the wall clock."""
    budget = 0.3 if args.quick else 1.2
    times = {}
    for case in build_cases(args.data, args.quick):
        ours = {n: c for n, c in case.codecs.items() if n.startswith("quarl")}
        encoded = {n: encode(case.value) for n, (encode, _) in ours.items()}
        encode_times = interleaved_medians({n: (ours[n][0], case.value) for n in ours}, budget, time.process_time)
        decode_times = interleaved_medians({n: (ours[n][1], encoded[n]) for n in ours}, budget, time.process_time)
        times[case.name] = {n: [encode_times[n], decode_times[n]] for n in ours}
    print(json.dumps({"paths": memory_paths(), "times": times}))


def safe_path_cost(args, rounds: int = 3) -> list:
    """Rows of quarl's times with the direct and the safe paths: fresh interpreters take turns
    (direct, safe, direct, ...) and each time is the best of its rounds."""
    best = {}
    for _ in range(rounds):
        for safe in (False, True):
            env = {k: v for k, v in os.environ.items() if k != "QUARL_SAFE_PATHS"}
            if safe:
                env["QUARL_SAFE_PATHS"] = "1"
            command = [sys.executable, __file__, "--data", str(args.data), "--quarl-only"]
            command += ["--quick"] if args.quick else []
            done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=3600, check=True)
            run = json.loads(done.stdout)
            for case_name, codecs in run["times"].items():
                for codec, times in codecs.items():
                    row = best.setdefault((case_name, codec), {})
                    seen = row.setdefault(safe, {"paths": run["paths"], "times": times})
                    seen["times"] = [min(a, b) for a, b in zip(seen["times"], times)]
    rows = []
    for (case_name, codec), row in best.items():
        direct, safe = row[False], row[True]
        rows.append({"case": case_name, "codec": codec, "direct": direct["times"], "safe": safe["times"],
                     "paths": (direct["paths"], safe["paths"])})
        print(f"  {case_name:20s} {codec:10s} safe÷direct: encode {safe['times'][0] / direct['times'][0]:.2f}  "
              f"decode {safe['times'][1] / direct['times'][1]:.2f}", file=sys.stderr)
    return rows


def safe_path_lines(rows: list) -> list:
    direct_paths, safe_paths = rows[0]["paths"] if rows else ("n/a", "n/a")
    lines = [
        "## Cost of the safe paths",
        "",
        "quarl alone (CPU time of the process), in fresh interpreters that take turns, with its memory paths as they come "
        f"(\"{direct_paths}\") and with `QUARL_SAFE_PATHS=1` (\"{safe_paths}\"), which reads lists, "
        "floats, dates, times and datetimes through the limited API only, makes every decimal by its "
        "constructor and copies large documents out instead of handing out the bytes object they were "
        "written into. Each time is the best "
        "of three turns.",
        "",
        "| case | codec | encode | encode, safe | safe ÷ direct | decode | decode, safe | safe ÷ direct |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        (de, dd), (se, sd) = r["direct"], r["safe"]
        lines.append(f"| {r['case']} | {r['codec']} | {de * 1e3:.3f} ms | {se * 1e3:.3f} ms | {se / de:.2f} | "
                     f"{dd * 1e3:.3f} ms | {sd * 1e3:.3f} ms | {sd / dd:.2f} |")
    return lines + [""]


# ---------------------------------------------------------------- report


def fmt_time(seconds: float) -> str:
    return f"{seconds * 1e6:.2f} µs" if seconds < 1e-4 else f"{seconds * 1e3:.3f} ms"


def fmt_bytes(n):
    if n is None:
        return "n/a"
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1024


def crafted_keys_section(crafted: dict) -> list:
    rows = [f"| {step} | {crafted[f'crafted {step}'] * 1e3:.3f} ms | {crafted[f'ordinary {step}'] * 1e3:.3f} ms | "
            f"{crafted[f'crafted {step}'] / crafted[f'ordinary {step}']:.2f} |" for step in ("encode", "decode")]
    return ["## crafted keys", "",
            f"One dict of {CRAFTED_KEYS:,} keys crafted to share one hash under a fixed, well-known hash function "
            "(`bench/bench_keys.py`), against one dict of as many ordinary keys of the same length.", "",
            "| quarl | crafted | ordinary | crafted ÷ ordinary |", "|---|---:|---:|---:|", *rows, ""]


def construction_section(times: dict) -> list:
    base = times["msgspec.msgpack.Encoder()"]
    rows = [f"| `{name}` | {seconds * 1e9:.1f} ns | {seconds / base:.2f} |" for name, seconds in times.items()]
    return ["## construction", "", "Creating one object (`bench/bench_construction.py`).", "",
            "| constructor | time | ÷ msgspec.msgpack.Encoder() |", "|---|---:|---:|", *rows, ""]


def report(results: dict, crafted: dict, construction: dict, safe_rows: list, out: pathlib.Path, command: str) -> None:
    lines = [
        "# Benchmarks",
        "",
        f"Measured with `{command}` on {platform.machine()}, {platform.system()} {platform.release()}, "
        f"{__import__('os').cpu_count()} cores, Python {platform.python_version()}.",
        "",
        "Times are medians of interleaved rounds (the codecs take turns, the cyclic collector off, "
        "as timeit has it); the ratio columns divide by the best peer "
        "(below 1.00 means quarl is faster or smaller). Peak memory is the resident high-water "
        "mark of one call above the resident size before it.",
        "",
        "Versions: " + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".",
        "",
        f"quarl's memory paths: {memory_paths()} (\"direct\": the layout shortcuts; the safe paths' "
        "cost is in the last section).",
        "",
        *tables(results),
        *crafted_keys_section(crafted),
        *construction_section(construction),
        *safe_path_lines(safe_rows),
    ]
    (out / "benchmarks.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    chart(results, out / "benchmarks.png")


def tables(results: dict) -> list:
    """The lines of one table per case, quarl's rows first, then the peers by encode time."""
    lines = []
    for case_name, rows in results.items():
        ours = [r for r in rows if r["codec"].startswith("quarl")]
        theirs = [r for r in rows if not r["codec"].startswith("quarl")]
        best = {k: min((r[k] for r in theirs), default=None) for k in ("encode", "decode", "size")}
        lines += [f"## {case_name}", "", "| codec | encode | decode | size | encode ÷ best peer | decode ÷ best peer | size ÷ best peer | encode peak | decode peak |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for r in ours + sorted(theirs, key=lambda r: r["encode"]):
            ratio = {k: (f"{r[k] / best[k]:.2f}" if best[k] else "") for k in ("encode", "decode", "size")}
            lines.append(
                f"| {r['codec']} | {fmt_time(r['encode'])} | {fmt_time(r['decode'])} | {fmt_bytes(r['size'])} | "
                f"{ratio['encode']} | {ratio['decode']} | {ratio['size']} | {fmt_bytes(r['encode_peak'])} | {fmt_bytes(r['decode_peak'])} |"
            )
        if all(r.get("decode_collected") for r in rows):
            lines += ["", collector_sentence(ours + theirs)]
        by_codec = {r["codec"]: r for r in rows}
        if {"quarl", "quarl.dumps"} <= set(by_codec):
            codec, module = by_codec["quarl"], by_codec["quarl.dumps"]
            per_call = 1e9 / SMALL_CALLS
            lines += ["", f"`quarl.dumps` costs {(module['encode'] - codec['encode']) * per_call:+.0f} ns per call over "
                      f"`Quarl().encode_packed` on a kept codec ({module['encode'] / codec['encode']:.2f}×); "
                      f"`quarl.loads` {(module['decode'] - codec['decode']) * per_call:+.0f} ns over `decode_packed` "
                      f"({module['decode'] / codec['decode']:.2f}×)."]
        lines.append("")
    return lines


def collector_sentence(rows: list) -> str:
    times = ", ".join(f"{r['codec']} {fmt_time(r['decode_collected'])}" for r in sorted(rows, key=lambda r: r["decode_collected"]))
    return ("Decode with the cyclic collector on, as a program runs: " + times + ". The collector's full passes walk every "
            "tracked object of the process, so these times grow with the program's heap; quarl pauses the collector "
            "while it builds a document's objects.")


def chart(results: dict, path: pathlib.Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib missing: no chart", file=sys.stderr)
        return
    names = list(results)
    fig, axes = plt.subplots(1, 2, figsize=(12, 0.6 * len(names) + 2.5))
    for ax, key in zip(axes, ("encode", "decode")):
        labels, ours, best = [], [], []
        for case_name in names:
            rows = results[case_name]
            q = min((r[key] for r in rows if r["codec"].startswith("quarl")), default=None)
            p = min((r[key] for r in rows if not r["codec"].startswith("quarl")), default=None)
            if q and p:
                labels.append(case_name)
                ours.append(p / q)
        ax.barh(labels, ours, color=["#2a7" if v >= 1 else "#c54" for v in ours])
        ax.axvline(1.0, color="black", linewidth=1)
        ax.set_title(f"{key}: quarl speed-up over the fastest peer")
        ax.set_xlabel("× (above 1 = quarl faster)")
        ax.invert_yaxis()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def versions() -> dict:
    out = {"quarl": quarl.__version__}
    for mod in ("orjson", "msgspec", "ormsgpack", "msgpack", "cbor2", "lz4", "numpy"):
        try:
            out[mod] = __import__(mod).__version__
        except (ImportError, AttributeError):
            pass
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=pathlib.Path, default=pathlib.Path("../shared/bench-data"))
    parser.add_argument("--out", type=pathlib.Path, help="where the report goes (default: docs)")
    parser.add_argument("--quick", action="store_true", help="smaller cases and shorter rounds")
    parser.add_argument("--case", action="append", metavar="NAME", help="run only this case (repeatable)")
    parser.add_argument("--safe-paths-only", action="store_true",
                        help="only print quarl's times with the direct and the safe memory paths")
    parser.add_argument("--peak", nargs=3, metavar=("CASE", "CODEC", "OPERATION"), help=argparse.SUPPRESS)
    parser.add_argument("--quarl-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        run_peak(args)
        return
    if args.quarl_only:
        run_quarl_only(args)
        return
    if args.safe_paths_only:
        print("\n".join(safe_path_lines(safe_path_cost(args))))
        return
    print(f"quarl's memory paths: {memory_paths()}", file=sys.stderr)
    budget = 0.3 if args.quick else 1.2
    results = {}
    for name in args.case or [None]:
        for case in build_cases(args.data, args.quick, only=name):
            results[case.name] = measure(case, budget, args)
    out = args.out or (None if args.case else pathlib.Path("docs"))
    if out is None:
        print("\n".join(tables(results)))
        return
    safe_rows = safe_path_cost(args)
    out.mkdir(parents=True, exist_ok=True)
    print("  crafted keys", file=sys.stderr)
    crafted = measure_crafted_keys(CRAFTED_KEYS)
    report(results, crafted, measure_construction(), safe_rows, out, "make bench")
    print((out / "benchmarks.md").read_text())


if __name__ == "__main__":
    main()
