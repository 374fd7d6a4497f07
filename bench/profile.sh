#!/usr/bin/env bash
# Profiles the daemon and the reference gadget in one boot of the e2e VM:
# system call counts (strace -c -f) and cpu-clock samples by binary and
# symbol (perf record) during an upload and a download. The host's strace and
# perf, with the libraries they need, are copied into the VM. Output: the
# VM's console (vm-profile.sh prints the tables).
#
#   bench/profile.sh [--build DIR | --daemon BIN --dfuctl BIN --reference BIN]
#                    [--size-mib N] [--extra NAME=BIN]... [--log FILE]
#
# Needs strace and perf (linux-perf) on the host, besides what the e2e VM
# needs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
me=$(basename "$0")
die() { echo "$me: $*" >&2; exit 2; }

build=$repo/build daemon="" dfuctl="" reference="" size_mib=64 log=""
extra_names="" extra_files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=${2:?}; shift 2 ;;
    --daemon) daemon=${2:?}; shift 2 ;;
    --dfuctl) dfuctl=${2:?}; shift 2 ;;
    --reference) reference=${2:?}; shift 2 ;;
    --size-mib) size_mib=${2:?}; shift 2 ;;
    --extra)
      spec=${2:?}; shift 2
      name=${spec%%=*} bin=${spec#*=}
      [[ "$spec" == *=* && "$name" =~ ^[a-z0-9][a-z0-9_-]*$ && "$name" != daemon && "$name" != reference ]] \
        || die "--extra wants NAME=BIN (a-z, 0-9, _ and -; not daemon or reference): $spec"
      [ -x "$bin" ] || die "no such program: $bin"
      extra_names="$extra_names $name"
      extra_files+=(--file "$bin:/usr/sbin/gadgetdfu-$name") ;;
    --log) log=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1 (see --help)" ;;
  esac
done
[[ "$size_mib" =~ ^[1-9][0-9]*$ ]] || die "not a positive number: $size_mib"
: "${daemon:=$build/gadgetdfu/gadgetdfu}"
: "${dfuctl:=$build/dfuctl/dfuctl}"
: "${reference:=$build/bench/reference_gadget}"
for f in "$daemon" "$dfuctl" "$reference"; do
  [ -x "$f" ] || die "no such program: $f (build first, or give --build DIR)"
done

# The tools and every library they load, each to its own path in the VM.
tool_files=()
for tool in strace perf; do
  path=$(command -v "$tool") || die "$tool is missing on this host"
  path=$(readlink -f "$path")
  readelf -h "$path" >/dev/null 2>&1 || die "$path is not a binary (a wrapper script?); point PATH at the real $tool"
  tool_files+=(--file "$path:/usr/bin/$tool")
  while read -r lib; do
    tool_files+=(--file "$lib:$lib")
  done < <(ldd "$path" | awk '/=> \//{print $3} /^[ \t]*\//{print $1}')
done

[ -n "$log" ] || log=$(mktemp "${TMPDIR:-/tmp}/gadgetdfu-profile.XXXXXX.log")
programs=$((2 + $(wc -w <<<"$extra_names")))
"$repo/e2e/run-vm.sh" --daemon "$daemon" --dfuctl "$dfuctl" --test "$here/vm-profile.sh" \
  --file "$reference:/usr/bin/reference_gadget" "${tool_files[@]}" ${extra_files[@]+"${extra_files[@]}"} \
  --env "PROF_SIZE_MIB=$size_mib" --env "BENCH_EXTRA=${extra_names# }" \
  --memory $((3 * size_mib + 768)) --timeout $((120 + programs * 4 * (size_mib * 105 / 100 + 60))) \
  --log "$log" --quiet || { echo "$me: the profile run failed; console log: $log" >&2; exit 1; }
grep -v -e '^\[ *[0-9.]*\]' -e '^  ok ' "$log"
echo "$me: console log: $log"
