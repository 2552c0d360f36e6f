#!/usr/bin/env bash
# The suite on every CPython that the abi3 wheel claims, as `make test` runs it:
#   1. the main venv's interpreter (3.11) against the build installed there;
#   2. the same with QUARL_SAFE_PATHS=1, so that every shortcut's limited-API path runs;
#   3. `make wheel-check`, once: builds, repairs and audits the wheel, then installs it in a fresh venv;
#   4. every other CPython >= 3.11 on PATH or in pyenv, in a venv of its own with that same wheel.
# A run that fails does not stop the others; the summary at the end names each one, and the script
# fails when any did. An expected interpreter that is missing is reported in one line.
#
# Environment (set by the Makefile): MAKE, VENV, WHEEL_DIR, MATRIX_EXPECT, PYTEST_ARGS.
set -uo pipefail
cd "$(dirname "$0")/.."

MAKE=${MAKE:-make}
VENV=${VENV:-.venv}
WHEEL_DIR=${WHEEL_DIR:-wheelhouse}
MATRIX_EXPECT=${MATRIX_EXPECT:-3.12 3.13}
# The unit suite is tests/; the packaging checks (checks/) build the wheel and run once, in wheel-check.
SUITE_ARGS=(-p no:cacheprovider ${PYTEST_ARGS:-})
PIP_QUIET=(--disable-pip-version-check -q)

summary=()
passed=0
failed=0
start=$SECONDS

banner() { printf '\n===== %s =====\n' "$*"; }

# record NAME STATUS SECONDS_TAKEN
record() {
  local verdict=passed
  if [ "$2" -ne 0 ]; then verdict="FAILED (exit $2)"; failed=$((failed + 1)); else passed=$((passed + 1)); fi
  summary+=("$(printf '%-40s %s in %ds' "$1" "$verdict" "$3")")
}

# run_suite NAME PYTEST [ENV...]: the suite with the given pytest, from the checkout's root (the
# venv's quarl is imported, not the checkout's quarl/: pytest puts only tests/ on sys.path).
run_suite() {
  local name=$1 pytest=$2 t0=$SECONDS status
  shift 2
  banner "$name"
  env "$@" "$pytest" "${SUITE_ARGS[@]}"
  status=$?
  record "$name" "$status" $((SECONDS - t0))
}

# The test dependencies; one that does not install on this interpreter is named, and its tests
# skip there with their reason.
install_test_deps() {
  local python=$1 venv=$2 stamp=$2/.deps-installed
  local wanted
  wanted=$("$VENV/bin/python" scripts/extras.py test)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then return 0; fi
  "$python" -m venv --clear "$venv" || return 1
  echo "$wanted" >"$venv/test-requirements.txt"
  if ! "$venv/bin/python" -m pip install "${PIP_QUIET[@]}" -r "$venv/test-requirements.txt"; then
    local requirement
    while read -r requirement; do
      "$venv/bin/python" -m pip install "${PIP_QUIET[@]}" "$requirement" >/dev/null 2>&1 ||
        echo "NOT INSTALLED on $("$python" -V): $requirement (the tests that need it skip there)"
    done <"$venv/test-requirements.txt"
  fi
  echo "$wanted" >"$stamp"
}

run_suite "CPython $("$VENV/bin/python" -c 'import platform; print(platform.python_version())') (main venv)" \
  "$VENV/bin/pytest"
run_suite "CPython $("$VENV/bin/python" -c 'import platform; print(platform.python_version())'), QUARL_SAFE_PATHS=1" \
  "$VENV/bin/pytest" QUARL_SAFE_PATHS=1

banner "wheel-check (build, repair, audit, install the abi3 wheel)"
t0=$SECONDS
"$MAKE" --no-print-directory wheel-check
wheel_status=$?
record "wheel-check" "$wheel_status" $((SECONDS - t0))

main_version=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
found=$(mktemp)
missing=$("$VENV/bin/python" scripts/interpreters.py --expect "$MATRIX_EXPECT" --except "$main_version" 2>&1 >"$found")
if [ -n "$missing" ]; then echo "$missing"; summary+=("$missing"); fi
while read -r version python; do
  [ -n "$version" ] || continue
  name="CPython $("$python" -c 'import platform; print(platform.python_version())') (wheel, $VENV-$version)"
  if [ "$wheel_status" -ne 0 ]; then
    summary+=("$(printf '%-40s %s' "$name" "NOT RUN: wheel-check failed, no wheel to install")")
    failed=$((failed + 1))
    continue
  fi
  banner "$name: set-up"
  venv="$VENV-$version"
  if ! install_test_deps "$python" "$venv" ||
    ! "$venv/bin/python" -m pip install "${PIP_QUIET[@]}" --force-reinstall --no-deps --no-index \
      --find-links "$WHEEL_DIR" quarl; then
    summary+=("$(printf '%-40s %s' "$name" "FAILED: venv set-up")")
    failed=$((failed + 1))
    continue
  fi
  run_suite "$name" "$venv/bin/pytest"
done <"$found"
rm -f "$found"

banner "test matrix: $((SECONDS - start)) s in all"
printf '%s\n' "${summary[@]}"
# Counts of runs, worded so that no reader takes them for counts of tests.
if [ "$failed" -eq 0 ]; then
  echo "test matrix: all $passed runs green"
else
  echo "test matrix: $failed of $((passed + failed)) runs FAILED"
fi
[ "$failed" -eq 0 ]
