#!/usr/bin/env bash
# Runs every test of the project from scratch: installs what is needed,
# builds, and runs
#   - the unit tests (daemon against the simulated gadgetfs, dfuctl logic),
#   - the same under AddressSanitizer+UBSan and under ThreadSanitizer,
#   - the ARM builds (armhf, arm64) with their unit suites under qemu-user,
#     and the packages,
#   - dfuctl for Windows with its unit suite under Wine, and its zip,
#   - the fuzz targets for a bounded time,
#   - the end-to-end tests in a VM (real gadgetfs), for the native daemon and
#     for the static armhf daemon under qemu-arm,
#   - the board as deployed: the packages (amd64, arm64) on Debian VMs that
#     boot with systemd, and the field set-up over USB/IP.
# Usage: scripts/test.sh [STAGE...]   (default: all stages)
# Stages: unit asan tsan arm windows fuzz e2e e2e-arm board
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/ci"
jobs=$(nproc)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(unit asan tsan arm windows fuzz e2e e2e-arm board)

"$root/scripts/deps.sh" || { echo "dependency installation failed"; exit 1; }

passed=0
failed=0
results=()
summary=()

# Adds the counts of a ctest run (its closing line) to the totals.
count_ctest() {
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || return 0
  local f total
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - f))
  failed=$((failed + f))
}

run_stage() {
  local name=$1; shift
  local log="$out/$name.log" start status
  mkdir -p "$out"
  echo "=== $name"
  start=$(date +%s)
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  count_ctest "$log"
  results+=("$(printf '%-8s %-6s %4ds' "$name" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" $(( $(date +%s) - start )))")
  [ "$status" -eq 0 ] || { failed=$((failed + 1)); echo "=== $name FAILED (log: $log)"; }
}

configure_build() {  # DIR [cmake args...]
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S "$root" -B "$dir" -G Ninja "$@" && cmake --build "$dir" -j "$jobs"
}

stage_unit() {
  configure_build "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_E2E=ON &&
    ctest --test-dir "$out/native" -LE e2e -j "$jobs" --output-on-failure
}

stage_asan() {
  configure_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DGADGETDFU_SANITIZE=address &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$out/asan" -j "$jobs" --output-on-failure
}

stage_tsan() {
  configure_build "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --test-dir "$out/tsan" -j "$jobs" --output-on-failure &&
    # The race stress once more in the open, for its figures.
    TSAN_OPTIONS=halt_on_error=1 "$out/tsan/tests/gadgetdfu_tests" --gtest_filter='RaceStress.*' --gtest_brief=1
}

stage_arm() { "$root/scripts/arm.sh" "$out/arm"; }

# windows.sh keeps the Debian source packages in $out/windows/sources and
# rebuilds the rest.
stage_windows() { "$root/scripts/windows.sh" "$out/windows"; }

stage_fuzz() { FUZZ_BUILD_DIR="$out/fuzz" "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-180}"; }

stage_e2e() {
  [ -d "$out/native" ] || configure_build "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_E2E=ON
  ctest --test-dir "$out/native" -L e2e -j "$jobs" --output-on-failure
}

# The static armhf daemon under qemu-arm in the same VM: the suites that
# cover enumeration, strings, vendor replies and transfers.
stage_e2e_arm() {
  local daemon="$out/arm/armhf/gadgetdfu/gadgetdfu"
  [ -x "$daemon" ] || { echo "no armhf daemon at $daemon (run the arm stage first)"; return 1; }
  [ -d "$out/native" ] || configure_build "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_E2E=ON
  cmake -S "$root" -B "$out/e2e-arm" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_E2E=ON \
      -DGADGETDFU_BUILD_TESTS=OFF -DGADGETDFU_E2E_DAEMON="$daemon" \
      -DGADGETDFU_E2E_DFUCTL="$out/native/dfuctl/dfuctl" \
      -DGADGETDFU_E2E_DAEMON_WRAPPER=/usr/bin/qemu-arm-static &&
    ctest --test-dir "$out/e2e-arm" -L e2e -R "${E2E_ARM_TESTS:-enumeration|strings|control|transfer|board}" \
      -j "$jobs" --output-on-failure
}

# The board as deployed (e2e/systemd): the daemon's and dfuctl's packages
# for amd64 and arm64 (arm64 cross-built against Debian's arm64 libraries,
# installed through multiarch), then e2e.deployed_amd64, e2e.deployed_arm64
# and e2e.field. The VMs' root file systems are built once and cached.
stage_board() {
  local amd64="$out/board/amd64" arm64="$out/board/arm64" debs_amd64 debs_arm64
  local packaging=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DGADGETDFU_BUILD_TESTS=OFF
                   -DCMAKE_INSTALL_PREFIX=/usr "-DGADGETDFU_PACKAGE_COMPONENTS=daemon;host")
  rm -rf "$out/board"
  cmake -S "$root" -B "$arm64" -G Ninja "${packaging[@]}" -DGADGETDFU_BUILD_DFUCTL=ON \
      --toolchain "$root/e2e/systemd/toolchain-arm64-multiarch.cmake" &&
    cmake --build "$arm64" -j "$jobs" --target gadgetdfu dfuctl &&
    (cd "$arm64" && cpack -G DEB -B "$arm64/packages") || return 1
  debs_arm64=$(ls "$arm64"/packages/*.deb | paste -sd';')
  # The e2e tests are registered in the amd64 build, which makes its
  # packages first.
  cmake -S "$root" -B "$amd64" -G Ninja "${packaging[@]}" -DGADGETDFU_E2E=ON \
      "-DGADGETDFU_E2E_BOARD_DEBS_ARM64=$debs_arm64" &&
    cmake --build "$amd64" -j "$jobs" --target gadgetdfu dfuctl &&
    (cd "$amd64" && cpack -G DEB -B "$amd64/packages") || return 1
  debs_amd64=$(ls "$amd64"/packages/*.deb | paste -sd';')
  # The VMs' disks (cached; built once, outside the tests' time limits).
  "$root/e2e/systemd/build-image.sh" amd64 && "$root/e2e/systemd/build-image.sh" arm64 || return 1
  cmake "$amd64" "-DGADGETDFU_E2E_BOARD_DEBS_AMD64=$debs_amd64" >/dev/null &&
    ctest --test-dir "$amd64" -L e2e -R '^e2e\.(deployed_|field)' -j "$jobs" --output-on-failure
}

for s in "${stages[@]}"; do
  case $s in
    unit|asan|tsan|arm|windows|fuzz|e2e) run_stage "$s" "stage_$s" ;;
    e2e-arm) run_stage "$s" stage_e2e_arm ;;
    board) run_stage "$s" stage_board ;;
    *) echo "unknown stage: $s"; exit 64 ;;
  esac
done

echo
echo "=== summary"
printf '%s\n' "${results[@]}"
# The hardening figures: the fuzz stage's, the race stress's and the fault
# injection's lines, added up. A stage that did not run counts nothing.
figures=$(grep -h -E '^(fuzz|stress|faults): ' "$out"/*.log "$out"/native/e2e/logs/*.log 2>/dev/null | sort -u)
[ -n "$figures" ] && printf '%s\n' "$figures"
awk '
  /^fuzz: /   { inputs += $2; failures += $4 }
  /^stress: / { cycles += $2; failures += $4 }
  /^faults: / { faults += $2; bytes += $5; failures += $8 }
  END { printf "hardening: %.0f inputs fuzzed, %.0f cycles survived, %.0f faults injected, %.0f bytes verified, %.0f failures\n",
               inputs, cycles, faults, bytes, failures }' <<<"$figures"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
