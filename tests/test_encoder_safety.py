"""Hostile callers of the encoder: callbacks that change classes, re-enter, raise interrupts
or mutate what is being written. Cases that used to crash run in a child process, which must exit
normally and print what the encode gave."""

import enum
import gc
import json
import sys
import uuid

import pytest

from quarl import Quarl, QuarlStreamDecoder, QuarlStreamEncoder

from conftest import run_python


def encode(obj) -> bytes:
    return Quarl().encode_packed(obj, False)


def decode(data: bytes):
    return Quarl().decode_packed(data)


def one_by_one(items) -> bytes:
    """The general walk's document for a list: a tuple is written the same way but never as a batch."""
    return encode(tuple(items))


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - interrupts are what is tested
        return (type(error).__name__, str(error))


def run_child(code: str):
    proc = run_python(code)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Plain:
    def __init__(self, **fields):
        self.__dict__.update(fields)


# --- 1. A class that changes (and is freed) while its objects are written ------------------


def test_class_replaced_and_collected_by_a_callback_in_a_batch():
    result = run_child("""
        import gc, json
        import quarl

        class Plain:
            pass

        class Row:
            def __init__(self, value):
                self.value = value

        def shifty():
            class Shifty:
                def __getattr__(self, name):
                    self.__class__ = Plain
                    gc.collect()
                    raise AttributeError(name)
            return Shifty()

        for make in (list, tuple):
            rows = make(Row(shifty()) for _ in range(12))
            data = quarl.Quarl().encode_packed(rows, False)
            decoded = quarl.Quarl().decode_packed(data)
        print(json.dumps(decoded))
    """)
    assert result == [{"value": {}}] * 12


# --- 2. Nested encodes count against Python's recursion limit ------------------------------


NESTED_ENCODES = """
    import json, sys, threading
    import quarl

    def nest(levels, inner):
        for _ in range(levels):
            inner = [inner]
        return inner

    class Again:
        def isoformat(self):
            return quarl.Quarl().encode_packed(nest(126, Again()), False).hex()

    def attempt(result):
        try:
            quarl.Quarl().encode_packed(nest(126, Again()), False)
            result.append("no error")
        except RecursionError:
            result.append("RecursionError")

    result = []
    if sys.argv[1:] == ["thread"] or THREAD:
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=attempt, args=(result,))
        worker.start()
        worker.join()
    else:
        attempt(result)
    print(json.dumps(result))
"""


# On CPython 3.13 the nested encodes overflow a 1 MiB thread stack (the child dies of SIGSEGV)
# before any recursion check fires: a known fault of the encoder, marked so that the 3.13 suite
# reports it without failing every other run.
ON_313_THREAD = pytest.mark.xfail(sys.version_info >= (3, 13), reason="CPython 3.13: C stack overflow in a "
                                  "1 MiB thread before RecursionError (known encoder fault)", strict=False)


@pytest.mark.parametrize("thread", [False, pytest.param(True, marks=ON_313_THREAD)],
                         ids=["main thread", "thread with a 1 MiB stack"])
def test_nested_encodes_end_in_recursion_error(thread):
    assert run_child(f"THREAD = {thread}\n" + NESTED_ENCODES.replace("\n    ", "\n")) == ["RecursionError"]


# --- 3. Interrupts and fatal errors are never swallowed ------------------------------------


class Interrupting:
    """Raises `error` from the attribute `name`, which the walk reads while deciding."""

    def __init__(self, name, error):
        self._name = name
        self._error = error

    def __getattr__(self, name):
        if name == self._name:
            raise self._error
        raise AttributeError(name)


class InterruptingMember(enum.Enum):
    A = 1

    @property
    def value(self):
        raise KeyboardInterrupt


class InterruptingDict:
    @property
    def __dict__(self):
        raise KeyboardInterrupt


class InterruptingKey:
    def __str__(self):
        raise KeyboardInterrupt

    def __hash__(self):
        return 1


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("name", ["isoformat", "hex"])
@pytest.mark.parametrize("batch", [False, True], ids=["alone", "in a batch"])
def test_interrupts_from_attribute_steps_end_the_encode(error, name, batch):
    obj = Interrupting(name, error())
    value = [Plain(a=1, b=obj if i == 4 else i) for i in range(10)] if batch else obj
    assert outcome(lambda: encode(value))[0] == error.__name__


@pytest.mark.parametrize(
    "value",
    [InterruptingMember.A, InterruptingDict(), {InterruptingKey(): 1},
     [Plain(a=InterruptingMember.A) for _ in range(10)], [Plain(a=InterruptingDict()) for _ in range(10)]],
    ids=["enum value", "__dict__", "str of a key", "enum value in a batch", "__dict__ in a batch"],
)
def test_keyboard_interrupt_reaches_the_caller(value):
    assert outcome(lambda: encode(value))[0] == "KeyboardInterrupt"


def test_ordinary_errors_of_a_key_stay_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda unraisable: seen.append(unraisable.exc_type))

    class Bad:
        def __str__(self):
            raise ValueError("no text")

    assert decode(encode({Bad(): 1})) == {"<unprintable Bad object>": 1}
    assert seen == [ValueError]


# --- 4. The batch is the general walk, and runs each callback once -------------------------


class Counted:
    calls = 0

    def isoformat(self):
        Counted.calls += 1
        return f"t{Counted.calls}"


def test_every_callback_runs_once_per_object():
    Counted.calls = 0
    items = [Plain(when=Counted(), n=i) for i in range(10)]
    items[7].n = 2**70  # a value the old fast paths gave up on
    decoded = decode(encode(items))
    assert Counted.calls == 10
    assert [item["when"] for item in decoded] == [f"t{i}" for i in range(1, 11)]


class PerInstance:
    def __init__(self, iso):
        self._iso = iso

    def __getattr__(self, name):
        if name == "isoformat" and self._iso:
            return lambda: "from __getattr__"
        raise AttributeError(name)


class ServedDict:
    def __init__(self, i):
        self.i = i

    def __getattribute__(self, name):
        if name == "__dict__" and object.__getattribute__(self, "i") == 5:
            return {"served": True}
        return object.__getattribute__(self, name)


class Mutating:
    """Written as its str() (it has no __dict__), which runs `action`."""

    __slots__ = ("action",)

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "mutated"


def five_cases():
    """Fresh classes for every call: the cases change them."""

    class Grows:
        pass

    class Mood(enum.Enum):
        HAPPY = "happy"

    grows = [Plain(a=Grows(), b=Mutating(lambda: setattr(Grows, "isoformat", lambda self: "grown"))
                   if i == 3 else 0) for i in range(10)]
    moods = [Plain(m=Mood.HAPPY, x=Mutating(lambda: setattr(Mood.HAPPY, "_value_", "sad")) if i == 2 else 0)
             for i in range(10)]
    return {
        "isoformat per instance": [Plain(v=PerInstance(i % 3 == 0)) for i in range(10)],
        "__dict__ per instance": [ServedDict(i) for i in range(10)],
        "class gains isoformat": grows,
        "enum value changed": moods,
    }


@pytest.mark.parametrize("name", list(five_cases()))
def test_batch_writes_what_the_general_walk_writes(name):
    batch = encode(five_cases()[name])
    walk = one_by_one(five_cases()[name])
    assert batch == walk
    if name == "class gains isoformat":
        decoded = decode(batch)
        assert decoded[2]["a"] == {} and decoded[4]["a"] == "grown"
    if name == "enum value changed":
        decoded = decode(batch)
        assert [item["m"] for item in decoded] == ["happy"] * 3 + ["sad"] * 7
    if name == "isoformat per instance":
        assert [item["v"] for item in decode(batch)] == ["from __getattr__" if i % 3 == 0 else {"_iso": False}
                                                         for i in range(10)]
    if name == "__dict__ per instance":
        assert decode(batch)[5] == {"served": True}


# --- 5. Arrays are read when they are met ----------------------------------------------------


def test_a_large_array_changed_later_in_the_encode_keeps_its_contents():
    np = pytest.importorskip("numpy")
    array = np.zeros(16384)  # 128 KiB: once spliced into the result at the end of the call
    later = Mutating(lambda: array.fill(1.0))
    assert decode(encode([array, later])) == [[0.0] * 16384, "mutated"]


def test_a_large_array_resized_later_in_the_encode():
    result = run_child("""
        import json
        import numpy as np
        import quarl

        array = np.arange(20000, dtype=np.float64)

        class Later:
            __slots__ = ()

            def __str__(self):
                array.resize(10, refcheck=False)
                return "resized"

        data = quarl.Quarl().encode_packed([array, Later()], False)
        decoded = quarl.Quarl().decode_packed(data)
        print(json.dumps([decoded[0][:3], decoded[0][-1], len(decoded[0]), decoded[1], len(array)]))
    """)
    assert result == [[0.0, 1.0, 2.0], 19999.0, 20000, "resized", 10]


# --- 6. No half-built list reaches Python code while decoding --------------------------------


def test_constructors_run_while_decoding_never_see_a_half_built_list():
    result = run_child("""
        import gc, json, uuid
        import quarl

        data = quarl.Quarl().encode_packed([[uuid.UUID(int=i), None, "x"] for i in range(50)], False)
        real = uuid.UUID
        touched = []

        def spying(*args, **kwargs):
            for obj in gc.get_objects():
                if type(obj) is list:
                    touched.append(len(repr(obj)) > 0)
            return real(*args, **kwargs)

        uuid.UUID = spying
        decoded = quarl.Quarl().decode_packed(data)
        uuid.UUID = real
        print(json.dumps([len(decoded), str(decoded[7][0]), all(touched), len(touched) > 0]))
    """)
    assert result == [50, str(uuid.UUID(int=7)), True, True]


# --- 7. Small things -------------------------------------------------------------------------


@pytest.mark.parametrize("cls", [Quarl, QuarlStreamEncoder, QuarlStreamDecoder])
def test_classes_are_immutable(cls):
    for name in ("encode_packed", "feed", "anything"):
        with pytest.raises(TypeError, match="immutable"):
            setattr(cls, name, None)


def test_compression_without_threads_runs_on_the_calling_thread(tmp_path):
    import shutil
    import subprocess

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the thread-refusing shim")
    source = tmp_path / "nothreads.c"
    source.write_text(
        "#include <errno.h>\n#include <pthread.h>\n"
        "int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg)"
        " { return EAGAIN; }\n"
    )
    shim = tmp_path / "nothreads.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(shim), str(source)], check=True)
    import os
    import sys
    # After whatever is preloaded already (the sanitizer runtime must stay first).
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)])))
    proc = subprocess.run(
        [sys.executable, "-c", "import os, quarl\n"
         "c = quarl.Quarl()\n"
         "text = os.urandom(1_500_000).hex()\n"
         "data = c.encode_packed({'x': text}, True)\n"
         "assert c.decode_packed(data) == {'x': text}\n"
         "print('ok')"],
        capture_output=True, text=True, env=env, timeout=120, cwd=os.path.dirname(__file__),
    )
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_decisions_are_let_go_after_each_encode():
    import weakref

    class Model:
        def __init__(self):
            self.x = 1

    alive = weakref.ref(Model)
    encode([Model() for _ in range(10)])
    del Model
    gc.collect()
    assert alive() is None


def test_every_test_docs_security_names_exists():
    import pathlib
    import re

    root = pathlib.Path(__file__).resolve().parent.parent
    text = (root / "docs" / "security.md").read_text()
    current, missing = None, []
    for match in re.finditer(r"`(tests/[\w/]+\.py)?(::[\w:]+)?`", text):
        if match.group(1):
            current = match.group(1)
        if match.group(2):
            source = (root / current).read_text()
            missing += [f"{current}::{name}" for name in match.group(2).strip(":").split("::")
                        if not re.search(rf"^\s*(def|class) {name}\b", source, re.M)]
    assert current is not None and missing == []
