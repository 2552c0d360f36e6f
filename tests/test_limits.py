"""What hostile input can cost: the bounds that docs/security.md promises.

Most bounds are proved beside the feature they guard (test_decode.py, test_compression.py,
test_encode.py, test_stream.py); the ones here are those no other test pins down.
"""

import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from builders import doc, exact, frame, lz4_block, u32
from conftest import run_python
from quarl import Quarl, QuarlStreamDecoder

# The most output one byte of an LZ4 block can stand for.
LZ4_MAX_RATIO = 255
FRAME_HEADER_SIZE = 6
DOCUMENT = doc(b"\x80" + u32(3) + b"abc")
BLOCK = lz4_block(DOCUMENT)


def decode(data: bytes, decompress: bool = True):
    return Quarl().decode_packed(data, decompress=decompress)


# A declared size beyond 255 times the compressed bytes is never believed.
def test_single_block_declared_at_and_past_the_ratio():
    # Declared at the ratio but yielding less, or declared past it: either way a failed
    # single-block attempt, and the input read as a parallel envelope, which its first
    # block bytes cannot form.
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
    message = (f"LZ4 chunk decompression failed: the declared {declared} bytes are more than "
               f"{len(BLOCK)} compressed bytes can hold")
    with pytest.raises(ValueError, match=exact(message)):
        decode(envelope(declared))


def peak_per_input_byte(data: bytes) -> float:
    tracemalloc.start()
    try:
        value = decode(data, decompress=False)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del value
    return peak / len(data)


def repeated_list(element: bytes, count: int) -> bytes:
    return doc(b"\x60" + u32(count) + element * count)


# The cheapest encodings of the costliest objects the decoder builds.
@pytest.mark.parametrize(
    "data",
    [
        repeated_list(b"\x10", 100_000),
        repeated_list(b"\x40" + bytes(8), 50_000),
        repeated_list(b"\x60" + u32(0), 50_000),
        repeated_list(b"\x70\x7f", 50_000),
        repeated_list(b"\xd5" + u32(1) + b"0", 20_000),
        repeated_list(b"\xd2" + u32(10) + b"2024-01-02", 20_000),
        doc(b"\x90" + u32(50_000) + bytes(8 * 50_000)),
    ],
    ids=["none", "float", "empty list", "empty dict", "decimal", "date", "float array"],
)
def test_decoded_objects_cost_a_bounded_multiple_of_the_input(data):
    # An empty dict is the worst: 2 bytes in, about 72 bytes out (object and list slot).
    assert peak_per_input_byte(data) < 48


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
            # Refused from its header: nothing of the frame (or before it) is kept.
            # What follows is the refused frame's payload, no longer a stream.
            assert str(error).startswith("Frame size ")
            assert decoder.pending_bytes == 0
            return
        # Whatever the chunking, only the unfinished frame stays, and only while
        # it is within the limit.
        assert decoder.pending_bytes < FRAME_HEADER_SIZE + max_frame_size


# --- forged inputs cost what genuine inputs of their size cost -----------------------------
#
# Memory is measured as the peak resident set of a fresh interpreter that builds one input and
# decodes it; time as the ratio of a forged input's decode to a genuine one's of the same size.

MEASURE = r"""
import json, resource, struct, sys, time
from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

def u32(n):
    return struct.pack("<I", n)

def doc(value):
    return b"QL\x00\x01\x00\x00" + value

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def peak():
    # The high-water mark of the resident set since the last reset_peak().
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

def elapsed(action, data):
    start = time.perf_counter()
    try:
        action(data)
    except ValueError:
        pass
    return time.perf_counter() - start

def growth_of(action, data):
    reset_peak()
    before = rss()
    elapsed(action, data)
    return peak() - before

def time_ratio(action, forged, genuine, rounds=9):
    # The best time of each, taken in turns so that load on the machine weighs on both alike.
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, data in enumerate((forged, genuine)):
            best[i] = min(best[i], elapsed(action, data))
    return best[0] / best[1]

SIZE = %(size)d

def nested_forged(size):
    # 127 nested lists, each declaring as many items as there are bytes left after
    # its count, then None bytes: the innermost list is whole, every other runs out.
    levels = 127
    fill = size - 6 - 5 * levels
    value = b"".join(b"\x60" + u32(5 * (levels - k - 1) + fill) for k in range(levels))
    return doc(value + b"\x10" * fill)

def flat_genuine(size):
    return doc(b"\x60" + u32(size - 11) + b"\x10" * (size - 11))

%(body)s
"""


def measure(body: str, size: int) -> dict:
    import json
    import textwrap

    proc = run_python(MEASURE % {"size": size, "body": textwrap.dedent(body)}, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


MIB = 1024 * 1024


def test_nested_forged_counts_cost_what_a_genuine_document_costs():
    # Each level once reserved eight bytes per declared item before anything failed: 127
    # levels of a 4 MiB input reserved 4 GiB of address space, and decoding took 10 to 40
    # times as long as a genuine list of the same size.
    result = measure(r"""
        forged, genuine = nested_forged(SIZE), flat_genuine(SIZE)
        decode = lambda d: Quarl().decode_packed(d)
        print(json.dumps({"forged": growth_of(decode, forged), "genuine": growth_of(decode, genuine),
                          "ratio": time_ratio(decode, forged, genuine)}))
    """, 4 * MIB)
    # The genuine list of 4M Nones needs 32 MiB of slots.
    assert result["forged"] < 2 * result["genuine"], result
    assert result["ratio"] < 5, result


def test_forged_envelope_allocates_nothing_past_its_output_and_keeps_nothing():
    # A 4 MB block of incompressible bytes declaring 255 times its size: once zero-filled
    # (a gigabyte of pages touched) and then kept by the codec until it was deleted.
    result = measure(r"""
        import random
        document = doc(b"\x80" + u32(SIZE) + random.Random(1).randbytes(SIZE))
        import lz4.block
        block = lz4.block.compress(document, store_size=False)
        forged = u32(255 * len(block)) + block
        genuine = u32(len(document)) + block
        codec = Quarl()
        base = rss()
        growth = growth_of(codec.decode_packed, forged)
        kept = rss() - base
        # Each on a fresh codec, whose buffer the decode has to grow.
        ratio = time_ratio(lambda d: Quarl().decode_packed(d), forged, genuine)
        # A genuine document above 64 MiB is not kept either once its value is gone.
        big = Quarl().encode_packed(bytes(100 * 2**20), True)
        base = rss()
        value = codec.decode_packed(big)
        del value
        print(json.dumps({"growth": growth, "kept": kept, "ratio": ratio, "kept_big": rss() - base}))
    """, 4 * MIB)
    assert result["growth"] < 24 * MIB, result
    assert result["kept"] < 16 * MIB, result
    assert result["kept_big"] < 16 * MIB, result
    assert result["ratio"] < 5, result


def test_stream_decoder_refuses_a_frame_that_unpacks_past_its_limit():
    # A frame of about 300 kB whose document is 80 MB: refused from the envelope's size
    # field, before anything is allocated for it.
    result = measure(r"""
        frame = QuarlStreamEncoder().encode_frame(bytes(80_000_000))
        decoder = QuarlStreamDecoder(max_frame_size=1_000_000)
        growth = growth_of(decoder.feed, frame)
        try:
            decoder.feed(b"x")
        except ValueError as error:
            message = str(error)
        print(json.dumps({"frame": len(frame), "message": message, "growth": growth}))
    """, 0)
    assert result["frame"] < 1_000_000
    assert result["message"] == "Decompressed frame size 80000011 exceeds maximum allowed 1000000"
    assert result["growth"] < 8 * MIB, result


def test_failed_frame_is_not_decoded_again_by_later_feeds():
    # A 16 MB frame that fails at its last byte: each later one-byte feed raises the same
    # error at once instead of decoding the whole frame again.
    result = measure(r"""
        count = 16_000_000
        payload = doc(b"\x60" + u32(count) + b"\x10" * (count - 1) + b"\x99")
        frame = u32(len(payload)) + b"\x01\x00" + payload
        decoder = QuarlStreamDecoder()
        start = time.perf_counter()
        try:
            decoder.feed(frame)
        except ValueError as error:
            first = str(error)
        first_time = time.perf_counter() - start
        messages = set()
        start = time.perf_counter()
        for _ in range(100):
            try:
                decoder.feed(b"x")
            except ValueError as error:
                messages.add(str(error))
        later_time = time.perf_counter() - start
        pending = decoder.pending_bytes
        decoder.clear()
        after_clear = decoder.feed(u32(7) + b"\x01\x00" + doc(b"\x31"))
        print(json.dumps({"first": first, "messages": sorted(messages), "ratio": later_time / first_time,
                          "pending": pending, "frame": len(frame), "after_clear": after_clear}))
    """, 0)
    assert result["first"] == "Unknown tag: 0x99"
    assert result["messages"] == ["Unknown tag: 0x99"]
    assert result["pending"] == result["frame"] + 100
    assert result["after_clear"] == [1]
    # A hundred later feeds together cost less than a tenth of the one decode.
    assert result["ratio"] < 0.1, result


INSPECT_INPUT = r"""
import sys
from quarl import Quarl
value = [{"id": i, "name": f"user{i}", "score": i * 1.5, "tags": ["a", "b"], "note": "x" * 60}
         for i in range(150_000)]
with open(sys.argv[1], "wb") as f:
    f.write(Quarl().encode_packed(value, sys.argv[2] == "compress"))
"""

INSPECT_PEAK = r"""
import resource, subprocess, sys
def peak_of(args):
    subprocess.run([sys.executable, *args], check=True, stdout=subprocess.DEVNULL)
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
base = peak_of(["-c", "import quarl.__main__"])
print(peak_of(["-m", "quarl", "inspect", sys.argv[1]]) - base)
"""


@pytest.mark.parametrize("form", ["plain", "compress"], ids=["document", "envelope"])
def test_inspect_needs_a_few_times_the_input_in_memory(tmp_path, form):
    # The Python reader once kept about 470 bytes per input byte. Measured: the peak resident
    # set of the tool (RUSAGE_CHILDREN, in a child) less that of an interpreter that only
    # imports it.
    import subprocess
    import sys

    path = tmp_path / "input.ql"
    subprocess.run([sys.executable, "-c", INSPECT_INPUT, str(path), form], check=True, cwd=tmp_path)
    proc = subprocess.run([sys.executable, "-c", INSPECT_PEAK, str(path)], capture_output=True, text=True,
                          cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stderr
    data = path.read_bytes()
    # A plain document is held once; an envelope's document (its size field) twice while
    # it is unwrapped.
    document_size = len(data) if form == "plain" else int.from_bytes(data[:4], "little")
    assert int(proc.stdout) < 3 * document_size, (int(proc.stdout), len(data), document_size)


def test_inspect_takes_the_time_of_a_decode():
    # The listing walks the document once, in the decoder, and shows only what it lists:
    # its time is compared with a plain decode of the same document (once 17 times that).
    result = measure(r"""
        from quarl import _inspect
        value = [{"id": i, "name": f"user{i}", "score": i * 1.5, "tags": ["a", "b"], "note": "x" * 60}
                 for i in range(SIZE)]
        data = Quarl().encode_packed(value, False)
        def inspect(d):
            _inspect.inspect(d, "auto", [].append, max_items=100)
            return d
        inspect_time = min(elapsed(inspect, data) for _ in range(5))
        decode_time = min(elapsed(Quarl().decode_packed, data) for _ in range(5))
        print(json.dumps({"ratio": inspect_time / decode_time}))
    """, 200_000)
    assert result["ratio"] < 3, result
