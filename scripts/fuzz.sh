#!/usr/bin/env bash
# Builds the libFuzzer targets from scratch (clang-14, ASan + UBSan) and runs
# each one for a bounded time, starting from the seed corpus in fuzz/corpus.
#
#   scripts/fuzz.sh [SECONDS]
#
# SECONDS per target: the argument, else $FUZZ_SECONDS, else 60.
# FUZZ_BUILD_DIR: the build folder (default: build-fuzz beside the source
# tree); it is deleted and configured anew. New corpus entries and crash
# artifacts stay in it, the seed corpus in the tree is only read.
#
# Prints the inputs each target executed and ends with the line
# "fuzz: N inputs, C crashes"; the exit status is non-zero when any target
# crashed, timed out, ran out of memory or leaked.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
build=${FUZZ_BUILD_DIR:-$(dirname "$repo")/build-fuzz}
targets=(fuzz_control fuzz_usbstring fuzz_vendor)
cc=${FUZZ_CC:-clang-14}
cxx=${FUZZ_CXX:-clang++-14}

if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz.sh: the time per target must be a whole number of seconds above 0" >&2
  exit 2
fi
for tool in "$cc" "$cxx" cmake; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool not found (scripts/deps.sh installs it)" >&2; exit 2; }
done

# From scratch, but never delete a folder that is not a build folder.
if [ -e "$build" ]; then
  if [ -n "$(ls -A "$build")" ] && [ ! -f "$build/CMakeCache.txt" ]; then
    echo "fuzz.sh: $build exists and is no CMake build folder; not deleting it" >&2
    exit 2
  fi
  rm -rf "$build"
fi

mkdir -p "$build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGADGETDFU_FUZZ=ON -DGADGETDFU_BUILD_TESTS=OFF -DGADGETDFU_BUILD_DFUCTL=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"

# fuzz_control runs the daemon with its threads per input: keep its inputs
# to some 80 events.
declare -A max_len=([fuzz_control]=1024)

total=0
crashes=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus" "$build/artifacts"
  log=$build/$target.log
  options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$target-")
  [ -n "${max_len[$target]:-}" ] && options+=(-max_len="${max_len[$target]}")

  echo "== $target: $seconds s"
  status=0
  "$build/fuzz/$target" "${options[@]}" "$corpus" "$repo/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
  executed=${executed:-0}
  total=$((total + executed))
  if [ "$status" -ne 0 ]; then
    crashes=$((crashes + 1))
    echo "$target: $executed inputs, FAILED (exit $status); log $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|.*runtime error)' "$log" | head -n 5 || true
    ls "$build/artifacts/$target-"* 2>/dev/null | sed 's/^/  input: /' || true
  else
    echo "$target: $executed inputs"
  fi
done

echo "fuzz: $total inputs, $crashes crashes"
[ "$crashes" -eq 0 ]
