#!/usr/bin/env bash
# dfuctl for Windows (x86-64), from scratch:
#   - libusb-1.0 and nettle (DLLs), and the decompressors zlib, liblzma,
#     libzstd and libbz2 (static libraries) built for Windows from Debian's
#     source packages (apt-get source, with a deb-src entry for the mirror apt
#     already uses);
#   - dfuctl.exe and its unit suite cross-built with mingw-w64, the suite run
#     by ctest under Wine;
#   - dfuctl.exe run under Wine: --version, --help, and list without USB access (exit 71);
#   - the zip (CPack): dfuctl.exe, the two DLLs, the README, docs/dfuctl.md and the license
#     texts of all six libraries, and checks of its contents and of the
#     programs' imports.
#
# Usage: scripts/windows.sh [BUILD_DIR]     (default: build-windows/ in the repository)
# Needs what scripts/deps.sh installs. The source packages are downloaded
# once into BUILD_DIR/sources/ and reused; everything else is rebuilt.
# Exits non-zero on any failure.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${1:-$repo/build-windows}
mkdir -p "$root"
root=$(cd "$root" && pwd)
case $root in
  / | "$repo") echo "windows.sh: refusing to build in $root" >&2; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
failures=0
script_start=$(date +%s.%N)
triplet=x86_64-w64-mingw32

say() { printf '\n== %s\n' "$*"; }
ok() { printf '   ok: %s\n' "$*"; }
bad() { printf '   FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }
die() { printf 'windows.sh: %s\n' "$*" >&2; exit 1; }
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
size_of() { stat -c %s "$1"; }
mib() { awk -v n="$1" 'BEGIN { printf "%.2f MiB", n / 1048576 }'; }

# ---- Tools ----------------------------------------------------------------------------------

need() {  # program, package
  command -v "$1" >/dev/null 2>&1 || die "$1 is missing (Debian package $2; see scripts/deps.sh)"
}
need cmake cmake
need $triplet-gcc-posix gcc-mingw-w64-x86-64-posix
need $triplet-g++-posix g++-mingw-w64-x86-64-posix
need $triplet-objdump binutils-mingw-w64-x86-64
need $triplet-strip binutils-mingw-w64-x86-64
need wine wine
need wineserver wine
need m4 m4
need make make
need pkg-config pkg-config
need apt-get apt
need dpkg-source dpkg-dev
need unzip unzip
[ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing (Debian package googletest)"
[ -d /usr/lib/wine ] && [ -n "$(ls /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/x86_64-windows 2>/dev/null)" ] ||
  die "64-bit Wine is missing (Debian package wine64)"
for d in /usr/include/CLI /usr/include/nlohmann /usr/share/cmake/CLI11 /usr/share/cmake/nlohmann_json; do
  [ -d "$d" ] || die "$d is missing (Debian packages libcli11-dev, nlohmann-json3-dev)"
done
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# Only the folders this script makes are removed; sources/ is the download cache.
for d in src deps prefix dfuctl stage logs; do rm -rf "${root:?}/$d"; done
mkdir -p "$root/logs" "$root/sources" "$root/src" "$root/deps" "$root/stage"
logs=$root/logs
prefix=$root/prefix

# Runs a command with its output in a log; on failure shows the log's end.
run_logged() {  # log name, command...
  local log=$logs/$1.log
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    die "failed: $* (log: $log)"
  fi
}

# ---- Debian source packages ------------------------------------------------------------------

# Source package names: libusb-1.0 and nettle become DLLs; zlib, xz-utils
# (liblzma), libzstd and bzip2 (libbz2) static libraries.
source_packages=(libusb-1.0 nettle zlib xz-utils libzstd bzip2)

say "source packages: ${source_packages[*]}"
t=$(date +%s.%N)
downloads=$root/sources/download
have_all=yes
for p in "${source_packages[@]}"; do
  compgen -G "$downloads/${p}_*.dsc" >/dev/null || have_all=no
done
if [ "$have_all" = yes ]; then
  ok "cached in ${downloads#"$root"/}"
else
  # A private apt state under the build folder: the deb-src entries for the
  # Debian mirrors of the machine's own deb entries, and their Sources indexes.
  # The machine's apt configuration is left as it is.
  apt_dir=$root/sources/apt
  rm -rf "$apt_dir" "$downloads"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$downloads"
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ && /(^|\n)URIs:[^\n]*\/debian(-security)?\/?([ \n]|$)/ {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); print }' "$f"
  done >"$apt_dir/sources.list.d/debian-src.sources"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's,^[[:space:]]*deb([[:space:]]+(\[[^]]*\][[:space:]]+)?[a-z]+://[^[:space:]]*/debian(-security)?/?[[:space:]].*),deb-src\1,p' "$f"
  done >"$apt_dir/sources.list.d/debian-src.list"
  shopt -u nullglob
  [ -s "$apt_dir/sources.list.d/debian-src.sources" ] || [ -s "$apt_dir/sources.list.d/debian-src.list" ] ||
    die "no Debian mirror in /etc/apt/sources.list or /etc/apt/sources.list.d/"
  apt_options=(-q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root)
  run_logged apt-update apt-get "${apt_options[@]}" update
  # The newest version first; a mirror may list a version (a security
  # update, say) whose files it does not serve, and then the next older one
  # listed is taken.
  for p in "${source_packages[@]}"; do
    fetched=
    for v in $(apt-cache "${apt_options[@]}" showsrc "$p" 2>/dev/null | sed -n 's/^Version: //p' | sort -u | sort -rV); do
      if (cd "$downloads" && apt-get "${apt_options[@]}" source --download-only "$p=$v") >>"$logs/apt-source.log" 2>&1; then
        fetched=$v
        break
      fi
      rm -f "$downloads/${p}_${v#*:}".*
      echo "   $p $v: not on the mirror, trying an older version" >&2
    done
    [ -n "$fetched" ] || { tail -n 20 "$logs/apt-source.log" >&2; die "apt-get source $p failed"; }
  done
  ok "downloaded in $(seconds_since "$t") s"
fi

declare -A source_dir
for p in "${source_packages[@]}"; do
  dsc=$(compgen -G "$downloads/${p}_*.dsc" | sort -V | tail -n 1)
  # Checksums are verified; without debian-keyring the signature cannot be
  # (apt has checked the index that lists these files).
  run_logged "unpack-$p" dpkg-source -x "$dsc" "$root/src/$p"
  source_dir[$p]=$root/src/$p
  ok "$(basename "$dsc" .dsc)"
done
# The Debian patch changes aclocal.m4 (and configure with it): make the
# autotools inputs older than their outputs so that make does not want
# autoheader.
touch -d '2000-01-01 00:00' "${source_dir[nettle]}/aclocal.m4" "${source_dir[nettle]}/configure.ac"

# ---- The libraries for Windows ------------------------------------------------------------------

say "libusb, nettle, zlib, liblzma, libzstd and libbz2 for Windows (side by side)"
t=$(date +%s.%N)
cross_env=(CC=$triplet-gcc-posix)
cross_tools=(CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib)
build_libusb() {
  mkdir -p "$root/deps/libusb" && cd "$root/deps/libusb" &&
    "${source_dir[libusb-1.0]}/configure" --host=$triplet --prefix="$prefix" --enable-shared --disable-static \
      --disable-examples-build --disable-tests-build "${cross_env[@]}" &&
    make -j1 && make install
}
build_nettle() {
  # Only the symmetric algorithms and hashes (no GMP); the CPU-specific code
  # is chosen at run time.
  mkdir -p "$root/deps/nettle" && cd "$root/deps/nettle" &&
    "${source_dir[nettle]}/configure" --host=$triplet --prefix="$prefix" --enable-shared --disable-static \
      --disable-public-key --disable-documentation --enable-fat "${cross_env[@]}" &&
    make -j1 all-here && make install-here
}
# The decompressors: static libraries (permissive licenses), their library
# part only, no programs, documentation or tests.
build_zlib() {
  # zlib's configure builds in the source folder.
  cd "${source_dir[zlib]}" &&
    env CHOST=$triplet "${cross_tools[@]}" ./configure --static --prefix="$prefix" &&
    make -j1 libz.a && make install
}
build_xz() {
  mkdir -p "$root/deps/xz" && cd "$root/deps/xz" &&
    "${source_dir[xz-utils]}/configure" --host=$triplet --prefix="$prefix" --enable-static --disable-shared \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links --disable-scripts \
      --disable-doc --disable-nls "${cross_env[@]}" &&
    make -j1 -C src/liblzma && make -C src/liblzma install
}
build_zstd() {
  # Without the decoders of pre-1.0 formats and the dictionary builder,
  # which dfuctl does not use.
  cd "${source_dir[libzstd]}/lib" &&
    make -j1 libzstd.a libzstd.pc "${cross_tools[@]}" ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DICTBUILDER=0 \
      ZSTD_LIB_DEPRECATED=0 PREFIX="$prefix" &&
    make install-static install-includes install-pc PREFIX="$prefix"
}
build_bzip2() {
  cd "${source_dir[bzip2]}" &&
    make -j1 libbz2.a "${cross_tools[@]}" CFLAGS="-O2 -D_FILE_OFFSET_BITS=64" &&
    install -D -m 644 bzlib.h "$prefix/include/bzlib.h" && install -D -m 644 libbz2.a "$prefix/lib/libbz2.a"
}
# Each in the background; its log ends with its wall and processor time.
libraries=(libusb nettle zlib xz zstd bzip2)
declare -A library_pid
for l in "${libraries[@]}"; do
  (
    start=$(date +%s.%N)
    "build_$l" >"$logs/$l.log" 2>&1 || exit 1
    wall=$(seconds_since "$start")
    times >"$logs/$l.times"
    awk -v l="$l" -v w="$wall" 'NR == 2 { split($1, u, "m"); split($2, s, "m")
      printf "%s: %s s, processor %.1f s\n", l, w, u[1] * 60 + u[2] + s[1] * 60 + s[2] }' \
      "$logs/$l.times" >"$logs/$l.time"
  ) &
  library_pid[$l]=$!
done
for l in "${libraries[@]}"; do
  wait "${library_pid[$l]}" || { tail -n 40 "$logs/$l.log" >&2; die "$l failed (log: $logs/$l.log)"; }
done
for l in "${libraries[@]}"; do sed 's/^/   /' "$logs/$l.time"; done
for a in libz.a liblzma.a libzstd.a libbz2.a; do [ -f "$prefix/lib/$a" ] || die "no $prefix/lib/$a"; done
$triplet-strip --strip-unneeded "$prefix"/bin/*.dll
libusb_dll=$prefix/bin/libusb-1.0.dll
nettle_dll=$(compgen -G "$prefix/bin/libnettle-*.dll" | head -n 1 || true)
[ -f "$libusb_dll" ] || die "no $libusb_dll"
[ -n "$nettle_dll" ] || die "no libnettle-*.dll in $prefix/bin"
# Their license texts, as Debian states them, for the zip.
for p in "${source_packages[@]}"; do
  install -D -m 644 "${source_dir[$p]}/debian/copyright" "$prefix/share/doc/$p/copyright"
done
deps_time=$(seconds_since "$t")
ok "built in $deps_time s: $(basename "$libusb_dll") $(mib "$(size_of "$libusb_dll")"), $(basename "$nettle_dll") $(mib "$(size_of "$nettle_dll")"), static libz, liblzma, libzstd, libbz2"

# Header-only libraries: only these folders of the build machine's include
# folder are visible to the Windows build, with their CMake package files.
cp -a /usr/include/CLI /usr/include/nlohmann "$prefix/include/"
mkdir -p "$prefix/share/cmake"
cp -a /usr/share/cmake/CLI11 /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

# ---- dfuctl.exe and its unit suite -------------------------------------------------------------

build=$root/dfuctl
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

say "dfuctl: configure and build"
t=$(date +%s.%N)
run_logged configure cmake -S "$repo" -B "$build" "${generator[@]}" --toolchain "$repo/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DGADGETDFU_WINDOWS_PREFIX="$prefix"
# A fresh Wine prefix, made while the build runs.
mkdir -p "$WINEPREFIX"
(wine wineboot --init >"$logs/wineboot.log" 2>&1 && wineserver -w) &
wineboot_pid=$!
run_logged build cmake --build "$build" -j "$jobs" --target dfuctl dfuctl_tests
build_time=$(seconds_since "$t")
ok "built in $build_time s"
wait "$wineboot_pid" || die "wineboot failed (log: $logs/wineboot.log)"

say "dfuctl: unit suite under Wine (ctest)"
t=$(date +%s.%N)
if ctest --test-dir "$build" -j "$jobs" --timeout 300 --output-on-failure >"$logs/ctest.log" 2>&1; then
  grep -E "tests passed|Total Test time" "$logs/ctest.log" | sed 's/^/   /'
  suite_time=$(seconds_since "$t")
  ok "unit suite: $suite_time s"
else
  suite_time=$(seconds_since "$t")
  grep -E "tests passed|\(Failed\)|\(Timeout\)|Not Run|\(SEGFAULT\)|Exception" "$logs/ctest.log" | sed 's/^/   /' >&2
  bad "unit suite failed after $suite_time s (log: $logs/ctest.log)"
fi
# ctest's own summary line, for scripts/test.sh's count.
grep -E '^[0-9]+% tests passed' "$logs/ctest.log" | tail -n 1 || true

# ---- dfuctl.exe under Wine ---------------------------------------------------------------------

exe=$build/dfuctl/dfuctl.exe
export WINEPATH="Z:$prefix/bin"
version=$(sed -n 's/^project(gadgetdfu VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || die "no project version in $repo/CMakeLists.txt"

# Runs dfuctl.exe; sets status, out and err (line ends as on Unix).
run_exe() {
  status=0
  wine "$exe" "$@" >"$logs/exe.out" 2>"$logs/exe.err" || status=$?
  out=$(tr -d '\r' <"$logs/exe.out")
  err=$(tr -d '\r' <"$logs/exe.err")
}
expect_run() {  # what, expected status, expected stdout pattern, expected stderr pattern, args...
  local what=$1 want_status=$2 out_pattern=$3 err_pattern=$4
  shift 4
  run_exe "$@"
  if [ "$status" -eq "$want_status" ] && [[ $out =~ $out_pattern ]] && [[ $err =~ $err_pattern ]]; then
    ok "$what: status $status${out:+, \"$(head -n 1 <<<"$out")\"}${err:+, \"$(head -n 1 <<<"$err")\"}"
  else
    bad "$what: status $status (want $want_status); stdout: $out; stderr: $err"
  fi
}

say "dfuctl.exe under Wine"
expect_run "--version" 0 "^dfuctl $version\$" '^$' --version
expect_run "--help" 0 'Usage:.*upload.*verify' '^$' --help
# Under Wine libusb sees no USB device at all, not even a root hub: the
# message for a machine without USB access and its status 71 (on Windows a
# bus without a board gives 69, "no board attached").
expect_run "list, no USB" 71 '^$' '^dfuctl: no USB access: ' list
expect_run "unknown command" 64 '^$' '.' frobnicate

# ---- Imports --------------------------------------------------------------------------------------

say "imports (objdump -p)"
imports() { $triplet-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | LC_ALL=C sort | tr '\n' ' '; }
expect_imports() {  # file, expected DLLs...
  local want got
  want=$(printf '%s\n' "${@:2}" | tr 'A-Z' 'a-z' | LC_ALL=C sort | tr '\n' ' ')
  got=$(imports "$1")
  if [ "$got" = "$want" ]; then ok "$(basename "$1"): $got"; else bad "$(basename "$1") imports '$got', want '$want'"; fi
}
expect_imports "$exe" kernel32.dll msvcrt.dll libusb-1.0.dll "$(basename "$nettle_dll")"
expect_imports "$libusb_dll" kernel32.dll msvcrt.dll
expect_imports "$nettle_dll" kernel32.dll msvcrt.dll

# ---- The zip ------------------------------------------------------------------------------------

say "zip (cpack)"
run_logged package cpack --config "$build/CPackConfig.cmake"
zip=$build/packages/dfuctl-$version-win64.zip
[ -f "$zip" ] || die "no $zip"
top=dfuctl-$version-win64
want=$( (printf '%s\n' "$top/dfuctl.exe" "$top/libusb-1.0.dll" "$top/$(basename "$nettle_dll")" "$top/README.md" "$top/docs/dfuctl.md"
  for p in "${source_packages[@]}"; do echo "$top/licenses/$p.txt"; done) | LC_ALL=C sort)
got=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
if [ "$got" = "$want" ]; then
  ok "$(basename "$zip"): $(echo "$got" | sed "s|^$top/||" | tr '\n' ' ')"
else
  bad "$(basename "$zip"): contents differ (want < > got)"
  diff <(echo "$want") <(echo "$got") | sed 's/^/      /' >&2 || true
fi
# Unpacked as a user would, the program runs from its folder.
unzip -q "$zip" -d "$root/stage"
unset WINEPATH
exe=$root/stage/$top/dfuctl.exe
expect_run "unzipped dfuctl.exe --version" 0 "^dfuctl $version\$" '^$' --version
wineserver -k 2>/dev/null || true

# ---- Summary ----------------------------------------------------------------------------------

say "summary"
printf '   libraries:             %s s\n' "$deps_time"
printf '   dfuctl build:          %s s\n' "$build_time"
printf '   unit suite under Wine: %s s\n' "$suite_time"
printf '   dfuctl.exe %s, %s %s, %s %s (stripped, in the zip)\n' \
  "$(mib "$(size_of "$exe")")" \
  "$(basename "$libusb_dll")" "$(mib "$(size_of "$libusb_dll")")" \
  "$(basename "$nettle_dll")" "$(mib "$(size_of "$nettle_dll")")"
printf '   zip: %s (%s)\n' "${zip#"$root"/}" "$(mib "$(size_of "$zip")")"
printf '   total: %s s on %s cores\n' "$(seconds_since "$script_start")" "$jobs"
# Processor time of everything it ran, which a busy machine does not inflate.
times >"$logs/times"
awk 'END { printf "   processor time: %s user, %s system\n", $1, $2 }' "$logs/times"
if [ "$failures" -ne 0 ]; then
  echo "windows.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "windows.sh: all checks passed"
