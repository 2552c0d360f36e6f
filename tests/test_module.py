"""The module frame: exported names, classes, signatures, argument conversion and the use marker."""

import gc
import weakref

import pytest

import quarl
from quarl import Quarl, QuarlError, QuarlStreamDecoder, QuarlStreamEncoder
from quarl import _quarl

from conftest import run_python


def test_exported_names_and_static_methods():
    assert _quarl.__all__ == ["__version__", "Quarl", "QuarlStreamDecoder", "QuarlStreamEncoder", "QuarlError"]
    assert _quarl.__version__ == quarl.__version__ == "1.7.0"
    assert _quarl.__doc__ == ""
    assert QuarlError is ValueError
    assert Quarl.get_stream_handshake() == Quarl().get_stream_handshake() == QuarlStreamEncoder.get_handshake()
    assert QuarlStreamEncoder.get_handshake() == b"QM\x01\x00"
    assert Quarl.get_eos_frame() == Quarl().get_eos_frame() == QuarlStreamEncoder.get_eos_frame() == bytes(6)


@pytest.mark.parametrize("cls", [Quarl, QuarlStreamDecoder, QuarlStreamEncoder])
def test_classes_are_final_immutable_builtins_without_dict(cls):
    assert cls.__module__ == "builtins" and cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for name in ("encode_packed", "feed", "anything"):
        with pytest.raises(TypeError, match="immutable"):
            setattr(cls, name, None)
    obj = cls()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


# Only a `default` can close a reference cycle through a codec.
@pytest.mark.parametrize("cls", [Quarl, QuarlStreamEncoder])
def test_a_codec_in_a_cycle_through_its_default_is_collected(cls):
    def hook(obj):
        return None

    hook.codec = cls(default=hook)
    assert gc.is_tracked(hook.codec)
    alive = weakref.ref(hook)
    del hook
    gc.collect()
    assert alive() is None


BINDING_ERRORS = [
    (lambda q: q.encode_packed(1, 1), TypeError, "compress"), (lambda q: q.encode_packed(1, None), TypeError, "compress"),
    (lambda q: q.encode_packed(1), TypeError, "compress"), (lambda q: q.encode_packed(1, True, 3), TypeError, None),
    (lambda q: q.encode_packed(1, compress=True, extra=1), TypeError, None),
    (lambda q: q.decode_packed(bytearray(b"QL")), TypeError, "bytes"),
    (lambda q: q.decode_packed(memoryview(b"QL")), TypeError, "bytes"),
    (lambda q: q.decode_packed(b"QL", False), TypeError, None),
    (lambda q: q.decode_packed(b"QL", decompress=0), TypeError, "decompress"),
    (lambda q: q.encode_frame(1, True), TypeError, None), (lambda q: q.encode_frame(1, compress=1), TypeError, "compress"),
    (lambda q: Quarl(1), TypeError, None), (lambda q: Quarl(print), TypeError, None),
    (lambda q: Quarl(default=3), TypeError, "default"), (lambda q: QuarlStreamEncoder(x=1), TypeError, None),
    (lambda q: QuarlStreamDecoder(1024), TypeError, None),
    (lambda q: QuarlStreamDecoder(expect_handshake=1), TypeError, "expect_handshake"),
    # Booleans are refused as sizes, as in every other argument.
    *[(lambda q, size=size: QuarlStreamDecoder(max_frame_size=size), TypeError, "max_frame_size")
      for size in ("64", 1.5, True, False)],
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
    assert codec.encode_packed(obj=None, compress=False) == Quarl(default=None).encode_packed(None, False)
    assert codec.decode_packed(type("SubBytes", (bytes,), {})(codec.encode_packed(7, False)), decompress=False) == 7
    QuarlStreamDecoder(max_frame_size=type("Index", (), {"__index__": lambda self: 5})(), expect_handshake=True)
    QuarlStreamDecoder(max_frame_size=2**64 - 1, expect_handshake=False)


def test_reentrant_call_is_refused_and_codec_recovers():
    def reenter(obj):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            codec.encode_packed(1, False)
        return "ok"

    codec = Quarl(default=reenter)
    assert codec.decode_packed(codec.encode_packed([object()], False)) == ["ok"]
    # The error escaping the callback ends the encode.
    escaping = type("Reenters", (), {"isoformat": lambda self: codec.encode_frame(1)})()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        codec.encode_packed(escaping, False)
    assert codec.encode_packed(None, False) == bytes.fromhex("514c0001000010")


def test_second_initialisation_fails_in_the_same_process():
    result = run_python("""
        import importlib, sys
        import quarl._quarl as first
        del sys.modules["quarl._quarl"]
        try:
            importlib.import_module("quarl._quarl")
        except ImportError as e:
            print("ImportError", e)
        first.Quarl().encode_packed(None, False)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError")
