#!/usr/bin/env bash
# The board builds and the packages, from scratch:
#   - cross builds for armhf (static daemon) and arm64, each with its unit
#     suite run by ctest under qemu-user;
#   - the Debian packages: gadgetdfu for armhf and arm64, gadgetdfu and
#     dfuctl for the build machine (amd64), all from plain configures (the
#     prefix defaults to /usr);
#   - installation into staging directories and checks of the layout, the
#     binaries' architecture, the packages (lintian: no errors, no warnings),
#     the systemd units (verify, exposure at most 2.0) and the tmpfiles.d
#     entry.
#
# Usage: scripts/arm.sh [BUILD_ROOT]     (default: build-arm/ in the repository)
# Needs what scripts/deps.sh installs; no network. Exits non-zero on any failure.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${1:-$repo/build-arm}
mkdir -p "$root"
root=$(cd "$root" && pwd)
case $root in
  / | "$repo") echo "arm.sh: refusing to build in $root" >&2; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
failures=0
script_start=$(date +%s.%N)

say() { printf '\n== %s\n' "$*"; }
ok() { printf '   ok: %s\n' "$*"; }
bad() { printf '   FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }
die() { printf 'arm.sh: %s\n' "$*" >&2; exit 1; }
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# ---- Tools --------------------------------------------------------------------------------

need() {  # program, package
  command -v "$1" >/dev/null 2>&1 || die "$1 is missing (Debian package $2; see scripts/deps.sh)"
}
need cmake cmake
need arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
need qemu-arm-static qemu-user-static
need qemu-aarch64-static qemu-user-static
need readelf binutils
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need lintian lintian
need systemd-analyze systemd
need systemd-tmpfiles systemd
[ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing (Debian package googletest)"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# Only the folders this script makes are removed.
for d in armhf arm64 host stage logs; do rm -rf "${root:?}/$d"; done
mkdir -p "$root/logs" "$root/stage"
logs=$root/logs

# Runs a command with its output in a log; on failure shows the log's end.
run_logged() {  # log name, command...
  local log=$logs/$1.log
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    die "failed: $* (log: $log)"
  fi
}

# No prefix: the default (/usr) is what a board and the packages need.
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)

# ---- Cross builds and their unit suites -------------------------------------------------------

declare -A suite_time
for arch in armhf arm64; do
  build=$root/$arch
  options=(--toolchain "$repo/cmake/toolchain-$arch.cmake" -DGADGETDFU_BUILD_DFUCTL=OFF)
  [ "$arch" = armhf ] && options+=(-DGADGETDFU_STATIC=ON)

  say "$arch: configure and build"
  t=$(date +%s.%N)
  run_logged "$arch-configure" cmake -S "$repo" -B "$build" "${generator[@]}" "${common[@]}" "${options[@]}"
  run_logged "$arch-build" cmake --build "$build" -j "$jobs"
  ok "built in $(seconds_since "$t") s"

  say "$arch: unit suite under qemu-user (ctest)"
  t=$(date +%s.%N)
  if ctest --test-dir "$build" -j "$jobs" --timeout 300 --output-on-failure >"$logs/$arch-ctest.log" 2>&1; then
    suite_time[$arch]=$(seconds_since "$t")
    grep -E "tests passed|Total Test time" "$logs/$arch-ctest.log" | sed 's/^/   /'
    ok "$arch unit suite: ${suite_time[$arch]} s"
  else
    suite_time[$arch]=$(seconds_since "$t")
    grep -E "tests passed|\(Failed\)|\(Timeout\)|Not Run|\(SEGFAULT\)|Exception" "$logs/$arch-ctest.log" | sed 's/^/   /' >&2
    bad "$arch unit suite failed after ${suite_time[$arch]} s (log: $logs/$arch-ctest.log)"
  fi

  say "$arch: package"
  run_logged "$arch-package" cmake --build "$build" --target package
  ok "$(basename -a "$build"/packages/*.deb | tr '\n' ' ')"
done

# ---- dfuctl for the build machine ---------------------------------------------------------------

say "host: build the daemon and dfuctl and their packages"
t=$(date +%s.%N)
host_build=$root/host
run_logged host-configure cmake -S "$repo" -B "$host_build" "${generator[@]}" "${common[@]}" -DGADGETDFU_BUILD_TESTS=OFF
run_logged host-build cmake --build "$host_build" -j "$jobs" --target gadgetdfu dfuctl
run_logged host-package cpack -G DEB --config "$host_build/CPackConfig.cmake"
ok "built and packaged in $(seconds_since "$t") s"

host_arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(gadgetdfu VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || die "no project version in $repo/CMakeLists.txt"
deb_armhf=$root/armhf/packages/gadgetdfu_${version}_armhf.deb
deb_arm64=$root/arm64/packages/gadgetdfu_${version}_arm64.deb
deb_host=$host_build/packages/dfuctl_${version}_${host_arch}.deb
deb_daemon_host=$host_build/packages/gadgetdfu_${version}_${host_arch}.deb

# ---- Installation into staging directories ---------------------------------------------------

# Every regular file under a staging directory, relative and sorted.
files_of() { (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort); }

expect_files() {  # what, directory, expected paths...
  local what=$1 dir=$2
  shift 2
  local want got
  want=$(printf '%s\n' "$@" | LC_ALL=C sort)
  got=$(files_of "$dir")
  if [ "$got" = "$want" ]; then
    ok "$what: $(echo "$got" | tr '\n' ' ')"
  else
    bad "$what: files differ (want < > got)"
    diff <(echo "$want") <(echo "$got") | sed 's/^/      /' >&2 || true
  fi
}

unit=usr/lib/systemd/system/gadgetdfu.service
mount_unit=usr/lib/systemd/system/dev-gadget.mount
tmpfiles=usr/lib/tmpfiles.d/gadgetdfu.conf
daemon_files=(usr/sbin/gadgetdfu "$unit" "$mount_unit" "$tmpfiles"
              usr/lib/udev/rules.d/60-gadgetdfu-udc.rules usr/share/man/man8/gadgetdfu.8.gz
              usr/share/doc/gadgetdfu/copyright usr/share/doc/gadgetdfu/changelog.gz)
# The static (armhf) daemon's package also overrides lintian's static tag.
declare -A daemon_extra=([armhf]=usr/share/lintian/overrides/gadgetdfu)
host_files=(usr/bin/dfuctl usr/lib/udev/rules.d/70-gadgetdfu.rules usr/share/man/man1/dfuctl.1.gz
            usr/share/bash-completion/completions/dfuctl usr/share/zsh/vendor-completions/_dfuctl
            usr/share/doc/dfuctl/copyright usr/share/doc/dfuctl/changelog.gz)

say "install (DESTDIR) and layout"
for arch in armhf arm64; do
  run_logged "$arch-install" env DESTDIR="$root/stage/$arch" cmake --install "$root/$arch"
  expect_files "$arch install" "$root/stage/$arch" "${daemon_files[@]}" ${daemon_extra[$arch]:-}
done
run_logged host-install env DESTDIR="$root/stage/host" cmake --install "$host_build" --component host
expect_files "host install (component host)" "$root/stage/host" "${host_files[@]}"

# The unit starts the daemon where it was installed.
for arch in armhf arm64; do
  if grep -qx 'ExecStart=/usr/sbin/gadgetdfu' "$root/stage/$arch/$unit"; then
    ok "$arch unit: ExecStart=/usr/sbin/gadgetdfu"
  else
    bad "$arch unit: ExecStart is not /usr/sbin/gadgetdfu: $(grep '^ExecStart=' "$root/stage/$arch/$unit")"
  fi
done

# ---- The binaries: architecture, static linking, a run under qemu-user --------------------------

say "binaries"
elf_field() { readelf -h "$1" | sed -n "s/^ *$2: *//p"; }
expect_elf() {  # file, class, machine
  local class machine
  class=$(elf_field "$1" Class)
  machine=$(elf_field "$1" Machine)
  if [ "$class" = "$2" ] && [ "$machine" = "$3" ]; then
    ok "${1#"$root"/}: $class $machine"
  else
    bad "${1#"$root"/}: $class $machine, want $2 $3"
  fi
}

# What the packages hold, unpacked.
for deb in "$deb_armhf" "$deb_arm64" "$deb_host" "$deb_daemon_host"; do
  [ -f "$deb" ] || die "package missing: $deb"
done
mkdir -p "$root/stage/deb-armhf" "$root/stage/deb-arm64" "$root/stage/deb-host"
dpkg-deb -x "$deb_armhf" "$root/stage/deb-armhf"
dpkg-deb -x "$deb_arm64" "$root/stage/deb-arm64"
dpkg-deb -x "$deb_host" "$root/stage/deb-host"

expect_elf "$root/armhf/gadgetdfu/gadgetdfu" ELF32 ARM
expect_elf "$root/stage/deb-armhf/usr/sbin/gadgetdfu" ELF32 ARM
expect_elf "$root/armhf/tests/gadgetdfu_tests" ELF32 ARM
expect_elf "$root/arm64/gadgetdfu/gadgetdfu" ELF64 AArch64
expect_elf "$root/stage/deb-arm64/usr/sbin/gadgetdfu" ELF64 AArch64
expect_elf "$root/arm64/tests/gadgetdfu_tests" ELF64 AArch64

# The armhf daemon is fully static: no program interpreter, no dynamic
# section, and it runs under qemu-arm-static without a sysroot.
static_daemon=$root/stage/deb-armhf/usr/sbin/gadgetdfu
if readelf -l "$static_daemon" | grep -q 'INTERP' || ! readelf -d "$static_daemon" | grep -q 'no dynamic section'; then
  bad "armhf daemon is not static"
else
  ok "armhf daemon is static (no interpreter, no dynamic section)"
fi
if readelf -l "$root/stage/deb-arm64/usr/sbin/gadgetdfu" | grep -q 'Requesting program interpreter: /lib/ld-linux-aarch64.so.1'; then
  ok "arm64 daemon is dynamic (/lib/ld-linux-aarch64.so.1)"
else
  bad "arm64 daemon has no aarch64 program interpreter"
fi

# Without a Serial line in /proc/cpuinfo the daemon prints its banner and
# ends with status 2 (with one, it ends with 1: there is no controller here).
if grep -q '^Serial' /proc/cpuinfo; then want_status=1; else want_status=2; fi
run_daemon() {  # what, command...
  local what=$1 status=0 out
  shift
  out=$("$@" 2>/dev/null) || status=$?
  if [ "$status" -eq "$want_status" ] && [ "$(printf '%s\n' "$out" | head -n 1)" = "vog Vv1.4" ]; then
    ok "$what runs: banner, status $status"
  else
    bad "$what: status $status (want $want_status), output: $out"
  fi
}
run_daemon "armhf daemon (static, no sysroot)" qemu-arm-static "$static_daemon"
run_daemon "arm64 daemon (sysroot /usr/aarch64-linux-gnu)" \
  qemu-aarch64-static -L /usr/aarch64-linux-gnu "$root/stage/deb-arm64/usr/sbin/gadgetdfu"

# ---- The packages -----------------------------------------------------------------------------

say "packages (dpkg-deb -I / -c)"
field() { dpkg-deb -f "$1" "$2"; }
expect_field() {  # deb, field, expected value
  local got
  got=$(field "$1" "$2")
  if [ "$got" = "$3" ]; then ok "$(basename "$1"): $2: $3"; else bad "$(basename "$1"): $2 is '$got', want '$3'"; fi
}
expect_depends() {  # deb, pattern...
  local deb=$1 depends
  shift
  depends=$(field "$deb" Depends)
  for p in "$@"; do
    if printf '%s\n' "$depends" | tr ',' '\n' | grep -Eq "^ *$p( |$)"; then
      ok "$(basename "$deb"): depends on $p"
    else
      bad "$(basename "$deb"): no dependency on $p (Depends: $depends)"
    fi
  done
  if printf '%s' "$depends" | grep -Eq -- '[a-z0-9.+-]:[a-z]|-cross'; then
    bad "$(basename "$deb"): Depends names cross-toolchain packages: $depends"
  fi
}

# Paths in a package, like files_of.
deb_files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort; }
expect_deb_files() {  # deb, expected paths...
  local deb=$1 want got
  shift
  want=$(printf '%s\n' "$@" | LC_ALL=C sort)
  got=$(deb_files "$deb")
  if [ "$got" = "$want" ]; then
    ok "$(basename "$deb"): contents $(echo "$got" | tr '\n' ' ')"
  else
    bad "$(basename "$deb"): contents differ (want < > got)"
    diff <(echo "$want") <(echo "$got") | sed 's/^/      /' >&2 || true
  fi
}

for deb in "$deb_armhf" "$deb_arm64" "$deb_host" "$deb_daemon_host"; do
  dpkg-deb -I "$deb" >"$logs/$(basename "$deb").info" || bad "dpkg-deb -I $deb"
  dpkg-deb -c "$deb" >"$logs/$(basename "$deb").contents" || bad "dpkg-deb -c $deb"
done

for pair in "armhf:$deb_armhf" "arm64:$deb_arm64" "$host_arch:$deb_daemon_host"; do
  arch=${pair%%:*}
  deb=${pair#*:}
  expect_field "$deb" Package gadgetdfu
  expect_field "$deb" Architecture "$arch"
  expect_field "$deb" Version "$version"
  expect_deb_files "$deb" "${daemon_files[@]}" ${daemon_extra[$arch]:-}
  for script in postinst prerm postrm; do
    if dpkg-deb -I "$deb" "$script" >/dev/null 2>&1; then ok "$(basename "$deb"): $script"; else bad "$(basename "$deb"): no $script"; fi
  done
done
expect_field "$deb_armhf" Depends ""
expect_depends "$deb_arm64" libc6 libstdc\\+\\+6 libgcc-s1
expect_depends "$deb_daemon_host" libc6 libstdc\\+\\+6 libgcc-s1

expect_field "$deb_host" Package dfuctl
expect_field "$deb_host" Architecture "$host_arch"
expect_field "$deb_host" Version "$version"
expect_deb_files "$deb_host" "${host_files[@]}"
expect_depends "$deb_host" libusb-1.0-0 'libnettle[0-9]+'
# dfuctl is a program of the build machine, like dpkg.
expect_elf "$root/stage/deb-host/usr/bin/dfuctl" "$(elf_field "$(command -v dpkg)" Class)" \
  "$(elf_field "$(command -v dpkg)" Machine)"

# ---- systemd units and tmpfiles.d -------------------------------------------------------------

say "systemd units and tmpfiles.d"
# Checked as installed, with the daemon's path mapped into the staging
# directory (verify requires each command to exist; the man page the unit
# names is in the package, not installed here). Any message counts.
verify_dir=$root/stage/verify
mkdir -p "$verify_dir"
sed "s|^ExecStart=/usr/sbin/gadgetdfu\$|ExecStart=$root/stage/armhf/usr/sbin/gadgetdfu|" \
  "$root/stage/armhf/$unit" >"$verify_dir/gadgetdfu.service"
cp "$root/stage/armhf/$mount_unit" "$verify_dir/"
status=0
out=$(cd "$verify_dir" && systemd-analyze verify --man=no ./gadgetdfu.service ./dev-gadget.mount 2>&1) || status=$?
if [ "$status" -eq 0 ] && [ -z "$out" ]; then
  ok "systemd-analyze verify: clean (gadgetdfu.service, dev-gadget.mount)"
else
  bad "systemd-analyze verify (status $status): $out"
fi

# The exposure of the shipped unit, as systemd rates it (0 = fully confined,
# 10 = unconfined): at most 2.0.
status=0
out=$(systemd-analyze security --offline=true --no-pager "$root/stage/armhf/$unit" 2>&1) || status=$?
exposure=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for gadgetdfu.service: \([0-9.]*\).*/\1/p')
if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
  ok "exposure of gadgetdfu.service: $exposure (at most 2.0)"
else
  bad "exposure of gadgetdfu.service: '${exposure:-none}' (status $status), want at most 2.0"
  printf '%s\n' "$out" | grep '✗' | sed 's/^/      /' >&2 || true
fi

# The tmpfiles.d entry, applied to an empty root: /tmp/firmware, empty,
# root's, mode 0600. (Owner and mode need root to set.)
if [ "$(id -u)" -eq 0 ]; then
  tmp_root=$root/stage/tmpfiles
  mkdir -p "$tmp_root/tmp"
  chmod 1777 "$tmp_root/tmp"
  systemd-tmpfiles --root="$tmp_root" --create "$root/stage/armhf/$tmpfiles" >"$logs/tmpfiles.log" 2>&1 || true
  got=$(stat -c '%F %s %U:%G %a' "$tmp_root/tmp/firmware" 2>&1 || true)
  if [ "$got" = "regular empty file 0 root:root 600" ]; then
    ok "tmpfiles.d: /tmp/firmware is $got"
  else
    bad "tmpfiles.d: /tmp/firmware is '$got' (log: $logs/tmpfiles.log)"
  fi
else
  echo "   skipped: the tmpfiles.d check needs root"
fi

# ---- lintian ------------------------------------------------------------------------------

# Every package: no error and no warning (an accepted one is overridden in
# the package, with its reason). The tags are logged, infos included
# (--show-overrides would count overridden tags as failures).
say "lintian"
for deb in "$deb_armhf" "$deb_arm64" "$deb_daemon_host" "$deb_host"; do
  log=$logs/lintian-$(basename "$deb" .deb).log
  if lintian --fail-on error,warning --display-info "$deb" >"$log" 2>&1; then
    ok "$(basename "$deb"): no errors or warnings, $(grep -cE '^I: ' "$log" || true) info tag(s)"
  else
    bad "$(basename "$deb"): lintian (log: $log)"
    grep -E '^[EW]: ' "$log" | sed 's/^/      /' >&2 || true
  fi
done

# ---- Summary ----------------------------------------------------------------------------------

say "summary"
printf '   unit suite armhf (qemu-arm):     %s s\n' "${suite_time[armhf]}"
printf '   unit suite arm64 (qemu-aarch64): %s s\n' "${suite_time[arm64]}"
printf '   packages: %s\n' "${deb_armhf#"$root"/}" "${deb_arm64#"$root"/}" "${deb_daemon_host#"$root"/}" \
  "${deb_host#"$root"/}"
printf '   total: %s s on %s cores\n' "$(seconds_since "$script_start")" "$jobs"
if [ "$failures" -ne 0 ]; then
  echo "arm.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "arm.sh: all checks passed"
