#!/usr/bin/env bash
# A long fuzzing campaign: every target (or those named) for SECONDS each, at the
# lowest priority, JOBS targets at a time. New inputs gather in
# build-clang/campaign/corpus/<target>; findings land in build-clang/campaign/ as
# <target>-crash-*, -leak-*, -timeout-* or -oom-* files, and each target's log
# (with its final statistics) in build-clang/campaign/<target>.log.
#
#   scripts/fuzz-campaign.sh                 # 15 minutes per target, two at a time
#   SECONDS_PER_TARGET=3600 JOBS=1 scripts/fuzz-campaign.sh proxy store
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${SECONDS_PER_TARGET:-900}
jobs=${JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(proxy setup strings bridge arguments store)

if [ ! -f build-clang/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON -DUPDATE_FUZZ=ON
fi
cmake --build build-clang -j 2 --target $(printf 'fuzz_%s ' "${targets[@]}")

campaign=$PWD/build-clang/campaign
mkdir -p "$campaign/bin" "$campaign/corpus"
for target in "${targets[@]}"; do
  # A copy, so that rebuilding the tree meanwhile does not touch a running target.
  cp build-clang/tests/fuzz/fuzz_$target "$campaign/bin/"
  mkdir -p "$campaign/corpus/$target"
done

run_one() {
  local target=$1 dict=() inputs=("tests/fuzz/corpus/$1")
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  [ -d "tests/fuzz/regressions/$target" ] && inputs+=("tests/fuzz/regressions/$target")
  nice -n 19 "$campaign/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$campaign/$target-" "${dict[@]}" \
    "$campaign/corpus/$target" "${inputs[@]}" > "$campaign/$target.log" 2>&1 || true
  echo "$target: $(grep -E '^#[0-9]+' "$campaign/$target.log" | tail -1)"
  grep -E '^stat::number_of_executed_units' "$campaign/$target.log" || true
}
export -f run_one
export campaign seconds
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'
ls "$campaign" | grep -E -- '-(crash|leak|timeout|oom|slow-unit)-' && echo "Findings above." || echo "No findings."
