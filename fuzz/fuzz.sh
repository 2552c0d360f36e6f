#!/usr/bin/env bash
# Runs one fuzz target against the instrumented extension:
#   fuzz/fuzz.sh PYTHON SITE TARGET SECONDS
# SITE holds the quarl package built with QUARL_FUZZ=ON. New corpus entries go
# to a scratch folder under build/; the repository corpus is only read. Crash,
# timeout and out-of-memory inputs land in fuzz/crashes/TARGET/.
set -euo pipefail

python=$1 site=$2 target=$3 seconds=$4
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
scratch="$root/build/fuzz/scratch/$target"
log="$root/build/fuzz/logs/$target.log"
mkdir -p "$scratch" "$here/crashes/$target" "$(dirname "$log")"

runtime="$("$python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"

# The interpreter itself is not instrumented: its own allocations at exit are
# not leaks of ours, so LeakSanitizer stays off (the leak test covers the
# codec). PYTHONMALLOC=malloc lets ASan see every Python object on its own.
set +e
PYTHONPATH="$site" PYTHONMALLOC=malloc LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=64:symbolize=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$python" "$here/run.py" "$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -dict="$here/quarl.dict" \
    -artifact_prefix="$here/crashes/$target/" -print_final_stats=1 \
    "$scratch" "$here/corpus/$target" 2>&1 | tee "$log" | grep -E '^(#[0-9]+ +(INITED|DONE|pulse))|Done |ERROR|Traceback|Uncaught'
result=${PIPESTATUS[0]}
set -e
runs=$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
echo "fuzz $target: ${runs:-no summary} (exit $result, log $log)"
exit "$result"
