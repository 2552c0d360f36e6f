"""Module-level calls: dumps and loads from many threads and from inside each other, dump and
load on files, iter_stream over files, pipes and sockets."""

import datetime
import decimal
import io
import os
import socket
import threading
import uuid

import pytest

import quarl

VALUE = {
    "id": uuid.UUID(int=7),
    "at": datetime.datetime(2026, 12, 6, 9, 30),
    "day": datetime.date(2026, 12, 6),
    "price": decimal.Decimal("19.99"),
    "raw": b"\x00\x01",
    "rows": [1, 2.5, None, True, "text"],
}


def test_dumps_gives_the_codec_bytes_and_loads_reads_them():
    for compress in (False, True):
        data = quarl.dumps(VALUE, compress=compress)
        assert data == quarl.Quarl().encode_packed(VALUE, compress)
        assert quarl.loads(data) == VALUE
    big = {"rows": list(range(1000))}
    assert quarl.dumps(big, compress=True)[:2] != b"QL"  # an envelope
    assert quarl.loads(quarl.dumps(big, compress=True)) == big
    data = quarl.dumps(VALUE)
    assert quarl.loads(bytearray(data)) == quarl.loads(memoryview(data)) == VALUE
    with pytest.raises(quarl.QuarlError):
        quarl.loads(b"XX")
    with pytest.raises(TypeError):
        quarl.dumps(VALUE, compress=1)
    with pytest.raises(TypeError):
        quarl.loads("text")


def test_many_threads_at_once_each_get_their_own_bytes():
    errors = []
    barrier = threading.Barrier(8)

    def work(n):
        try:
            barrier.wait()
            for i in range(300):
                value = {"thread": n, "i": i, "text": "x" * (i % 50), "more": [n] * (i % 300)}
                data = quarl.dumps(value, compress=i % 2 == 0)
                assert quarl.loads(data) == value
        except BaseException as error:  # noqa: BLE001 (reported below)
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not errors


class Reentrant:
    """Encodes another document while it is being encoded itself (through its __dict__)."""

    @property
    def __dict__(self):
        return {"inner": quarl.loads(quarl.dumps({"nested": [1, 2]}))}


def test_a_call_from_inside_another_gets_another_codec():
    assert quarl.loads(quarl.dumps({"outer": Reentrant()})) == {"outer": {"inner": {"nested": [1, 2]}}}
    # Nested as deep as it goes: each level holds one codec.
    value = Reentrant()
    for _ in range(20):
        value = {"outer": value}
    assert "nested" in repr(quarl.loads(quarl.dumps(value)))


def test_default_hook_converts_or_refuses_and_may_call_dumps_again():
    class Point:
        __slots__ = ("x", "y")

        def __init__(self, x, y):
            self.x, self.y = x, y

    def convert(obj):
        if isinstance(obj, Point):
            # A hook that encodes on its own: the call in progress keeps its codec.
            return {"x": obj.x, "y": obj.y, "packed": quarl.dumps([obj.x, obj.y], default=convert)}
        raise TypeError(f"cannot encode {type(obj).__name__}")

    out = quarl.loads(quarl.dumps({"p": Point(1, 2)}, default=convert))
    assert quarl.loads(out["p"].pop("packed")) == [1, 2]
    assert out == {"p": {"x": 1, "y": 2}}
    with pytest.raises(TypeError, match="cannot encode complex"):
        quarl.dumps({"c": 1j}, default=convert)
    assert quarl.loads(quarl.dumps({"c": 1j})) == {"c": "1j"}  # without a hook: its str()
    with pytest.raises(TypeError):
        quarl.dumps(1, default="not callable")


def test_dump_and_load_several_values_in_a_file(tmp_path):
    path = tmp_path / "values.qls"
    values = [VALUE, [1, 2, 3], "x" * 5000, None]
    with open(path, "wb") as f:
        for value in values:
            quarl.dump(value, f, compress=True)
    with open(path, "ab") as f:  # appending later: no second handshake
        quarl.dump({"appended": True}, f)
    data = path.read_bytes()
    assert data.startswith(quarl.Quarl.get_stream_handshake())
    assert data.count(quarl.Quarl.get_stream_handshake()) == 1
    with open(path, "rb") as f:
        assert [quarl.load(f) for _ in range(5)] == [*values, {"appended": True}]
        with pytest.raises(EOFError):
            quarl.load(f)
    # The file is a stream that the stream decoder reads as well.
    assert quarl.QuarlStreamDecoder(expect_handshake=True).feed(data) == [*values, {"appended": True}]
    with open(path, "rb") as f:
        assert list(quarl.iter_stream(f)) == [*values, {"appended": True}]


def test_load_reads_a_stream_written_by_a_stream_encoder():
    encoder = quarl.QuarlStreamEncoder()
    stream = encoder.get_handshake() + encoder.encode_frame(1) + encoder.encode_frame([2]) + encoder.get_eos_frame()
    f = io.BytesIO(stream)
    assert quarl.load(f) == 1 and quarl.load(f) == [2]
    with pytest.raises(EOFError, match="end of the quarl stream"):
        quarl.load(f)


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
    f.seek(0)
    assert list(quarl.iter_stream(f)) == [value, value]
    # The same through a pipe, which has no position: no handshake, and still read right.
    read_end, write_end = os.pipe()
    with open(write_end, "wb") as w:
        quarl.dump(value, w)
        quarl.dump(1, w)
    with open(read_end, "rb") as r:
        assert list(quarl.iter_stream(r)) == [value, 1]


def test_load_errors_for_cut_and_oversized_frames():
    f = io.BytesIO()
    quarl.dump({"rows": list(range(100))}, f)
    data = f.getvalue()
    with pytest.raises(quarl.QuarlError, match="Truncated"):
        quarl.load(io.BytesIO(data[:-3]))
    with pytest.raises(EOFError):
        quarl.load(io.BytesIO(b""))
    with pytest.raises(quarl.QuarlError, match="Frame size .* exceeds maximum allowed 10"):
        quarl.load(io.BytesIO(data), max_frame_size=10)
    with pytest.raises(quarl.QuarlError, match="Truncated"):
        list(quarl.iter_stream(io.BytesIO(data[:-3])))


def test_iter_stream_yields_each_value_as_its_frame_arrives():
    writer, reader = socket.socketpair()
    encoder = quarl.QuarlStreamEncoder()
    got = []
    with writer, reader:
        writer.sendall(encoder.get_handshake())
        values = quarl.iter_stream(reader)
        for i in range(3):
            writer.sendall(encoder.encode_frame({"seq": i}))
            got.append(next(values))  # would block if the value waited for more bytes
        writer.sendall(encoder.get_eos_frame() + b"after the end")
        assert list(values) == []
    assert got == [{"seq": 0}, {"seq": 1}, {"seq": 2}]
