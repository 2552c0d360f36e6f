"""Module-level calls: dumps and loads from many threads and from inside each other, dump and
load on files, iter_stream over files, pipes and sockets."""

import concurrent.futures
import datetime
import decimal
import io
import os
import socket
import threading
import uuid

import pytest

import quarl
from builders import EOS, HANDSHAKE, on_str

VALUE = {"id": uuid.UUID(int=7), "at": datetime.datetime(2026, 12, 6, 9, 30), "day": datetime.date(2026, 12, 6),
         "price": decimal.Decimal("19.99"), "raw": b"\x00\x01", "rows": [1, 2.5, None, True, "text"]}


@pytest.mark.parametrize("value", [VALUE, {"rows": list(range(1000))}], ids=["small", "enveloped when asked"])
@pytest.mark.parametrize("compress", [False, True])
def test_dumps_gives_the_codec_bytes_and_loads_reads_them(value, compress):
    data = quarl.dumps(value, compress=compress)
    assert data == quarl.Quarl().encode_packed(value, compress)
    assert quarl.loads(data) == quarl.loads(bytearray(data)) == quarl.loads(memoryview(data)) == value


def test_many_threads_at_once_each_get_their_own_bytes():
    barrier = threading.Barrier(8)

    def work(n):
        big = [{"id": i, "name": f"row-{n}-{i}", "x": i * 0.5} for i in range(40000)]  # chunks on the shared pool
        barrier.wait(timeout=30)
        assert quarl.loads(quarl.dumps(big, compress=True)) == big
        for i in range(300):
            value = {"thread": n, "i": i, "text": "x" * (i % 50), "more": [n] * (i % 300)}
            assert quarl.loads(quarl.dumps(value, compress=i % 2 == 0)) == value

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(work, range(8)))  # raises what a thread raised


def test_calls_from_inside_another_get_another_codec():
    # str() of this object, run while the outer dumps holds its codec, encodes and decodes again.
    inner = on_str(lambda: quarl.loads(quarl.dumps({"nested": [1, 2]})), "inner")
    assert quarl.loads(quarl.dumps({"outer": [inner]})) == {"outer": ["inner"]}

    def convert(obj):
        if isinstance(obj, complex):  # a hook that calls dumps with itself
            return {"re": obj.real, "packed": quarl.dumps([obj.imag], default=convert)}
        raise TypeError(f"cannot encode {type(obj).__name__}")

    out = quarl.loads(quarl.dumps({"c": 1 + 2j}, default=convert))
    assert quarl.loads(out["c"].pop("packed")) == [2.0] and out == {"c": {"re": 1.0}}
    with pytest.raises(TypeError, match="cannot encode object"):
        quarl.dumps({"o": object()}, default=convert)
    assert quarl.loads(quarl.dumps({"c": 1j})) == {"c": "1j"}  # without a hook: its str()
    with pytest.raises(TypeError):
        quarl.dumps(1, default="not callable")


def test_dump_and_load_several_values_in_a_file(tmp_path):
    path, values = tmp_path / "values.qls", [VALUE, [1, 2, 3], "x" * 5000, None, {"appended": True}]
    with open(path, "wb") as f:
        for value in values[:-1]:
            quarl.dump(value, f, compress=True)
    with open(path, "ab") as f:  # appending later: no second handshake
        quarl.dump(values[-1], f)
    data = path.read_bytes()
    assert data.startswith(HANDSHAKE) and data.count(HANDSHAKE) == 1
    with open(path, "rb") as f:
        assert [quarl.load(f) for _ in values] == values
        with pytest.raises(EOFError):
            quarl.load(f)
    # The file is a stream that the stream decoder reads as well.
    assert quarl.QuarlStreamDecoder(expect_handshake=True).feed(data) == values
    with open(path, "rb") as f:
        assert list(quarl.iter_stream(f)) == values


def test_a_frame_that_looks_like_a_handshake_is_kept_apart():
    # A frame whose payload is 19,793 bytes long begins with the bytes "QM": dump puts an empty
    # skip frame before it, so that no reader takes it for a handshake.
    value = "y" * (19793 - len(quarl.Quarl().encode_packed("", False)))
    assert quarl.Quarl().encode_frame(value, compress=False)[:2] == b"QM"
    f = io.BytesIO()
    quarl.dump(value, f)
    quarl.dump(value, f)
    assert f.getvalue().count(b"\x00\x00\x00\x00\x02\x00QM") == 2
    f.seek(0)
    assert quarl.load(f) == value and quarl.load(f) == value
    # The same through a pipe, which has no position: no handshake, and still read right.
    read_end, write_end = os.pipe()
    with open(write_end, "wb") as w:
        quarl.dump(value, w)
        quarl.dump(1, w)
    with open(read_end, "rb") as r:
        assert list(quarl.iter_stream(r)) == [value, 1]


def test_errors_for_malformed_input_cut_and_oversized_frames_and_the_end_of_the_stream():
    with pytest.raises(quarl.QuarlError):
        quarl.loads(b"XX")
    f = io.BytesIO()
    quarl.dump({"rows": list(range(100))}, f)
    data = f.getvalue()
    with pytest.raises(quarl.QuarlError, match="Truncated"):
        quarl.load(io.BytesIO(data[:-3]))
    with pytest.raises(quarl.QuarlError, match="Truncated"):
        list(quarl.iter_stream(io.BytesIO(data[:-3])))
    with pytest.raises(quarl.QuarlError, match="Frame size .* exceeds maximum allowed 10"):
        quarl.load(io.BytesIO(data), max_frame_size=10)
    with pytest.raises(EOFError):
        quarl.load(io.BytesIO(b""))
    f = io.BytesIO(data + EOS)
    assert quarl.load(f) == {"rows": list(range(100))}
    with pytest.raises(EOFError, match="end of the quarl stream"):
        quarl.load(f)


def test_iter_stream_yields_each_value_as_its_frame_arrives():
    writer, reader = socket.socketpair()
    encoder = quarl.QuarlStreamEncoder()
    with writer, reader:
        writer.sendall(encoder.get_handshake())
        values = quarl.iter_stream(reader)
        for i in range(3):
            writer.sendall(encoder.encode_frame({"seq": i}))
            assert next(values) == {"seq": i}  # would block if the value waited for more bytes
        writer.sendall(encoder.get_eos_frame() + b"after the end")
        assert list(values) == []
