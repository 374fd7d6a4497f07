#!/usr/bin/env bash
# Throughput and CPU benchmark of the daemon against the reference gadget, in
# one boot of the end-to-end VM (dummy_hcd + gadgetfs; see e2e/README.md).
# Prints figures and the ratios to their targets; it is no test and never
# fails on a missed target.
#
#   bench/run.sh [--build DIR | --daemon BIN --dfuctl BIN --reference BIN]
#                [--size-mib N] [--rounds N] [--idle-seconds N]
#                [--extra NAME=BIN]... [--memory MIB] [--smp N] [--log FILE]
#                [--verbose]
#
# Options:
#   --build DIR         build folder with gadgetdfu/gadgetdfu, dfuctl/dfuctl and
#                       bench/reference_gadget (default: build)
#   --daemon BIN, --dfuctl BIN, --reference BIN
#                       the binaries one by one (override --build)
#   --size-mib N        image size in MiB (default 256)
#   --rounds N          rounds of upload + download per program (default 3);
#                       the median of the rounds counts
#   --idle-seconds N    length of each idle measurement (default 10)
#   --extra NAME=BIN    one more daemon build, e.g. with a candidate change,
#                       measured like the daemon and compared with the
#                       reference in the same boot (repeatable; a dynamic
#                       build must need no libraries the daemon does not)
#   --memory MIB        guest RAM (default: three images + 512 MiB)
#   --smp N             guest CPUs (default 2)
#   --log FILE          keep the VM's console log here
#   --verbose           echo the whole console instead of the progress lines
#
# Exit status: 0 when the benchmark ran to its report, else the VM's status
# (see e2e/run-vm.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
me=$(basename "$0")

usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; }
die() { echo "$me: $*" >&2; exit 2; }

build=$repo/build daemon="" dfuctl="" reference=""
size_mib=256 rounds=3 idle_s=10 memory="" smp=2 log="" verbose=0
extra_names="" extra_files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=${2:?}; shift 2 ;;
    --daemon) daemon=${2:?}; shift 2 ;;
    --dfuctl) dfuctl=${2:?}; shift 2 ;;
    --reference) reference=${2:?}; shift 2 ;;
    --size-mib) size_mib=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --idle-seconds) idle_s=${2:?}; shift 2 ;;
    --extra)
      spec=${2:?}; shift 2
      name=${spec%%=*} bin=${spec#*=}
      [[ "$spec" == *=* && "$name" =~ ^[a-z0-9][a-z0-9_-]*$ && "$name" != daemon && "$name" != reference ]] \
        || die "--extra wants NAME=BIN with a name of a-z, 0-9, _ and - (not daemon or reference): $spec"
      [ -x "$bin" ] || die "no such program: $bin"
      extra_names="$extra_names $name"
      extra_files+=(--file "$bin:/usr/sbin/gadgetdfu-$name") ;;
    --memory) memory=${2:?}; shift 2 ;;
    --smp) smp=${2:?}; shift 2 ;;
    --log) log=${2:?}; shift 2 ;;
    --verbose) verbose=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
for n in "$size_mib" "$rounds" "$idle_s" "$smp" ${memory:+"$memory"}; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || die "not a positive number: $n"
done
: "${daemon:=$build/gadgetdfu/gadgetdfu}"
: "${dfuctl:=$build/dfuctl/dfuctl}"
: "${reference:=$build/bench/reference_gadget}"
for f in "$daemon" "$dfuctl" "$reference"; do
  [ -x "$f" ] || die "no such program: $f (build first, e.g. cmake --build build, or give --build DIR)"
done

# /tmp in the VM is a tmpfs of 90 % of its memory; it holds the image, the
# programs' image file and a downloaded copy at the same time.
: "${memory:=$((3 * size_mib + 512))}"
# Boot and image creation, every transfer with its comparison at a
# pessimistic 1 MB/s (a busy host slows the VM down a lot), the idle periods.
programs=$((2 + $(wc -w <<<"$extra_names")))
timeout_s=$((180 + rounds * programs * 2 * (size_mib * 105 / 100 + 60) + programs * 2 * (idle_s + 2)))

keep_log=1
if [ -z "$log" ]; then
  log=$(mktemp "${TMPDIR:-/tmp}/gadgetdfu-bench.XXXXXX.log")
  keep_log=0
fi

args=(--daemon "$daemon" --dfuctl "$dfuctl" --test "$here/vm-bench.sh"
      --file "$reference:/usr/bin/reference_gadget"
      --env "BENCH_SIZE_MIB=$size_mib" --env "BENCH_ROUNDS=$rounds" --env "BENCH_IDLE_SECONDS=$idle_s"
      --env "BENCH_EXTRA=${extra_names# }" ${extra_files[@]+"${extra_files[@]}"}
      --memory "$memory" --smp "$smp" --timeout "$timeout_s" --log "$log")

echo "$me: $size_mib MiB image, $rounds round(s), VM with $memory MiB and $smp CPU(s) (time limit ${timeout_s}s)"
set +e
if [ "$verbose" = 1 ]; then
  "$repo/e2e/run-vm.sh" "${args[@]}"
  status=$?
else
  # run-vm.sh's own lines come after the progress lines, not among them.
  vm_out=$(mktemp "${TMPDIR:-/tmp}/gadgetdfu-bench.XXXXXX.out")
  "$repo/e2e/run-vm.sh" "${args[@]}" --quiet >"$vm_out" 2>&1 &
  vm=$!
  # The progress lines as they come; tail ends with the VM.
  tail -n +1 -F --pid="$vm" "$log" 2>/dev/null | grep --line-buffered -e '^bench: ' -e '^FAIL' &
  watcher=$!
  wait "$vm"
  status=$?
  wait "$watcher" 2>/dev/null
  cat "$vm_out"
  rm -f "$vm_out"
fi
set -e

if [ "$status" = 0 ]; then
  echo
  sed -n '/^=== bench report ===$/,/^=== end of bench report ===$/p' "$log" | sed '1d;$d'
  [ "$keep_log" = 1 ] && echo "$me: console log: $log" || rm -f "$log"
else
  echo "$me: the benchmark did not finish (status $status); the console's last lines:" >&2
  tail -n 40 "$log" >&2
  echo "$me: console log: $log" >&2
fi
exit "$status"
