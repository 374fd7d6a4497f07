#!/usr/bin/env bash
# Station benchmark: boots the multi-board harness (three board VMs and a
# host VM linked by USB/IP, e2e/multi/run-station.sh) and prints, for the
# flash transaction (upload + read-back) of a raw image and of the same
# image as xz -9, one board alone and three at once: the throughput per
# board and in all, dfuctl's CPU time per GiB of image and per GiB flashed,
# the host VM's, and dfuctl's peak memory. It prints figures; it is no test
# and never fails on a figure.
#
#   bench/station.sh --build BUILD [--size-mib N] [--rounds N] [--log-dir DIR]
#
# The image (half random text, half zeros, so that it compresses as a
# firmware image does) is made here and compressed with xz -9 (xz-utils).
# Needs what the e2e tests need, plus Debian's usbip (scripts/deps.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build="" size=64 rounds=2 log_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=${2:?}; shift 2 ;;
    --size-mib) size=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --log-dir) log_dir=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "station.sh: unknown argument: $1" >&2; exit 64 ;;
  esac
done
[ -n "$build" ] || { echo "station.sh: --build BUILD is required" >&2; exit 64; }
command -v xz >/dev/null || { echo "station.sh: needs xz (xz-utils)" >&2; exit 69; }
# Each board keeps the image in RAM; the host the image, its spill file
# (flash --all of the xz image) and the xz image.
memory=$(( 2 * size + size / 2 + 320 ))
log_dir=${log_dir:-$(mktemp -d "${TMPDIR:-/tmp}/station-bench.XXXXXX")}
work=$(mktemp -d "${TMPDIR:-/tmp}/station-bench-image.XXXXXX")
trap 'rm -rf "$work"' EXIT
half=$(( size * 524288 ))
# (The first head ends base64 early: SIGPIPE there is no failure.)
set +o pipefail
{ head -c "$half" /dev/urandom | base64 -w 76 | head -c "$half"; head -c "$half" /dev/zero; } \
  | xz -9 -T1 >"$work/image.xz"
set -o pipefail
[ -s "$work/image.xz" ] || { echo "station.sh: cannot make the image" >&2; exit 70; }
set +e
"$here/../e2e/multi/run-station.sh" --daemon "$build/gadgetdfu/gadgetdfu" --dfuctl "$build/dfuctl/dfuctl" \
  --test "$here/station-vm.sh" --memory "$memory" --log-dir "$log_dir" --quiet \
  --file "$work/image.xz" --env "BENCH_IMAGE_XZ=/e2e/files/image.xz" --env "BENCH_ROUNDS=$rounds"
rc=$?
set -e
grep -h -e '^bench: ' -e 'attached as' "$log_dir/host.log" | sed 's/^  ok [0-9]* - /attach: /'
for f in "$log_dir"/board*.log; do sed -n 's/^=== e2e: \(board .* ready .*\) ===$/boot: \1/p' "$f"; done
exit $rc
