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
  # the board VMs (e2e/systemd): their root file systems, arm64 emulated
  mmdebstrap arch-test e2fsprogs qemu-utils qemu-system-arm
  # dfuctl cross-built for the arm64 board VM, against Debian's arm64 libraries
  libusb-1.0-0-dev:arm64 nettle-dev:arm64 zlib1g-dev:arm64 liblzma-dev:arm64
  libzstd-dev:arm64 libbz2-dev:arm64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
# The :arm64 packages need the architecture known to dpkg (multiarch).
dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
