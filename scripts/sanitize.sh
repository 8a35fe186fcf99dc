#!/usr/bin/env bash
# Builds the project with clang under sanitizers and runs the tests there:
#   ASAN_BUILD_DIR (build-asan): AddressSanitizer + UndefinedBehaviorSanitizer,
#     with libFuzzer coverage so the fuzzer shares the build; the whole test
#     suite but the tests listed in ASAN_EXCLUDE, then the fuzzer for
#     FUZZ_SECONDS (60; 0 skips it), beside the ThreadSanitizer stage.
#   TSAN_BUILD_DIR (build-tsan): ThreadSanitizer; the batch, pipeline and
#     fault/load tests, where the worker pool runs files at once.
# Any sanitizer report fails the run (halt_on_error), in the tests and in the
# program they start alike (the environment is inherited).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
ASAN_DIR="${ASAN_BUILD_DIR:-build-asan}"
TSAN_DIR="${TSAN_BUILD_DIR:-build-tsan}"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
JOBS="$(nproc)"

# ulimit -v cannot coexist with the sanitizers' terabytes of reserved shadow
# memory, so the test that caps the address space runs in the plain build only.
# The declipper's rebuilds of two whole spoken takes (eight of them, with the
# engine's) take half a minute in the plain build and well over ten under
# AddressSanitizer, near the suite's time limit; its code runs under the
# sanitizer on a clipped tone in Rooms.DeclipperRebuildsAClippedSine.
ASAN_EXCLUDE="${ASAN_EXCLUDE:-AFileLargerThanTheRunsMemoryIsMasteredInBlocks|Rooms.ClippedTakesAreMeasuredAndRebuilt}"
TSAN_TARGETS=(test_batch test_pipeline_driver test_faults)
TSAN_EXCLUDE="${TSAN_EXCLUDE:-AFileLargerThanTheRunsMemoryIsMasteredInBlocks}" # a gtest name part

# The sanitizers' reports need file and line, not variables: line tables only
# (-gline-tables-only) compile and link in far less time than full -g. The
# builds link with lld when it is there, the slowest step of a build whose
# objects come from ccache. ccache (scripts/build.sh says why the base folder)
# leaves the working folder out of its key: with debug information it would
# otherwise be part of it, and a clone elsewhere would compile everything again.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
linker=()
if command -v ld.lld >/dev/null 2>&1; then
  linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
fi

configure() # dir, sanitizers, extra cmake args...
{
  local dir="$1" sanitizers="$2"; shift 2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
      "${linker[@]}" -DTESSALOOM_SANITIZE="$sanitizers" -DTESSALOOM_BUILD_BENCH=OFF "$@"
  fi
}

# Each stage says how long it took, so that a slow CI run shows where.
stage_start=$SECONDS
stage_done() { echo "== $1: $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/scripts/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/scripts/tsan.supp"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: $ASAN_DIR"
configure "$ASAN_DIR" "address,undefined,fuzzer-no-link" -DTESSALOOM_BUILD_FUZZ=ON
cmake --build "$ASAN_DIR" --parallel "$JOBS"
stage_done "AddressSanitizer build"
(cd "$ASAN_DIR" && ctest --output-on-failure --parallel "$JOBS" --timeout 1500 -E "$ASAN_EXCLUDE")
stage_done "AddressSanitizer tests"

# The fuzzer is one process on one core: it runs beside the ThreadSanitizer
# build and tests, and its output is shown when they are through.
fuzz_pid=""
fuzz_log="$ASAN_DIR/fuzz-run.log"
if [ "$FUZZ_SECONDS" -gt 0 ]; then
  echo "== Fuzzer, $FUZZ_SECONDS s, beside the ThreadSanitizer stage"
  FUZZ_SEED="${FUZZ_SEED:-1}" bash fuzz/run.sh "$FUZZ_SECONDS" "$ASAN_DIR" > "$fuzz_log" 2>&1 &
  fuzz_pid=$!
  # A failed ThreadSanitizer stage ends the script: the fuzzer goes with it.
  trap 'if [ -n "$fuzz_pid" ]; then pkill -TERM -P "$fuzz_pid" 2>/dev/null; kill "$fuzz_pid" 2>/dev/null; fi; true' EXIT
fi
fuzz_started=$SECONDS

echo "== ThreadSanitizer: $TSAN_DIR"
configure "$TSAN_DIR" "thread"
cmake --build "$TSAN_DIR" --parallel "$JOBS" --target tessaloom-audio-engine "${TSAN_TARGETS[@]}"
stage_done "ThreadSanitizer build"
# The tests' own log lines go to a file, shown only when a test fails.
for t in "${TSAN_TARGETS[@]}"; do
  log="$TSAN_DIR/$t.log"
  if "$TSAN_DIR/tests/$t" --gtest_filter="-*$TSAN_EXCLUDE*" > "$log" 2>&1; then
    echo "-- $t: $(grep -E '^\[  PASSED  \]' "$log")"
  else
    tail -n 200 "$log"
    echo "-- $t FAILED (whole log: $log)"
    exit 1
  fi
done
stage_done "ThreadSanitizer tests"

if [ -n "$fuzz_pid" ]; then
  fuzz_status=0
  wait "$fuzz_pid" || fuzz_status=$?
  fuzz_pid=""
  cat "$fuzz_log"
  echo "== Fuzzer (beside the ThreadSanitizer stage, started $((SECONDS - fuzz_started)) s ago): status $fuzz_status"
  stage_done "Fuzzer, the rest of it"
  [ "$fuzz_status" -eq 0 ] || { echo "-- the fuzzer FAILED (its log: $fuzz_log)"; exit 1; }
fi

