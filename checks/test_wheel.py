"""`make wheel` gives a repaired abi3 wheel that carries its own liblz4 and works in a fresh venv."""

import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

import quarl

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or shutil.which("make") is None,
    reason="the repaired wheel is built with make and auditwheel on Linux",
)

# Runs inside the fresh venv: a round trip that goes through LZ4 both ways, a stream, and the list
# of LZ4 libraries that the process has mapped.
ROUND_TRIP = textwrap.dedent(
    """
    import json
    import quarl

    codec = quarl.Quarl()
    value = {"rows": [{"id": i, "name": f"row-{i}", "ok": i % 2 == 0} for i in range(300)]}
    packed = codec.encode_packed(value, True)
    assert packed[:2] != b"QL", "expected a compression envelope"
    assert codec.decode_packed(packed) == value

    encoder = quarl.QuarlStreamEncoder()
    stream = encoder.get_handshake() + encoder.encode_frame(value) + encoder.get_eos_frame()
    decoder = quarl.QuarlStreamDecoder(expect_handshake=True)
    assert decoder.feed(stream) == [value] and decoder.is_eos

    with open("/proc/self/maps") as maps:
        lz4 = sorted({line.split()[-1] for line in maps if "liblz4" in line})
    print(json.dumps({"quarl": quarl.__file__, "version": quarl.__version__, "lz4": lz4}))
    """
)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """Runs `make wheel`; returns the wheel and the make output. `make wheel-check` has it built where
    the other interpreters' suites install it from; elsewhere it goes to a temporary directory."""
    out = tmp_path_factory.mktemp("wheel")
    dist = os.environ.get("QUARL_DIST_DIR", out / "dist")
    wheelhouse = Path(os.environ.get("QUARL_WHEEL_DIR", out / "wheelhouse"))
    proc = subprocess.run(
        ["make", "--no-print-directory", "-C", str(ROOT), "wheel", f"VENV={sys.prefix}", f"DIST_DIR={dist}",
         f"WHEEL_DIR={wheelhouse}"],
        capture_output=True, text=True, timeout=900,
        # A sanitizer preloaded for the suite has no business in the compiler and auditwheel.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    wheels = list(wheelhouse.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0], proc.stdout


def test_wheel_is_abi3_and_manylinux_2_28_with_its_licences(built):
    wheel, output = built
    # Built for glibc 2.28, whatever the build machine's own glibc is, and auditwheel agrees.
    tag = rf"cp311-abi3-manylinux_2_28_{re.escape(platform.machine())}"
    assert re.search(r'is consistent with\s+the following platform tag:\s+"manylinux_2_(\d+)_', output)
    assert int(re.search(r'platform tag:\s+"manylinux_2_(\d+)_', output)[1]) <= 28
    assert re.fullmatch(rf"quarl-{re.escape(quarl.__version__)}-{tag}\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        info = zf.read(f"quarl-{quarl.__version__}.dist-info/WHEEL").decode()
    assert re.search(rf"^Tag: {tag}$", info, flags=re.M), info
    assert {"quarl/__init__.py", "quarl/_quarl.abi3.so", "quarl/_quarl.pyi", "quarl/py.typed",
            f"quarl-{quarl.__version__}.dist-info/licenses/LICENSE",
            f"quarl-{quarl.__version__}.dist-info/licenses/LICENSE-LZ4"} <= set(names)
    # liblz4 and nothing else is bundled, under the name that auditwheel gives it.
    [bundled] = [n for n in names if n.startswith("quarl.libs/") and not n.endswith("/")]
    assert re.fullmatch(r"quarl\.libs/liblz4-[0-9a-f]{8}\.so[.\d]*", bundled)


def test_abi3audit_finds_nothing_outside_the_stable_abi(built):
    _, output = built
    report = json.loads(next(line for line in output.splitlines() if line.startswith('{"specs"')))
    [(_, audited)] = report["specs"].items()
    [module] = audited["wheel"]
    assert module["name"] == "_quarl.abi3.so"
    assert module["result"]["is_abi3"] is True
    assert module["result"]["computed"] == "3.11"
    assert module["result"]["non_abi3_symbols"] == []


def test_wheel_installs_in_a_fresh_venv_and_uses_its_own_liblz4(built, tmp_path):
    wheel, _ = built
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index", "--no-deps",
                    str(wheel)], check=True, timeout=300)
    # Nothing from the build or the source tree: no compiler or pkg-config paths, no PYTHONPATH,
    # and a working directory outside the checkout.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    proc = subprocess.run([str(python), "-c", ROUND_TRIP], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    seen = json.loads(proc.stdout)
    site = Path(seen["quarl"]).resolve().parent.parent
    assert site.is_relative_to(venv.resolve())
    assert seen["version"] == quarl.__version__
    [lz4] = seen["lz4"]
    assert Path(lz4).parent == site / "quarl.libs"


def test_sdist_carries_the_licences(tmp_path):
    proc = subprocess.run([sys.executable, "-c", f"import scikit_build_core.build as b; print(b.build_sdist({str(tmp_path)!r}))"],
                          cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    with tarfile.open(tmp_path / proc.stdout.split()[-1]) as sdist:
        names = set(sdist.getnames())
        info = sdist.extractfile(f"quarl-{quarl.__version__}/PKG-INFO").read().decode()
    assert {f"quarl-{quarl.__version__}/LICENSE", f"quarl-{quarl.__version__}/LICENSE-LZ4"} <= names
    assert "License-Expression: MIT" in info and "License-File: LICENSE-LZ4" in info


def test_a_build_without_lz4_names_the_package_to_install(tmp_path):
    # pkg-config off and /usr out of the search path: as on a machine without liblz4-dev.
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(tmp_path), str(ROOT),
         "-C", f"build-dir={tmp_path / 'build'}", "-C", "cmake.define.CMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON",
         "-C", "cmake.define.CMAKE_IGNORE_PREFIX_PATH=/usr"],
        capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode != 0
    output = proc.stdout + proc.stderr
    message = " ".join(output.split())  # CMake rewraps the text
    for package in ("apt-get install liblz4-dev", "dnf install lz4-devel", "apk add lz4-dev", "brew install lz4"):
        assert package in message, output
    assert "Call Stack" not in output and "pkg_check_modules" not in output
