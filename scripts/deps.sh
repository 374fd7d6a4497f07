#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: packages already present are left alone. Needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev
  libusb-1.0-0-dev libcli11-dev nlohmann-json3-dev nettle-dev
  zlib1g-dev liblzma-dev libzstd-dev libbz2-dev
  qemu-system-x86 busybox-static cpio dash util-linux kmod xz-utils usbip
  qemu-user-static g++-arm-linux-gnueabihf g++-aarch64-linux-gnu
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64 wine wine64 m4 make dpkg-dev zip unzip
  lintian systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
