"""The module frame: exported names, classes, signatures, argument conversion and the use marker."""

import gc
import inspect
import sys
import weakref

import pytest

import quarl
from quarl import Quarl, QuarlError, QuarlStreamDecoder, QuarlStreamEncoder
from quarl import _quarl

from conftest import run_python

CLASSES = [Quarl, QuarlStreamDecoder, QuarlStreamEncoder]


def test_exported_names():
    assert _quarl.__all__ == ["__version__", "Quarl", "QuarlStreamDecoder", "QuarlStreamEncoder", "QuarlError"]
    assert _quarl.__version__ == quarl.__version__ == "1.7.0"
    assert _quarl.__doc__ == ""
    assert QuarlError is ValueError


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_final_builtins_without_dict(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


SIGNATURES = [
    (Quarl, "(*, default=None)"),
    (QuarlStreamEncoder, "(*, default=None)"),
    (QuarlStreamDecoder, "(*, max_frame_size=Ellipsis, expect_handshake=None)"),
    (Quarl.encode_packed, "(self, /, obj, compress)"),
    (Quarl.decode_packed, "(self, /, bytes, *, decompress=True)"),
    (Quarl.encode_frame, "(self, /, obj, *, compress=True)"),
    (Quarl.get_stream_handshake, "()"),
    (Quarl.get_eos_frame, "()"),
    (QuarlStreamEncoder.encode_frame, "(self, /, obj, *, compress=True)"),
    (QuarlStreamEncoder.get_handshake, "()"),
    (QuarlStreamEncoder.get_eos_frame, "()"),
    (QuarlStreamDecoder.feed, "(self, /, chunk)"),
    (QuarlStreamDecoder.clear, "(self, /)"),
    (QuarlStreamDecoder.reset, "(self, /)"),
]


@pytest.mark.parametrize("func, expected", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", v))
def test_signatures(func, expected):
    assert str(inspect.signature(func)) == expected


def test_text_signatures_as_stored():
    assert QuarlStreamDecoder.__text_signature__ == "(*, max_frame_size=..., expect_handshake=None)"
    assert Quarl.encode_packed.__text_signature__ == "($self, obj, compress)"
    assert Quarl.__text_signature__ == "(*, default=None)"


def test_static_methods_work_on_class_and_instance():
    assert Quarl.get_stream_handshake() == Quarl().get_stream_handshake() == b"QM\x01\x00"
    assert QuarlStreamEncoder.get_handshake() == b"QM\x01\x00"
    assert Quarl.get_eos_frame() == Quarl().get_eos_frame() == QuarlStreamEncoder.get_eos_frame() == bytes(6)


BINDING_ERRORS = [
    (lambda q: q.encode_packed(1, 1), TypeError, "compress"), (lambda q: q.encode_packed(1, None), TypeError, "compress"),
    (lambda q: q.encode_packed(1), TypeError, "compress"), (lambda q: q.encode_packed(1, True, 3), TypeError, None),
    (lambda q: q.encode_packed(1, compress=True, extra=1), TypeError, None),
    (lambda q: q.decode_packed(bytearray(b"QL")), TypeError, "bytes"),
    (lambda q: q.decode_packed(memoryview(b"QL")), TypeError, "bytes"),
    (lambda q: q.decode_packed(b"QL", False), TypeError, None),
    (lambda q: q.decode_packed(b"QL", decompress=0), TypeError, "decompress"),
    (lambda q: q.encode_frame(1, True), TypeError, None), (lambda q: q.encode_frame(1, compress=1), TypeError, "compress"),
    (lambda q: Quarl(1), TypeError, None), (lambda q: QuarlStreamEncoder(x=1), TypeError, None),
    (lambda q: QuarlStreamDecoder(1024), TypeError, None),
    (lambda q: QuarlStreamDecoder(expect_handshake=1), TypeError, "expect_handshake"),
    (lambda q: QuarlStreamDecoder(max_frame_size="64"), TypeError, "max_frame_size"),
    (lambda q: QuarlStreamDecoder(max_frame_size=1.5), TypeError, "max_frame_size"),
    (lambda q: QuarlStreamDecoder(max_frame_size=-1), OverflowError, None),
    (lambda q: QuarlStreamDecoder(max_frame_size=2**64), OverflowError, None),
    (lambda q: QuarlStreamDecoder().feed(bytearray(b"x")), TypeError, "chunk"),
    (lambda q: QuarlStreamDecoder().clear(1), TypeError, None), (lambda q: QuarlStreamDecoder().reset(1), TypeError, None),
    (lambda q: Quarl.encode_packed(object(), 1, True), TypeError, None),
]


@pytest.mark.parametrize("call, error, names", BINDING_ERRORS)
def test_binding_and_conversion_errors(call, error, names):
    with pytest.raises(error) as info:
        call(Quarl())
    if names:
        assert names in str(info.value)


def test_accepted_argument_forms():
    codec = Quarl()
    assert codec.encode_packed(obj=None, compress=False) == codec.encode_packed(None, False)

    class SubBytes(bytes):
        pass

    assert codec.decode_packed(SubBytes(codec.encode_packed(7, False)), decompress=False) == 7

    class Index:
        def __index__(self):
            return 5

    QuarlStreamDecoder(max_frame_size=Index(), expect_handshake=True)
    QuarlStreamDecoder(max_frame_size=2**64 - 1, expect_handshake=False)
    # Booleans are refused here as in every other argument.
    for flag in (True, False):
        with pytest.raises(TypeError, match="max_frame_size"):
            QuarlStreamDecoder(max_frame_size=flag)


def test_reentrant_call_is_refused_and_codec_recovers():
    codec = Quarl()
    seen = []

    def reenter_and_catch(self):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            codec.encode_packed(1, False)
        seen.append(True)
        return "ok"

    caught = type("Reenters", (), {"isoformat": reenter_and_catch})()
    assert codec.decode_packed(codec.encode_packed([caught], False)) == ["ok"]
    assert seen == [True]
    assert codec.decode_packed(codec.encode_packed(5, False)) == 5
    # The error escaping the callback ends the encode.
    escaping = type("Reenters", (), {"isoformat": lambda self: codec.encode_frame(1)})()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        codec.encode_packed(escaping, False)
    assert codec.encode_packed(None, False) == bytes.fromhex("514c0001000010")


def test_second_initialisation_fails_in_the_same_process():
    result = run_python(
        """
        import importlib, sys
        import quarl._quarl as first
        del sys.modules["quarl._quarl"]
        try:
            importlib.import_module("quarl._quarl")
        except ImportError as e:
            print("ImportError", e)
        first.Quarl().encode_packed(None, False)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError")


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="None, True, False and small ints are immortal from "
                    "CPython 3.12 on: their counts mean nothing (and drift under a module built for 3.11)")
def test_codec_life_leaves_cached_object_counts_unchanged():
    # A codec that leaks or over-releases one of these objects moves its count by at least
    # one per codec life (500 here). The interpreter's own count of None drifts by a few
    # dozen while its caches settle, in a child process and under the test runner alike.
    result = run_python("""
        import gc, sys
        from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

        def codec_lives(n):
            for _ in range(n):
                codec = Quarl()
                codec.decode_packed(codec.encode_packed({"a": [None, True, False, *range(16)]}, False))
                QuarlStreamDecoder()
                QuarlStreamEncoder()
                del codec
            gc.collect()

        watched = [None, True, False, *range(16)]
        codec_lives(300)
        before = [sys.getrefcount(o) for o in watched]
        codec_lives(500)
        after = [sys.getrefcount(o) for o in watched]
        print(max(abs(a - b) for a, b in zip(after, before)))
    """)
    assert int(result.stdout) < 50, result.stderr
