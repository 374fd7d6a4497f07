#!/usr/bin/env bash
# Builds the libFuzzer targets from scratch (clang-14, ASan + UBSan) and runs
# them for a bounded time, two at a time (one per core), each starting from
# its minimized corpus in fuzz/corpus and replaying the inputs that once
# made it fail (fuzz/regressions).
#
#   scripts/fuzz.sh [--merge] [SECONDS]
#
# SECONDS: the campaign's time in all (wall clock, the build not counted):
# the argument, else $FUZZ_SECONDS, else 180. Each of the two lanes below
# runs its targets one after the other, each for its share of SECONDS.
# FUZZ_BUILD_DIR: the build folder (default: build-fuzz beside the source
# tree); it is deleted and configured anew (FUZZ_KEEP_BUILD=1: built on as it
# is, for a developer's repeated runs). New corpus entries and crash
# artifacts stay in it, the corpus in the tree is only read, unless
# --merge: then each target's corpus in the tree is replaced by the
# minimized merge of itself and what the campaign found.
#
# Prints the inputs each target executed and ends with the line
# "fuzz: N inputs, C crashes"; the exit status is non-zero when any target
# crashed, timed out, ran out of memory or leaked.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
merge=false
if [ "${1:-}" = --merge ]; then
  merge=true
  shift
fi
seconds=${1:-${FUZZ_SECONDS:-180}}
build=${FUZZ_BUILD_DIR:-$(dirname "$repo")/build-fuzz}
cc=${FUZZ_CC:-clang-14}
cxx=${FUZZ_CXX:-clang++-14}

# Two lanes, one per core; target:share in percent of SECONDS. The fast
# targets (the decoders, some 20,000 to 50,000 inputs per CPU second under
# ASan) make most of the inputs; the slow ones (a whole dfuctl command, a
# daemon with its threads: 500 to 3,000 per CPU second) get time enough to
# reach their depths from their corpus.
lanes=("fuzz_session:25 fuzz_control:10 fuzz_vendor:10 fuzz_numbers:55"
       "fuzz_replies:55 fuzz_usbstring:30 fuzz_descriptors:15")
# Per target: input size limits (the daemon runs with its threads per
# input: some 80 events; a session: some 2000 board actions).
declare -A max_len=([fuzz_control]=1024 [fuzz_session]=2048)

if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 10 ]; then
  echo "fuzz.sh: the campaign's time must be a whole number of seconds, at least 10" >&2
  exit 2
fi
for tool in "$cc" "$cxx" cmake; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool not found (scripts/deps.sh installs it)" >&2; exit 2; }
done

targets=()
for lane in "${lanes[@]}"; do
  for entry in $lane; do
    t=${entry%%:*}
    [[ " ${targets[*]} " == *" $t "* ]] || targets+=("$t")
  done
done

# From scratch, but never delete a folder that is not a build folder.
if [ -e "$build" ] && [ "${FUZZ_KEEP_BUILD:-0}" != 1 ]; then
  if [ -n "$(ls -A "$build")" ] && [ ! -f "$build/CMakeCache.txt" ]; then
    echo "fuzz.sh: $build exists and is no CMake build folder; not deleting it" >&2
    exit 2
  fi
  rm -rf "$build"
fi

mkdir -p "$build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# dfuctl is configured for its core library only; nothing but the fuzz
# targets is built.
cmake -S "$repo" -B "$build" "${generator[@]}" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGADGETDFU_FUZZ=ON -DGADGETDFU_BUILD_TESTS=OFF -DGADGETDFU_BUILD_DFUCTL=ON >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
started=$SECONDS
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"
echo "fuzz: built ${#targets[@]} targets in $((SECONDS - started)) s"

rm -rf "$build/results"
mkdir -p "$build/artifacts" "$build/results"

# Runs one target for `share` percent of the time; writes "inputs status"
# to results/<target>.<n>.
run_target() {
  local target=$1 share=$2 n=$3
  local time=$((seconds * share / 100))
  [ "$time" -ge 1 ] || time=1
  local corpus=$build/corpus/$target
  mkdir -p "$corpus"
  local log=$build/$target.$n.log
  local options=(-max_total_time="$time" -timeout=30 -print_final_stats=1
                 -artifact_prefix="$build/artifacts/$target-")
  [ -n "${max_len[$target]:-}" ] && options+=(-max_len="${max_len[$target]}")
  local inputs=("$corpus")
  for dir in "$repo/fuzz/corpus/$target" "$repo/fuzz/regressions/$target"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  local status=0
  "$build/fuzz/$target" "${options[@]}" "${inputs[@]}" >"$log" 2>&1 || status=$?
  local executed
  executed=$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
  echo "${executed:-0} $status $time" >"$build/results/$target.$n"
}

n=0
pids=()
for lane in "${lanes[@]}"; do
  (
    for entry in $lane; do
      n=$((n + 1))
      run_target "${entry%%:*}" "${entry##*:}" "$n"
    done
  ) &
  pids+=($!)
  n=$((n + 100))
done
for pid in "${pids[@]}"; do wait "$pid"; done

total=0
crashes=0
for target in "${targets[@]}"; do
  executed=0
  time=0
  failed=()
  for result in "$build/results/$target".*; do
    read -r e status t <"$result"
    executed=$((executed + e))
    time=$((time + t))
    [ "$status" -eq 0 ] || failed+=("${result##*.}:$status")
  done
  total=$((total + executed))
  if [ ${#failed[@]} -gt 0 ]; then
    crashes=$((crashes + 1))
    echo "$target: $executed inputs in $time s, FAILED (run:exit ${failed[*]})"
    for f in "${failed[@]}"; do
      log=$build/$target.${f%%:*}.log
      echo "  log $log"
      grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|.*runtime error)' "$log" | head -n 5 || true
    done
    ls "$build/artifacts/$target-"* 2>/dev/null | sed 's/^/  input: /' || true
  else
    echo "$target: $executed inputs in $time s"
  fi
done

if $merge && [ "$crashes" -eq 0 ]; then
  for target in "${targets[@]}"; do
    fresh=$build/merged/$target
    rm -rf "$fresh"
    mkdir -p "$fresh"
    mkdir -p "$repo/fuzz/corpus/$target"
    # Edges only (no hit counts, no comparisons): the fewest inputs that
    # reach every edge the campaign reached, a few dozen per target.
    "$build/fuzz/$target" -merge=1 -use_counters=0 -use_cmp=0 \
      ${max_len[$target]:+-max_len=${max_len[$target]}} "$fresh" \
      "$repo/fuzz/corpus/$target" "$build/corpus/$target" >"$build/$target.merge.log" 2>&1 ||
      { echo "fuzz.sh: merging the corpus of $target failed; see $build/$target.merge.log" >&2; exit 1; }
    rm -rf "$repo/fuzz/corpus/$target"
    cp -r "$fresh" "$repo/fuzz/corpus/$target"
    echo "$target: corpus merged to $(ls "$fresh" | wc -l) files"
  done
fi

echo "fuzz: $total inputs, $crashes crashes"
[ "$crashes" -eq 0 ]
