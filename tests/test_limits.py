"""What hostile input can cost: the bounds of docs/security.md that no test beside their feature pins down."""

import json
import sys
import textwrap
import tracemalloc
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from builders import doc, exact, frame, lst, lz4_block, text, u32
from conftest import run_python
from quarl import Quarl, QuarlStreamDecoder, _inspect

# The most output one byte of an LZ4 block can stand for.
LZ4_MAX_RATIO = 255
DOCUMENT = doc(b"\x80" + u32(3) + b"abc")
BLOCK = lz4_block(DOCUMENT)
MIB = 1024 * 1024


def decode(data: bytes, decompress: bool = True):
    return Quarl().decode_packed(data, decompress=decompress)


def test_single_block_declared_at_and_past_the_ratio():
    # Declared at the ratio but yielding less, or declared past it: either way a failed single-block
    # attempt, and the input read as a parallel envelope, which its first block bytes cannot form.
    assert decode(u32(len(DOCUMENT)) + BLOCK) == b"abc"
    for declared in (LZ4_MAX_RATIO * len(BLOCK), LZ4_MAX_RATIO * len(BLOCK) + 1):
        with pytest.raises(ValueError):
            decode(u32(declared) + BLOCK)


def test_chunk_declared_past_the_ratio_fails_before_decoding():
    def envelope(declared):
        record = u32(declared) + BLOCK
        return u32(len(DOCUMENT)) + u32(1) + u32(len(record)) + record

    assert decode(envelope(LZ4_MAX_RATIO * len(BLOCK))) == b"abc"
    declared = LZ4_MAX_RATIO * len(BLOCK) + 1
    with pytest.raises(ValueError, match=exact(f"LZ4 chunk decompression failed: the declared {declared} bytes "
                                               f"are more than {len(BLOCK)} compressed bytes can hold")):
        decode(envelope(declared))


# The cheapest encodings of the costliest objects the decoder builds, as lists of them.
COSTLY = [(b"\x10", 100_000), (b"\x40" + bytes(8), 50_000), (b"\x60" + u32(0), 50_000), (b"\x70\x7f", 50_000),
          (b"\xd5" + u32(1) + b"0", 20_000), (b"\xd2" + u32(10) + b"2024-01-02", 20_000)]


@pytest.mark.parametrize(
    "data",
    [doc(b"\x60" + u32(n) + element * n) for element, n in COSTLY] + [doc(b"\x90" + u32(50_000) + bytes(400_000))],
    ids=["none", "float", "empty list", "empty dict", "decimal", "date", "float array"],
)
def test_decoded_objects_cost_a_bounded_multiple_of_the_input(data):
    tracemalloc.start()
    try:
        decode(data, decompress=False)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # An empty dict is the worst: 2 bytes in, about 72 bytes out (object and list slot).
    assert peak / len(data) < 48


def stream_frame(size: int) -> bytes:
    """A data frame of exactly `size` payload bytes (a bytes value), or a skip frame when tiny."""
    if size < 11:
        return frame(bytes(size), type=2)
    return frame(doc(b"\x80" + u32(size - 11) + bytes(size - 11)))


@given(
    sizes=st.lists(st.integers(0, 600), max_size=12),
    max_frame_size=st.integers(0, 500),
    cuts=st.lists(st.integers(1, 400), min_size=1, max_size=20),
)
@settings(max_examples=150, deadline=None)
def test_stream_decoder_holds_at_most_one_frame_between_calls(sizes, max_frame_size, cuts):
    stream = b"".join(stream_frame(size) for size in sizes)
    decoder = QuarlStreamDecoder(max_frame_size=max_frame_size, expect_handshake=False)
    pos, i = 0, 0
    while pos < len(stream):
        chunk = stream[pos : pos + cuts[i % len(cuts)]]
        pos, i = pos + len(chunk), i + 1
        try:
            decoder.feed(chunk)
        except ValueError as error:
            # Refused from its header, and nothing kept; what follows is no longer a stream.
            assert str(error).startswith("Frame size ")
            assert decoder.pending_bytes == 0
            return
        # Whatever the chunking, only the unfinished frame (6 header bytes, then its payload) stays.
        assert decoder.pending_bytes < 6 + max_frame_size


def test_failed_frame_is_not_decoded_again_by_later_feeds(monkeypatch):
    # Later feeds raise the error again without decoding again: the value before the fault is built once.
    calls = []
    monkeypatch.setitem(sys.modules, "decimal", types.SimpleNamespace(Decimal=calls.append))
    failing = frame(doc(lst(text(0xD5, "1"), b"\x99")))
    decoder = QuarlStreamDecoder()
    for data in (failing, b"x", b"x"):
        with pytest.raises(ValueError, match=exact("Unknown tag: 0x99")):
            decoder.feed(data)
    assert calls == ["1"] and decoder.pending_bytes == len(failing) + 2
    decoder.clear()
    assert decoder.feed(frame(doc(b"\x31"))) == [1]


# --- forged inputs cost what genuine inputs of their size cost -----------------------------
# Memory is measured as the rise of the peak resident set of a fresh interpreter while it decodes.

MEASURE = r"""
import json, resource
from builders import doc, u32
from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def growth_of(action, data):
    with open("/proc/self/clear_refs", "w") as f:  # resets the high-water mark VmHWM
        f.write("5")
    before, error = rss(), None
    try:
        action(data)
    except ValueError as e:
        error = str(e)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:")) - before, error

SIZE = %(size)d
%(body)s
"""


def measure(body: str, size: int = 0):
    proc = run_python(MEASURE % {"size": size, "body": textwrap.dedent(body)}, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_nested_forged_counts_cost_what_a_genuine_document_costs():
    # Each level once reserved its declared count: 127 levels of a 4 MiB input reserved 4 GiB.
    result = measure(r"""
        # 127 nested lists, each declaring as many items as there are bytes left after its count,
        # then None bytes: the innermost list is whole, every other runs out.
        levels, fill = 127, SIZE - 6 - 5 * 127
        forged = doc(b"".join(b"\x60" + u32(5 * (levels - k - 1) + fill) for k in range(levels)) + b"\x10" * fill)
        genuine = doc(b"\x60" + u32(SIZE - 11) + b"\x10" * (SIZE - 11))
        decode = lambda d: Quarl().decode_packed(d)
        print(json.dumps({"forged": growth_of(decode, forged)[0], "genuine": growth_of(decode, genuine)[0]}))
    """, 4 * MIB)
    # The genuine list of 4M Nones needs 32 MiB of slots.
    assert result["forged"] < 2 * result["genuine"], result


def test_forged_envelope_allocates_nothing_past_its_output_and_keeps_nothing():
    # A 4 MB block of incompressible bytes declaring 255 times its size: once zero-filled
    # (a gigabyte of pages touched) and then kept by the codec until it was deleted.
    result = measure(r"""
        import random, lz4.block
        block = lz4.block.compress(doc(b"\x80" + u32(SIZE) + random.Random(1).randbytes(SIZE)), store_size=False)
        codec = Quarl()
        base = rss()
        growth, _ = growth_of(codec.decode_packed, u32(255 * len(block)) + block)
        kept = rss() - base
        # A genuine document above 64 MiB is not kept either once its value is gone.
        big = Quarl().encode_packed(bytes(100 * 2**20), True)
        base = rss()
        value = codec.decode_packed(big)
        del value
        print(json.dumps({"growth": growth, "kept": kept, "kept_big": rss() - base}))
    """, 4 * MIB)
    assert result["growth"] < 24 * MIB and result["kept"] < 16 * MIB and result["kept_big"] < 16 * MIB, result


def test_stream_decoder_refuses_a_frame_that_unpacks_past_its_limit():
    # A frame of about 300 kB whose document is 80 MB: refused from the envelope's size
    # field, before anything is allocated for it.
    result = measure(r"""
        frame = QuarlStreamEncoder().encode_frame(bytes(80_000_000))
        decoder = QuarlStreamDecoder(max_frame_size=1_000_000)
        growth, message = growth_of(decoder.feed, frame)
        print(json.dumps({"frame": len(frame), "message": message, "growth": growth}))
    """)
    assert result["frame"] < 1_000_000
    assert result["message"] == "Decompressed frame size 80000011 exceeds maximum allowed 1000000"
    assert result["growth"] < 8 * MIB, result


def records(count: int) -> list:
    return [{"id": i, "name": f"user{i}", "score": i * 1.5, "tags": ["a", "b"], "note": "x" * 60}
            for i in range(count)]


@pytest.mark.parametrize("compress", [False, True], ids=["document", "envelope"])
def test_inspect_needs_a_few_times_the_input_in_memory(tmp_path, compress):
    # The Python reader once kept about 470 bytes per input byte. Measured: the peak resident set
    # of the tool (RUSAGE_CHILDREN, in a child) less that of an interpreter that only imports it.
    path = tmp_path / "input.ql"
    path.write_bytes(Quarl().encode_packed(records(150_000), compress))
    peak = measure(f"""
        import subprocess, sys
        def peak_of(*args):
            subprocess.run([sys.executable, *args], check=True, stdout=subprocess.DEVNULL)
            return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        base = peak_of("-c", "import quarl.__main__")
        print(peak_of("-m", "quarl", "inspect", {str(path)!r}) - base)
    """)
    data = path.read_bytes()
    # A plain document is held once; an envelope's document (its size field) twice while it is unwrapped.
    document_size = int.from_bytes(data[:4], "little") if compress else len(data)
    assert peak < 3 * document_size, (peak, len(data), document_size)


def test_inspect_writes_only_the_lines_it_shows():
    # The listing walks the document once, in the decoder, and writes only the lines it shows (it once
    # took 17 times a decode): as many for 100,000 records as for 3.
    def lines(count: int) -> int:
        out = []
        _inspect.inspect(Quarl().encode_packed(records(count), False), "auto", out.append, max_items=2)
        return len(out)

    assert lines(100_000) == lines(3)
