#!/usr/bin/env bash
# Boots a station: several board VMs and one host VM, all on this machine.
# Each board runs the unchanged daemon on its own gadgetfs + dummy_hcd and
# exports the gadget over USB/IP; the host attaches the boards through
# vhci-hcd and runs dfuctl and ONE test script. Exits with that script's
# status.
#
#   run-station.sh --daemon BIN --dfuctl BIN --test SCRIPT [options]
#
# Options:
#   --daemon BIN       the daemon binary (every board runs it)
#   --dfuctl BIN       the host tool (on the host VM)
#   --test SCRIPT      the test script, run by /bin/sh (dash) on the host VM
#   --boards N         number of board VMs (default 3)
#   --timeout SECONDS  hard limit for the whole run (default: the test's
#                      "# e2e-timeout: N" line, else 300)
#   --memory MIB       RAM of each VM (default: "# e2e-memory: N", else 320)
#   --log-dir DIR      console logs: host.log, board1.log, ... (kept); without
#                      it a temporary folder is kept only when the run fails
#   --env NAME=VALUE   export NAME to the test (repeatable)
#   --file SRC[:DEST]  copy SRC into the VMs (default DEST /e2e/files/NAME)
#   --quiet            do not echo the host's console while it runs
#
# Links: board I listens on a QEMU socket netdev on 127.0.0.1 and the host
# connects to it, one e1000 NIC per board (MAC 52:54:00:e2:II:02 on the
# board, ...:01 on the host); board I is 169.254.I.2, the host 169.254.I.1.
# The boards start first: a connecting socket netdev that finds no listener
# never retries. No traffic leaves 127.0.0.1.
#
# Exit status: the test's status, 124 when the run ran out of time, 125 when
# the VMs could not be prepared or the host ended without a status.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e=$(dirname "$here")
me=$(basename "$0")

. "$e2e/vm/build-lib.sh"

daemon="" dfuctl="" test_script="" boards=3 timeout_s="" memory="" log_dir="" quiet=0
envs=() files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --daemon) daemon=${2:?}; shift 2 ;;
    --dfuctl) dfuctl=${2:?}; shift 2 ;;
    --test) test_script=${2:?}; shift 2 ;;
    --boards) boards=${2:?}; shift 2 ;;
    --timeout) timeout_s=${2:?}; shift 2 ;;
    --memory) memory=${2:?}; shift 2 ;;
    --log-dir) log_dir=${2:?}; shift 2 ;;
    --env) envs+=("${2:?}"); shift 2 ;;
    --file) files+=("${2:?}"); shift 2 ;;
    --quiet) quiet=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
[ -n "$daemon" ] && [ -n "$dfuctl" ] && [ -n "$test_script" ] \
  || { usage >&2; die "--daemon, --dfuctl and --test are required"; }
for f in "$daemon" "$dfuctl" "$test_script"; do [ -f "$f" ] || die "no such file: $f"; done
[[ "$boards" =~ ^[1-9]$ ]] || die "--boards wants 1 to 9"

test_name=$(basename "$test_script" .sh)
[ -n "$timeout_s" ] || timeout_s=$(header_value timeout)
[ -n "$timeout_s" ] || timeout_s=300
[ -n "$memory" ] || memory=$(header_value memory)
[ -n "$memory" ] || memory=320

for tool in qemu-system-x86_64 busybox dash cpio timeout ldd readelf apt-get dpkg usbip usbipd; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done

# ---------------------------------------------------------------------------
# The kernel (shared with run-vm.sh) and the USB/IP and NIC modules, which
# are unpacked from the same package once into the kernel's cache folder.
kdir=$("$e2e/run-vm.sh" --prepare-kernel) || die "cannot prepare the kernel"
kernel=$kdir/vmlinuz
[ -f "$kdir/vmlinux" ] && kernel=$kdir/vmlinux
extra=(usbip-core usbip-host vhci-hcd e1000)
if [ ! -f "$kdir/station/ready" ]; then
  exec 9>"$(dirname "$kdir")/.lock"
  flock 9
  if [ ! -f "$kdir/station/ready" ]; then
    pkg=$(basename "$kdir")
    echo "$me: unpacking the USB/IP and e1000 modules of $pkg (once)"
    dl=$(mktemp -d "$(dirname "$kdir")/download.XXXXXX")
    chmod 755 "$dl"
    (cd "$dl" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null) \
      || { rm -rf "$dl"; die "apt-get download $pkg failed"; }
    dpkg -x "$dl"/*.deb "$dl/x" || { rm -rf "$dl"; die "cannot unpack $pkg"; }
    rm -rf "$kdir/station"
    mkdir -p "$kdir/station"
    for m in "${extra[@]}"; do
      path=$(find "$dl/x/lib/modules" -name "$m.ko" | head -n1)
      [ -n "$path" ] || { rm -rf "$dl"; die "$pkg lacks the module $m (plain .ko)"; }
      cp "$path" "$kdir/station/"
    done
    rm -rf "$dl"
    touch "$kdir/station/ready"
  fi
  flock -u 9
fi

# ---------------------------------------------------------------------------
# One initramfs for every VM; the kernel command line gives the role.
work=$(mktemp -d "${TMPDIR:-/tmp}/gadgetdfu-station-$test_name.XXXXXX")
root=$work/root
pids=()
keep_logs=0
cleanup() {
  local rc=$?
  stop_vms
  [ "$keep_logs" = 1 ] && [ -d "$work/logs" ] && echo "$me: console logs kept in $work/logs"
  [ "$keep_logs" = 1 ] || rm -rf "$work"
  [ "$keep_logs" = 0 ] || rm -rf "$root" "$work/initramfs.cpio"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/local/bin,lib,lib64,proc,sys,dev,run,tmp,root,etc,e2e/files,lib/modules}
# usbip keeps its records of attached devices in /var/run/vhci_hcd.
ln -s ../run "$root/var/run" 2>/dev/null || { mkdir -p "$root/var" && ln -s ../run "$root/var/run"; }
busybox_bin=$(command -v busybox)
! is_dynamic "$busybox_bin" || die "$busybox_bin is not static; install busybox-static"
cp "$busybox_bin" "$root/bin/busybox"
add_binary "$(command -v dash)" /bin/sh
add_binary "$daemon" /usr/sbin/gadgetdfu
add_binary "$dfuctl" /usr/bin/dfuctl
add_binary "$(command -v usbip)" /usr/sbin/usbip
add_binary "$(command -v usbipd)" /usr/sbin/usbipd
install_standins "$e2e/vm/standin"
install -m 755 "$here/board-ctl" "$root/usr/local/bin/board-ctl"
install -m 755 "$here/board-agent" "$root/usr/local/bin/board-agent"
while read -r m; do cp "$kdir/modules/$m" "$root/lib/modules/"; done <"$kdir/modules.list"
cp "$kdir"/station/*.ko "$root/lib/modules/"
install -m 755 "$here/init" "$root/init"
install -m 644 "$e2e/lib.sh" "$root/e2e/lib.sh"
install -m 644 "$here/station-lib.sh" "$root/e2e/station-lib.sh"
install -m 644 "$test_script" "$root/e2e/test.sh"
install_files
guest_timeout=$(( timeout_s > 120 ? timeout_s - 60 : timeout_s / 2 ))
{
  env_line E2E_TEST_NAME "$test_name"
  env_line E2E_BOARDS "$boards"
  env_line E2E_GUEST_TIMEOUT "$guest_timeout"
  env_lines
} >"$root/e2e/env"
pack_initramfs "$work/initramfs.cpio"

# ---------------------------------------------------------------------------
# Ports: free ones on 127.0.0.1, from a random start.
port_in_use() {
  local hex; hex=$(printf '%04X' "$1")
  awk -v h=":$hex" 'NR > 1 && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
listening() {
  local hex; hex=$(printf '%04X' "$1")
  awk -v h=":$hex" 'NR > 1 && $4 == "0A" && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
    /proc/net/tcp 2>/dev/null
}
ports=()
p=$(( 20000 + RANDOM % 20000 ))
while [ ${#ports[@]} -lt "$boards" ]; do
  port_in_use "$p" || ports+=("$p")
  p=$((p + 1))
done

mkdir -p "$work/logs"
[ -z "$log_dir" ] || { mkdir -p "$log_dir"; rm -f "$log_dir"/host.log "$log_dir"/board*.log; }
logs=${log_dir:-$work/logs}
qemu_common=(-accel tcg -cpu max -smp 1 -m "$memory" -nodefaults -no-user-config -display none
             -monitor none -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio")
# no_timer_check: on a busy machine a TCG guest can fail the kernel's early
# timer check and panic ("IO-APIC + timer doesn't work").
append="console=ttyS0 loglevel=4 panic=-1 rdinit=/init cryptomgr.notests no_timer_check"

start=$(date +%s.%N)
for i in $(seq 1 "$boards"); do
  # A board only stops when it is told to; its own limit is a safety net.
  timeout --kill-after=5 "$((timeout_s + 30))" qemu-system-x86_64 "${qemu_common[@]}" \
    -serial "file:$logs/board$i.log" \
    -netdev "socket,id=n$i,listen=127.0.0.1:${ports[i-1]}" \
    -device "e1000,netdev=n$i,mac=$(printf '52:54:00:e2:%02x:02' "$i")" \
    -append "$append e2e.role=board e2e.index=$i" </dev/null >"$logs/board$i.qemu" 2>&1 &
  pids+=($!)
done
for i in $(seq 1 "$boards"); do
  for _ in $(seq 100); do listening "${ports[i-1]}" && break; sleep 0.1; done
  listening "${ports[i-1]}" || { keep_logs=1; die "board $i does not listen on 127.0.0.1:${ports[i-1]}"; }
done

host_net=()
for i in $(seq 1 "$boards"); do
  host_net+=(-netdev "socket,id=n$i,connect=127.0.0.1:${ports[i-1]}"
             -device "e1000,netdev=n$i,mac=$(printf '52:54:00:e2:%02x:01' "$i")")
done
set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 "${qemu_common[@]}" -serial stdio \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 "${host_net[@]}" \
  -append "$append e2e.role=host" </dev/null 2>&1 \
  | clean_console | if [ "$quiet" = 1 ]; then cat >"$logs/host.log"; else tee "$logs/host.log"; fi
qemu_rc=${PIPESTATUS[0]}
set -e
elapsed=$(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}')

decode_status "$qemu_rc" "$logs/host.log" "the host VM"
stop_vms
for i in $(seq 1 "$boards"); do
  clean_console <"$logs/board$i.log" >"$logs/board$i.tmp" && mv "$logs/board$i.tmp" "$logs/board$i.log"
  [ -s "$logs/board$i.qemu" ] || rm -f "$logs/board$i.qemu"
  sed -n 's/^=== e2e: \(board .* ready .*\) ===$/  \1/p' "$logs/board$i.log"
done
if [ "$status" = 0 ]; then
  echo "$me: $test_name: PASSED in ${elapsed}s"
else
  echo "$me: $test_name: FAILED (status $status) after ${elapsed}s; console logs: $logs"
  [ -n "$log_dir" ] || keep_logs=1
fi
exit "$status"
