#!/usr/bin/env bash
# Boots a throw-away QEMU VM in which the unchanged board daemon serves the
# gadget side of the kernel's dummy_hcd through gadgetfs and dfuctl is the USB
# host, runs ONE test script in it and exits with that script's status.
#
#   run-vm.sh --daemon BIN --dfuctl BIN --test SCRIPT [options]
#
# Options:
#   --daemon BIN          the daemon binary (copied to /usr/sbin/gadgetdfu)
#   --dfuctl BIN          the host tool (copied to /usr/bin/dfuctl)
#   --test SCRIPT         the test script, run by /bin/sh (dash) inside the VM
#   --variant NAME        one of the script's variants (its "# e2e-variants:"
#                         line): exported as E2E_VARIANT; the run is named
#                         SCRIPT_NAME
#   --daemon-wrapper BIN  run the daemon through BIN, e.g. /usr/bin/qemu-arm-static
#                         for a static armhf build
#   --timeout SECONDS     hard limit for the whole VM run (default: the test's
#                         "# e2e-timeout: N" line, else 120)
#   --memory MIB          guest RAM (default: the test's "# e2e-memory: N" line,
#                         else 2048)
#   --smp N               guest CPUs (default 2)
#   --log FILE            console log (kept); without it a temporary log is
#                         kept only when the run fails
#   --env NAME=VALUE      export NAME to the test (repeatable); E2E_FULL_SPEED=1
#                         gives a full-speed link (the default for a script
#                         with the line "# e2e-full-speed")
#   --file SRC[:DEST]     copy SRC into the VM (default DEST /e2e/files/NAME)
#   --keep                keep the temporary folder with the initramfs
#   --quiet               do not echo the console while the VM runs
#   --prepare-kernel      only fetch and unpack the kernel into the cache, print
#                         its folder and exit (for other harnesses)
#
# Exit status: the test's status (0 = passed), 124 when the VM ran out of
# time, 125 when the VM could not be prepared or ended without a status.
#
# The kernel is the one Debian's linux-image-amd64 points at; it is fetched
# with apt-get and unpacked once into $GADGETDFU_VM_CACHE (default
# /var/cache/gadgetdfu-vm for root, else ~/.cache/gadgetdfu-vm).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
me=$(basename "$0")

. "$here/vm/build-lib.sh"

daemon="" dfuctl="" test_script="" variant="" wrapper="" timeout_s="" memory="" smp=2
log="" keep=0 quiet=0 prepare_only=0
envs=() files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --daemon) daemon=${2:?}; shift 2 ;;
    --dfuctl) dfuctl=${2:?}; shift 2 ;;
    --test) test_script=${2:?}; shift 2 ;;
    --variant) variant=${2:?}; shift 2 ;;
    --daemon-wrapper) wrapper=${2:?}; shift 2 ;;
    --timeout) timeout_s=${2:?}; shift 2 ;;
    --memory) memory=${2:?}; shift 2 ;;
    --smp) smp=${2:?}; shift 2 ;;
    --log) log=${2:?}; shift 2 ;;
    --env) envs+=("${2:?}"); shift 2 ;;
    --file) files+=("${2:?}"); shift 2 ;;
    --keep) keep=1; shift ;;
    --quiet) quiet=1; shift ;;
    --prepare-kernel) prepare_only=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
[ "$prepare_only" = 1 ] || { [ -n "$daemon" ] && [ -n "$dfuctl" ] && [ -n "$test_script" ]; } \
  || { usage >&2; die "--daemon, --dfuctl and --test are required"; }
for f in ${daemon:+"$daemon"} ${dfuctl:+"$dfuctl"} ${test_script:+"$test_script"} ${wrapper:+"$wrapper"}; do
  [ -f "$f" ] || die "no such file: $f"
done
[ "$prepare_only" = 0 ] || test_script=/dev/null
[ "$(uname -m)" = x86_64 ] || die "the VM runs x86_64 binaries; this host is $(uname -m)"

test_name=$(basename "$test_script" .sh)${variant:+_$variant}
# A test can state what it needs in its own header.
[ -n "$timeout_s" ] || timeout_s=$(header_value timeout)
[ -n "$timeout_s" ] || timeout_s=120
[ -n "$memory" ] || memory=$(header_value memory)
[ -n "$memory" ] || memory=2048
# Given first, so that an --env of the same name wins.
grep -q '^# e2e-full-speed' "$test_script" && envs=(E2E_FULL_SPEED=1 ${envs[@]+"${envs[@]}"})
[ -z "$variant" ] || envs=("E2E_VARIANT=$variant" ${envs[@]+"${envs[@]}"})

for tool in qemu-system-x86_64 busybox dash cpio timeout ldd flock readelf; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done
busybox_bin=$(command -v busybox)
! is_dynamic "$busybox_bin" \
  || die "$busybox_bin is not static; install busybox-static"

# ---------------------------------------------------------------------------
# The kernel and its modules, cached between runs.
cache=$(vm_cache_dir)
mkdir -p "$cache" || die "cannot create the VM cache $cache"
# Load order matters: busybox insmod does not resolve dependencies.
modules=(usb-common usbcore udc-core dummy_hcd gadgetfs brd)

prepare_kernel() {
  local pkg=${GADGETDFU_VM_KERNEL_PKG:-}
  # apt-cache takes about 2 s, so its answer is kept for a month.
  if [ -z "$pkg" ] && [ -n "$(find "$cache/kernel-package" -mtime -30 2>/dev/null)" ]; then
    pkg=$(cat "$cache/kernel-package")
  fi
  if [ -z "$pkg" ]; then
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null \
          | sed -n 's/^ *Depends: \(linux-image-[^ <>]*\)$/\1/p' | head -n1 || true)
    [ -n "$pkg" ] && echo "$pkg" >"$cache/kernel-package"
  fi
  if [ -z "$pkg" ]; then
    # No package lists (offline): fall back to a kernel unpacked earlier.
    pkg=$(cd "$cache" && ls -d linux-image-*/ 2>/dev/null | sed 's:/$::' | sort -V | tail -n1 || true)
    [ -n "$pkg" ] && [ -f "$cache/$pkg/ready" ] \
      || die "cannot resolve the kernel package (run apt-get update) and none is cached"
  fi
  kdir=$cache/$pkg
  [ -f "$kdir/ready" ] && return 0

  echo "$me: preparing $pkg in $kdir (once)"
  local dl; dl=$(mktemp -d "$cache/download.XXXXXX")
  chmod 755 "$dl"
  (cd "$dl" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null) \
    || { rm -rf "$dl"; die "apt-get download $pkg failed"; }
  rm -rf "$kdir.tmp"
  mkdir -p "$kdir.tmp/x"
  dpkg -x "$dl"/*.deb "$kdir.tmp/x" || { rm -rf "$dl"; die "cannot unpack $pkg"; }
  rm -rf "$dl"
  local vmlinuz; vmlinuz=$(ls "$kdir.tmp"/x/boot/vmlinuz-* | head -n1)
  [ -f "$vmlinuz" ] || die "$pkg has no kernel image"
  mkdir -p "$kdir.tmp/modules"
  cp "$vmlinuz" "$kdir.tmp/vmlinuz"
  local m path
  : >"$kdir.tmp/modules.list"
  for m in "${modules[@]}"; do
    path=$(find "$kdir.tmp/x/lib/modules" -name "$m.ko" -o -name "$m.ko.xz" -o -name "$m.ko.zst" | head -n1)
    [ -n "$path" ] || die "$pkg lacks the module $m"
    case "$path" in *.ko) ;; *) die "$path is compressed; busybox insmod needs plain .ko files" ;; esac
    cp "$path" "$kdir.tmp/modules/"
    echo "$m.ko" >>"$kdir.tmp/modules.list"
  done
  rm -rf "$kdir.tmp/x"
  touch "$kdir.tmp/ready"
  rm -rf "$kdir"
  mv "$kdir.tmp" "$kdir"
}

exec 9>"$cache/.lock"
flock 9
prepare_kernel
prepare_vmlinux "$kdir/vmlinuz" "$kdir/vmlinux"
flock -u 9
[ "$prepare_only" = 0 ] || { echo "$kdir"; exit 0; }
kernel=$kdir/vmlinuz
[ -f "$kdir/vmlinux" ] && kernel=$kdir/vmlinux

# ---------------------------------------------------------------------------
# The initramfs, built in a temporary folder.
work=$(mktemp -d "${TMPDIR:-/tmp}/gadgetdfu-vm-$test_name.XXXXXX")
root=$work/root
cleanup() {
  local rc=$?
  if [ "$keep" = 1 ]; then echo "$me: kept $work"; else rm -rf "$work"; fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/local/bin,lib,lib64,proc,sys,dev,run,tmp,root,etc,e2e/files,lib/modules}

# busybox's applet links are made by the VM's init (faster than 300 ln here).
cp "$busybox_bin" "$root/bin/busybox"
add_binary "$(command -v dash)" /bin/sh
add_binary "$dfuctl" /usr/bin/dfuctl
if [ -n "$wrapper" ]; then
  add_binary "$wrapper" "/usr/bin/$(basename "$wrapper")"
  install -m 755 "$daemon" "$root/usr/sbin/gadgetdfu"
  is_dynamic "$daemon" \
    && echo "$me: warning: $daemon is dynamic; under a wrapper it needs a static build" >&2
  wrapper_in_vm=/usr/bin/$(basename "$wrapper")
else
  add_binary "$daemon" /usr/sbin/gadgetdfu
  wrapper_in_vm=""
fi

install_standins "$here/vm/standin"

while read -r m; do cp "$kdir/modules/$m" "$root/lib/modules/"; done <"$kdir/modules.list"
cp "$kdir/modules.list" "$root/lib/modules/load-order"

install -m 755 "$here/vm/init" "$root/init"
install -m 644 "$here/lib.sh" "$root/e2e/lib.sh"
install -m 644 "$here/faults.sh" "$root/e2e/faults.sh"
install -m 644 "$test_script" "$root/e2e/test.sh"
install_files

guest_timeout=$(( timeout_s > 40 ? timeout_s - 20 : timeout_s / 2 ))
{
  env_line E2E_TEST_NAME "$test_name"
  env_line E2E_DAEMON /usr/sbin/gadgetdfu
  env_line E2E_DAEMON_WRAPPER "$wrapper_in_vm"
  env_line E2E_GUEST_TIMEOUT "$guest_timeout"
  env_lines
} >"$root/e2e/env"

pack_initramfs "$work/initramfs.cpio"

# ---------------------------------------------------------------------------
# Boot. The test's status leaves QEMU through isa-debug-exit: the guest writes
# byte N to port 0xf4 and QEMU exits with 2N+1.
open_log gadgetdfu-e2e
console() {
  clean_console | if [ "$quiet" = 1 ]; then cat >"$log"; else tee "$log"; fi
}

start=$(date +%s.%N)
set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
  -accel tcg -cpu max -smp "$smp" -m "$memory" \
  -nodefaults -no-user-config -display none -monitor none -no-reboot \
  -serial stdio \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 loglevel=4 panic=-1 rdinit=/init cryptomgr.notests" \
  </dev/null | console
qemu_rc=${PIPESTATUS[0]}
set -e
elapsed=$(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}')

decode_status "$qemu_rc" "$log" "the VM"

if [ "$status" = 0 ]; then
  echo "$me: $test_name: PASSED in ${elapsed}s"
  [ "$log_is_temp" = 1 ] && [ "$keep" = 0 ] && rm -f "$log"
else
  echo "$me: $test_name: FAILED (status $status) after ${elapsed}s; console log: $log"
fi
exit "$status"
