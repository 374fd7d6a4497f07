#!/usr/bin/env bash
# Boots the board as it is deployed: a Debian bookworm VM that boots with
# systemd (amd64 or arm64, build-image.sh), into which the project's
# packages are installed, and runs ONE test script in it. The VM is not
# told -no-reboot: a reboot inside (e.g. dfuctl reboot) resets it, the test
# carries on at the next boot (E2E_BOOT) and the run ends when the VM powers
# itself off after the test. Exits with the test's status.
#
#   run-board.sh --arch ARCH --deb FILE... --test SCRIPT [options]
#
# Options:
#   --arch ARCH         amd64 (default) or arm64; an arm64 VM is emulated
#                       (qemu-system-aarch64 -M virt)
#   --deb FILE          a package to copy into the VM, to /e2e/debs
#                       (repeatable); the test installs them
#   --test SCRIPT       the test script, run by /bin/sh in the VM at every
#                       boot (gadgetdfu-e2e.service)
#   --field             the field set-up: the same disk boots twice, as a
#                       board (the daemon's package installed, its gadget
#                       exported over USB/IP) and as a host that attaches it
#                       and runs the test; amd64 only
#   --timeout SECONDS   hard limit for the whole run (default: the test's
#                       "# e2e-timeout: N" line, else 300)
#   --memory MIB        guest RAM (default: "# e2e-memory: N", else 1024)
#   --log FILE          console log (kept; --field: the board's goes to
#                       FILE.board); without it a temporary log is kept only
#                       when the run fails
#   --env NAME=VALUE    export NAME to the test (repeatable)
#   --file SRC[:DEST]   copy SRC into the VM (default DEST /e2e/files/NAME)
#   --quiet             do not echo the console while the VM runs
#
# Exit status: the test's status (0 = passed), 124 when the VM ran out of
# time, 125 when the VM could not be prepared or ended without a status.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e=$(dirname "$here")
me=$(basename "$0")

. "$e2e/vm/build-lib.sh"

arch=amd64 test_script="" field=0 timeout_s="" memory="" log="" quiet=0
debs=() envs=() files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:?}; shift 2 ;;
    --deb) debs+=("${2:?}"); shift 2 ;;
    --test) test_script=${2:?}; shift 2 ;;
    --field) field=1; shift ;;
    --timeout) timeout_s=${2:?}; shift 2 ;;
    --memory) memory=${2:?}; shift 2 ;;
    --log) log=${2:?}; shift 2 ;;
    --env) envs+=("${2:?}"); shift 2 ;;
    --file) files+=("${2:?}"); shift 2 ;;
    --quiet) quiet=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
[ -n "$test_script" ] || { usage >&2; die "--test is required"; }
for f in "$test_script" ${debs[@]+"${debs[@]}"}; do [ -f "$f" ] || die "no such file: $f"; done
case "$arch" in amd64|arm64) ;; *) die "--arch wants amd64 or arm64" ;; esac
[ "$field" = 0 ] || [ "$arch" = amd64 ] || die "--field runs amd64 VMs only"

test_name=$(basename "$test_script" .sh)
[ -n "$timeout_s" ] || timeout_s=$(header_value timeout)
[ -n "$timeout_s" ] || timeout_s=300
[ -n "$memory" ] || memory=$(header_value memory)
[ -n "$memory" ] || memory=1024

case "$arch" in
  amd64) qemu=qemu-system-x86_64 console=ttyS0
         machine=(-accel tcg -cpu max) ;;
  # pauth-impdef: the emulated CPU's pointer authentication, without the
  # cost of the architected algorithm under TCG.
  arm64) qemu=qemu-system-aarch64 console=ttyAMA0
         machine=(-M virt -accel tcg -cpu max,pauth-impdef=on) ;;
esac
for tool in "$qemu" qemu-img cpio timeout; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done

# ---------------------------------------------------------------------------
# The disk and kernel, cached (build-image.sh); the bzImage's ELF kernel
# boots faster (prepare_vmlinux).
image=$("$here/build-image.sh" "$arch") || die "cannot build the $arch root file system"
kernel=$image/kernel
if [ "$arch" = amd64 ]; then
  exec 9>"$(vm_cache_dir)/.lock"
  flock 9
  prepare_vmlinux "$image/kernel" "$image/vmlinux"
  flock -u 9
  [ -f "$image/vmlinux" ] && kernel=$image/vmlinux
fi

# ---------------------------------------------------------------------------
# The initramfs: busybox mounts the disk and copies the run's files over it.
work=$(mktemp -d "${TMPDIR:-/tmp}/gadgetdfu-board-$test_name.XXXXXX")
root=$work/root
pids=()
cleanup() {
  local rc=$?
  stop_vms
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$root"/{bin,dev,proc,sys,lib/modules}
cp "$image/busybox" "$root/bin/busybox"
while read -r m; do cp "$image/modules/$m" "$root/lib/modules/"; done <"$image/modules.list"
cp "$image/modules.list" "$root/lib/modules/load-order"
install -m 755 "$here/initramfs-init" "$root/init"

over=$root/overlay
mkdir -p "$over"
cp -a "$here/vm/." "$over/"
mkdir -p "$over/etc/systemd/system/multi-user.target.wants" "$over/etc/systemd/system/sysinit.target.wants"
for unit in gadgetdfu-e2e gadgetdfu-vm-net usbipd gadgetdfu-vm-attach; do
  ln -s "../$unit.service" "$over/etc/systemd/system/multi-user.target.wants/$unit.service"
done
ln -s ../gadgetdfu-vm-board.service "$over/etc/systemd/system/sysinit.target.wants/gadgetdfu-vm-board.service"
# Nobody logs in: no login prompts on the console the test writes to. No
# housekeeping either: a run is over long before any of it would be due.
for unit in getty@.service serial-getty@.service e2scrub_reap.service e2scrub_all.timer \
            apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer fstrim.timer; do
  ln -s /dev/null "$over/etc/systemd/system/$unit"
done
# The board's tools (not reboot and shutdown: those are the system's own).
mkdir -p "$over/usr/local/bin" "$over/usr/sbin"
install -m 755 "$e2e/vm/standin" "$over/usr/local/bin/standin"
ln -s ../local/bin/standin "$over/usr/sbin/velko-bridge-cli"
ln -s standin "$over/usr/local/bin/mmc"

mkdir -p "$over/e2e/debs" "$over/e2e/files"
for f in ${debs[@]+"${debs[@]}"}; do cp "$f" "$over/e2e/debs/"; done
install -m 644 "$e2e/lib.sh" "$over/e2e/lib.sh"
install -m 644 "$here/board-lib.sh" "$over/e2e/board-lib.sh"
install -m 644 "$test_script" "$over/e2e/test.sh"
root=$over install_files
guest_timeout=$(( timeout_s > 120 ? timeout_s - 60 : timeout_s / 2 ))
{
  env_line E2E_TEST_NAME "$test_name"
  env_line E2E_ARCH "$arch"
  env_line E2E_GUEST_TIMEOUT "$guest_timeout"
  env_lines
} >"$over/e2e/env"
pack_initramfs "$work/initramfs.cpio"

# ---------------------------------------------------------------------------
# Boot: a qcow2 overlay per VM over the cached disk.
open_log gadgetdfu-board
disk() {  # NAME: a fresh overlay
  qemu-img create -q -f qcow2 -F raw -b "$image/disk.raw" "$work/$1.qcow2" || die "qemu-img create failed"
  echo "$work/$1.qcow2"
}
# no_timer_check: on a busy machine a TCG guest can fail the kernel's early
# timer check and panic. panic=0: a panic waits for the time limit instead
# of rebooting in a loop.
append="console=$console loglevel=4 panic=0 no_timer_check cryptomgr.notests net.ifnames=0"
qemu_vm() {  # ROLE DISK: sets `vm`, the command line of one VM
  vm=("$qemu" "${machine[@]}" -smp 2 -m "$memory" -nodefaults -no-user-config -display none
      -monitor none -kernel "$kernel" -initrd "$work/initramfs.cpio"
      -drive "file=$2,if=virtio,format=qcow2" -append "$append gadgetdfu.vm=$1")
}

start=$(date +%s.%N)
host_net=()
if [ "$field" = 1 ]; then
  port=$(( 20000 + RANDOM % 20000 ))
  while awk -v h=":$(printf '%04X' "$port")" 'NR > 1 && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
          /proc/net/tcp /proc/net/tcp6 2>/dev/null; do port=$((port + 1)); done
  rm -f "$log.board"
  # The board listens, the host connects: a connecting socket netdev that
  # finds no listener never retries.
  qemu_vm field-board "$(disk board)"
  timeout --kill-after=5 "$((timeout_s + 30))" "${vm[@]}" -serial "file:$log.board" \
      -netdev "socket,id=n1,listen=127.0.0.1:$port" -device e1000,netdev=n1,mac=52:54:00:e2:01:02 \
      </dev/null >"$work/board.qemu" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    awk -v h=":$(printf '%04X' "$port")" 'NR > 1 && $4 == "0A" && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
      /proc/net/tcp && break
    sleep 0.1
  done
  host_net=(-netdev "socket,id=n1,connect=127.0.0.1:$port" -device e1000,netdev=n1,mac=52:54:00:e2:01:01)
fi
role=board
[ "$field" = 1 ] && role=host
qemu_vm "$role" "$(disk "$role")"
# A kernel panic ends the run at once (the VM would wait for the time limit).
{
  timeout --kill-after=10 "$timeout_s" "${vm[@]}" -serial stdio ${host_net[@]+"${host_net[@]}"} </dev/null 2>&1 &
  echo $! >"$work/qemu.pid"
  wait $!
  echo $? >"$work/qemu.rc"
} | clean_console | if [ "$quiet" = 1 ]; then cat >"$log"; else tee "$log"; fi &
console_pid=$!
panicked=0
while kill -0 "$console_pid" 2>/dev/null; do
  if [ "$panicked" = 0 ] && grep -q 'end Kernel panic' "$log"; then
    panicked=1
    kill "$(cat "$work/qemu.pid")" 2>/dev/null || true
  fi
  sleep 1
done
wait "$console_pid" || true
qemu_rc=$(cat "$work/qemu.rc" 2>/dev/null || echo 2)
[ "$panicked" = 0 ] || { echo "$me: $test_name: kernel panic"; qemu_rc=2; }
elapsed=$(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}')
decode_status "$qemu_rc" "$log" "the VM"
boots=$(grep -c '=== e2e: initramfs: boot ===' "$log" || true)
echo "$me: $test_name: $boots boot(s) of the $arch VM"
if [ "$field" = 1 ]; then
  stop_vms
  clean_console <"$log.board" >"$work/board.log" && mv "$work/board.log" "$log.board"
  board_boots=$(grep -c '=== e2e: initramfs: boot ===' "$log.board" || true)
  echo "$me: $test_name: $board_boots boot(s) of the board VM"
  # The field test reboots the board: a board that never booted again did
  # not really reboot, whatever the host saw.
  if [ "$status" = 0 ] && [ "$board_boots" -lt 2 ]; then
    echo "$me: $test_name: the board VM did not reboot"
    status=1
  fi
  sed -n 's/^.*=== e2e: \(board ready.*\) ===$/  \1/p' "$log.board"
fi

if [ "$status" = 0 ]; then
  echo "$me: $test_name: PASSED in ${elapsed}s"
  [ "$log_is_temp" = 1 ] && rm -f "$log" "$log.board"
else
  echo "$me: $test_name: FAILED (status $status) after ${elapsed}s; console log: $log"
fi
exit "$status"
