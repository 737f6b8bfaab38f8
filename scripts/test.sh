#!/usr/bin/env bash
# The whole test suite: a normal build; one under AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails the run); ThreadSanitizer on the
# tests whose threads share state; and a Clang build that runs the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure
# Under load: the safety and silent-run groups again and again, twice as many at once as there
# are cores, in a random order; a test that leans on timing instead of a handshake fails here.
# Bounded: rounds start until STRESS_SECONDS (default 150) have passed, at most 12. The kill at
# every call, which runs the program once per system call it makes, is left to the pass above.
stress_started=$SECONDS
stress_rounds=0
stress_runs=0
stress_log=build/stress.log
while (( stress_rounds < 12 && (stress_rounds == 0 || SECONDS - stress_started < ${STRESS_SECONDS:-150}) )); do
  if ! ctest --test-dir build -j "$((2 * jobs))" --schedule-random --output-on-failure \
       -R "^(Safety|SilentRun)\\." -E "^Safety\\.ARunKilledAtAnyCall" > "$stress_log" 2>&1; then
    cat "$stress_log"
    echo "Stress pass: round $((stress_rounds + 1)) failed (log: $stress_log)."
    exit 1
  fi
  stress_rounds=$((stress_rounds + 1))
  stress_runs=$((stress_runs + $(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$stress_log")))
done
echo "Stress pass: $stress_runs runs in $stress_rounds rounds of the safety and silent-run groups," \
     "$((2 * jobs)) at once, $((SECONDS - stress_started)) s, no failure."

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON -DUPDATE_BUILD_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
# use_tls=0: the leak check's tracer crashes scanning the dynamic thread-local blocks
# of libraries loaded with dlopen (the wizard's module and its GTK and WebKit).
lsan_options="suppressions=$PWD/tests/lsan.supp:use_tls=0:print_suppressions=0"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS="$lsan_options" \
  ctest --test-dir build-sanitize -j "$jobs" --output-on-failure

# ThreadSanitizer on the tests where threads share state: the progress record,
# the session log and the privileged runs of an installation. (Not the wizard's:
# WebKit and GTK, not built for it, drown its reports in their own.)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_TSAN=ON -DUPDATE_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target xplat_tests platform_tests StandInSetup
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure -R "ProgressRecord|LoggerTest|PrivilegedRun|^Installation\\.|MethodSet"
# Clang: the whole project, instrumented for libFuzzer. Each fuzz target runs
# over its corpus and regression inputs, then for a short bounded time; the
# silent runs of the built program run again as Clang built it.
CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON -DUPDATE_FUZZ=ON
cmake --build build-clang -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS="$lsan_options" \
  ctest --test-dir build-clang -j "$jobs" --output-on-failure -L fuzz
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS="$lsan_options" \
  ctest --test-dir build-clang -j "$jobs" --output-on-failure -R "^(SilentRun|Safety|HostileBundle)\\."
echo "All tests passed (normal, address/undefined-behaviour, thread sanitizer and Clang fuzzing builds)."
