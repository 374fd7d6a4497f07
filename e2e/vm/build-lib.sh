# Shared by the VM launchers (run-vm.sh and multi/run-station.sh), sourced on
# the host: the pieces that fill an initramfs folder. Needs `me` (the
# launcher's name, for messages), `root` (the folder being filled) and, for
# the functions that use them, `test_script`, `files` and `envs`.

die() { echo "$me: $*" >&2; exit 125; }

# The VMs' cache (kernels, root file systems): $GADGETDFU_VM_CACHE, else
# /var/cache/gadgetdfu-vm for root, ~/.cache/gadgetdfu-vm for others.
vm_cache_dir() {
  if [ -n "${GADGETDFU_VM_CACHE:-}" ]; then echo "$GADGETDFU_VM_CACHE"
  elif [ "$(id -u)" = 0 ]; then echo /var/cache/gadgetdfu-vm
  else echo "${XDG_CACHE_HOME:-$HOME/.cache}/gadgetdfu-vm"; fi
}
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; }

# A test can state what it needs in its own header: "# e2e-NAME: NUMBER".
header_value() { sed -n "s/^# e2e-$1: *\([0-9][0-9]*\).*/\1/p" "$test_script" | head -n1; }

# A binary with a program interpreter is dynamically linked.
is_dynamic() { readelf -l "$1" 2>/dev/null | grep -q 'program interpreter'; }

# Copies a binary to DEST inside the VM, with the shared libraries it needs.
add_binary() {
  local src=$1 dest=$2 lib
  install -D -m 755 "$src" "$root$dest"
  if is_dynamic "$src"; then
    ldd "$src" >/dev/null 2>&1 || die "$src is dynamic but ldd cannot resolve it (foreign architecture?)"
    while read -r lib; do
      [ -e "$root$lib" ] || install -D -m 755 "$(readlink -f "$lib")" "$root$lib"
    done < <(ldd "$src" | awk '/=> \//{print $3} /^[ \t]*\//{print $1}')
  fi
}

# The board's outside commands: one recording stand-in under several names.
install_standins() {
  local standin=$1 name
  install -m 755 "$standin" "$root/usr/local/bin/standin"
  ln -s ../local/bin/standin "$root/usr/sbin/velko-bridge-cli"
  for name in mmc reboot shutdown; do ln -s standin "$root/usr/local/bin/$name"; done
}

# The --file SRC[:DEST] arguments, by default into /e2e/files.
install_files() {
  local arg src dest
  for arg in ${files[@]+"${files[@]}"}; do
    src=${arg%%:*}; dest=${arg#*:}
    [ "$dest" = "$arg" ] && dest=/e2e/files/$(basename "$src")
    [ -f "$src" ] || die "no such file: $src"
    install -D -m "$( [ -x "$src" ] && echo 755 || echo 644 )" "$src" "$root$dest"
  done
}

# One NAME='VALUE' line of the guest's environment file.
env_line() { printf "%s='%s'\n" "$1" "$(printf %s "$2" | sed "s/'/'\\\\''/g")"; }

# The --env NAME=VALUE arguments as environment lines.
env_lines() {
  local e
  for e in ${envs[@]+"${envs[@]}"}; do
    case "$e" in [A-Za-z_]*=*) env_line "${e%%=*}" "${e#*=}" ;; *) die "--env wants NAME=VALUE: $e" ;; esac
  done
}

# Packs the folder into the initramfs file OUT.
pack_initramfs() {
  (cd "$root" && find . -print0 | sort -z | cpio --null -o -H newc --quiet) >"$1" \
    || die "cannot build the initramfs"
}

# Sets `status` from QEMU's exit code RC and the console log LOG: the test's
# status leaves QEMU through isa-debug-exit (byte N gives 2N+1), or, from a
# VM that powers itself off after its test (QEMU exits with 0), through the
# console's closing line; 124 when the VM (named WHAT in the message) ran
# out of time, 125 when QEMU ended without a test status.
decode_status() {
  local rc=$1 console_log=$2 what=$3 marker
  marker=$(sed -n 's/^=== e2e: .* exited with status \([0-9]*\) .*===.*/\1/p' "$console_log" | tail -n1)
  if [ "$rc" = 124 ] || { [ "$rc" = 137 ] && [ -z "$marker" ]; }; then
    status=124
    echo "$me: $test_name: $what did not finish within ${timeout_s}s"
  elif [ $((rc % 2)) = 1 ]; then
    status=$(( (rc - 1) / 2 ))
  elif [ "$rc" = 0 ] && [ -n "$marker" ]; then
    status=$marker
  else
    status=125
    echo "$me: $test_name: QEMU ended with status $rc and no test status"
  fi
}

# prepare_vmlinux BZIMAGE VMLINUX: the bzImage spends about 7 s of a TCG boot
# decompressing itself. The ELF kernel inside it boots directly (PVH entry),
# so it is unpacked once into VMLINUX (nothing happens when that cannot be
# done; the caller then boots BZIMAGE).
prepare_vmlinux() {
  local bz=$1 out=$2 off xz_rc
  [ -f "$out" ] && return 0
  command -v xz >/dev/null || return 0
  off=$(LC_ALL=C grep -aboP -m1 '\xfd7zXZ\x00' "$bz" | cut -d: -f1)
  [ -n "$off" ] || return 0
  # tail stops on SIGPIPE once xz has read the one stream: only xz's status counts.
  set +e
  tail -c "+$((off + 1))" "$bz" | xz -dc --single-stream >"$out.tmp" 2>/dev/null
  xz_rc=${PIPESTATUS[1]}
  set -e
  if [ "$xz_rc" = 0 ] && [ "$(head -c 4 "$out.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
    mv "$out.tmp" "$out"
  else
    rm -f "$out.tmp"
  fi
}

# open_log PREFIX: sets `log` (the console log) and `log_is_temp`: the
# --log file given (its folder made), else a temporary file named after
# PREFIX, which the launcher removes when the test passed.
open_log() {
  if [ -z "$log" ]; then
    log=$(mktemp "${TMPDIR:-/tmp}/$1-$test_name.XXXXXX.log")
    log_is_temp=1
  else
    mkdir -p "$(dirname "$log")"
    log_is_temp=0
  fi
}

# The console without the firmware's terminal escapes and the serial CRs.
clean_console() { sed -u -e 's/\x1b[^a-zA-Z]*[a-zA-Z]//g' -e 's/\r$//'; }

# stop_vms: ends the VMs started in the background (their ids in `pids`).
stop_vms() {
  local p
  for p in ${pids[@]+"${pids[@]}"}; do kill "$p" 2>/dev/null || true; done
  for p in ${pids[@]+"${pids[@]}"}; do wait "$p" 2>/dev/null || true; done
  pids=()
}
