#!/bin/sh
# Runs the real daemon binary as a process: without a Serial line in
# /proc/cpuinfo it ends with status 2; with one but without a controller node,
# with status 1. A private mount namespace puts a prepared cpuinfo in place;
# nothing is created under the real /dev.
set -u
daemon=$1
fail() { echo "FAIL: $*"; exit 1; }

# A daemon from a cross build runs under qemu-user (Debian's cross sysroot
# serves a dynamic one). The ELF machine field is at byte 18.
elf_machine() { od -An -tu2 -j18 -N2 "$1" | tr -d ' '; }
wrapper=""
machine=$(elf_machine "$daemon")
if [ "$machine" != "$(elf_machine /bin/sh)" ]; then
  case $machine in
    40) qemu=qemu-arm-static; sysroot=/usr/arm-linux-gnueabihf ;;
    183) qemu=qemu-aarch64-static; sysroot=/usr/aarch64-linux-gnu ;;
    *) echo "SKIP: $daemon is for ELF machine $machine, which this machine cannot run"; exit 77 ;;
  esac
  command -v $qemu >/dev/null || { echo "SKIP: running $daemon needs $qemu (qemu-user-static)"; exit 77; }
  wrapper="$qemu -L $sysroot"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# This machine's cpuinfo has no Serial line (x86): status 2.
if grep -q "^Serial" /proc/cpuinfo; then
  echo "this machine has a Serial line; status 2 is checked with a prepared file only"
fi
printf 'processor\t: 0\nmodel name\t: test\n' > "$work/noserial"
printf 'processor\t: 0\nSerial\t\t: 10000000abcdef01\n' > "$work/serial"

run_with_cpuinfo() {
  unshare -m sh -c 'mount --bind "$1" /proc/cpuinfo && shift && exec "$@"' sh "$1" $wrapper "$daemon" \
    >"$work/out" 2>"$work/err"
}

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "SKIP: needs root and mount namespaces"
  exit 77
fi

run_with_cpuinfo "$work/noserial"; status=$?
[ $status -eq 2 ] || fail "no serial: status $status, want 2"
[ "$(cat "$work/out")" = "vog Vv1.4" ] || fail "no serial: stdout $(cat "$work/out")"
head -n 1 "$work/err" | grep -q '^Unable to open /proc/cpuinfo (' || fail "no serial: stderr $(cat "$work/err")"
[ "$(sed -n 2p "$work/err")" = " Aborting " ] || fail "no serial: second line"

run_with_cpuinfo "$work/serial"; status=$?
[ $status -eq 1 ] || fail "serial, no node: status $status, want 1"
printf 'vog Vv1.4\n SOC Serial number [10000000abcdef01] \n' | cmp -s - "$work/out" \
  || fail "serial, no node: stdout $(cat "$work/out")"
[ "$(head -n 1 "$work/err")" = "Unable to open /dev/gadget/1000480000.usb and /dev/gadget/fe980000.usb (No such file or directory)" ] \
  || fail "serial, no node: stderr $(cat "$work/err")"
[ "$(sed -n 2p "$work/err")" = "Did you forget to execute this:" ] || fail "hint missing"
# A console whose reader has gone (a journal stream that was closed) costs
# the lines written to it, not the daemon: it ends as above, not by SIGPIPE.
status=$( { unshare -m sh -c 'sleep 0.3; mount --bind "$1" /proc/cpuinfo && shift && exec "$@"' sh \
            "$work/serial" $wrapper "$daemon" 2>"$work/err"; echo $? >"$work/status"; } | true; cat "$work/status")
[ "$status" -eq 1 ] || fail "console reader gone: status $status, want 1"
grep -q "^Did you forget to execute this:" "$work/err" || fail "console reader gone: stderr $(cat "$work/err")"
echo "daemon process: statuses 2 and 1 as expected, also with the console's reader gone"
