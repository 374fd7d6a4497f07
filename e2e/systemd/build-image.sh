#!/usr/bin/env bash
# Builds (once) and caches the disk of the board VM: a Debian bookworm root
# file system that boots with systemd, for amd64 or arm64, with the stock
# kernel's modules, and what its busybox initramfs needs. Prints the cache
# folder, which holds:
#   disk.raw      ext4 file system of the root (a run boots a qcow2 overlay)
#   kernel        the kernel image (bzImage for amd64, Image for arm64)
#   busybox       the root's static busybox, for the initramfs
#   modules/      the modules that mount the root (virtio, ext4), and
#   modules.list  their load order
#
#   build-image.sh ARCH        ARCH: amd64 or arm64
#
# The folder's name is a digest of its inputs (this script, the package
# list, the architecture): a change of any of them builds a new one. arm64
# is built through binfmt_misc and qemu-aarch64-static, registered for the
# build only. Needs mmdebstrap, e2fsprogs, qemu-user-static and access to
# the Debian mirror apt uses. Cache: $GADGETDFU_VM_CACHE as for run-vm.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
me=$(basename "$0")
. "$here/../vm/build-lib.sh"
arch=${1:-}
case "$arch" in amd64|arm64) ;; *) die "usage: $me amd64|arm64" ;; esac

# minbase + systemd as a board image has it; usbip and iproute2 serve the
# field set-up (a board exported to a host over USB/IP); busybox-static
# becomes the initramfs.
packages=systemd,systemd-sysv,udev,kmod,usbutils,libusb-1.0-0,dbus,procps,busybox-static
[ "$arch" = amd64 ] && packages=$packages,usbip,iproute2
# The modules that mount the root (those built into the kernel are skipped).
boot_modules="virtio_pci virtio_mmio virtio_blk crc32c_generic ext4"
# What the folder holds (see above); a change of it is a change of the key.
layout="disk.raw kernel busybox modules modules.list, ext4 2G"

cache=$(vm_cache_dir)
mkdir -p "$cache"

# The stock kernel: its package unpacked into the root (modules, and the
# image in /boot, which is also kept beside the disk). No initramfs-tools,
# no boot loader.
kernel_hook='set -e
pkg=$(chroot "$1" apt-cache depends linux-image-'"$arch"' | sed -n "s/^ *Depends: \(linux-image-[^ <>]*\)$/\1/p" | head -n1)
[ -n "$pkg" ]
mkdir -p "$1/tmp/k"
chroot "$1" sh -c "cd /tmp/k && apt-get download -q $pkg" >/dev/null
dpkg -x "$1"/tmp/k/*.deb "$1/tmp/k/x"
cp -a "$1"/tmp/k/x/lib/modules "$1/lib/"
cp "$1"/tmp/k/x/boot/vmlinuz-* "$1/boot/"
echo "$pkg" >"$1/boot/kernel-package"
rm -rf "$1/tmp/k"
for v in "$1"/lib/modules/*; do chroot "$1" depmod "${v##*/}"; done'

mmdebstrap_args=(--variant=minbase --arch="$arch" --include="$packages"
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*'
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright'
  --customize-hook="$kernel_hook"
  --customize-hook='echo board >"$1/etc/hostname"'
  --customize-hook='rm -f "$1/etc/machine-id"; : >"$1/etc/machine-id"'
  bookworm)

# The cache folder is named after everything that makes the image.
key=$(printf '%s\n' "$arch" "$packages" "$boot_modules" "${mmdebstrap_args[@]}" "$layout" | sha256sum | cut -c1-16)
dir=$cache/bookworm-systemd-$arch-$key
[ -f "$dir/ready" ] && { echo "$dir"; exit 0; }

for tool in mmdebstrap mke2fs sha256sum; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done
[ "$(id -u)" = 0 ] || die "building the root file system needs root"

# One build per architecture at a time; a second caller waits and reuses it.
exec 8>"$cache/.lock-systemd-$arch"
flock 8
[ -f "$dir/ready" ] && { echo "$dir"; exit 0; }
echo "$me: building the $arch root file system in $dir (once)" >&2
start=$(date +%s)

work=$(mktemp -d "$cache/build-$arch.XXXXXX")
binfmt_entry="" binfmt_mounted=0
cleanup() {
  rm -rf "$work"
  if [ -n "$binfmt_entry" ]; then echo -1 >"/proc/sys/fs/binfmt_misc/$binfmt_entry" || true; fi
  if [ "$binfmt_mounted" = 1 ]; then umount /proc/sys/fs/binfmt_misc || true; fi
}
trap cleanup EXIT

if [ "$arch" = arm64 ] && [ "$(uname -m)" != aarch64 ]; then
  qemu=$(command -v qemu-aarch64-static) || die "qemu-aarch64-static is missing (qemu-user-static)"
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || die "cannot mount binfmt_misc"
    binfmt_mounted=1
  fi
  # An aarch64 interpreter someone else registered stays theirs.
  if ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then
    binfmt_entry=gadgetdfu-aarch64
    # F: the interpreter is opened now, so it also runs inside the chroot.
    printf ':%s:M::%s:%s:%s:F\n' "$binfmt_entry" \
      '\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' \
      '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
      "$qemu" >/proc/sys/fs/binfmt_misc/register || die "cannot register $qemu with binfmt_misc"
  fi
fi

mmdebstrap "${mmdebstrap_args[@]}" "$work/root" >"$work/mmdebstrap.log" 2>&1 \
  || { tail -n 30 "$work/mmdebstrap.log" >&2; die "mmdebstrap failed"; }

mkdir -p "$work/out/modules"
cp "$work/root/bin/busybox" "$work/out/busybox"
cp "$work"/root/boot/vmlinuz-* "$work/out/kernel"
cp "$work/root/boot/kernel-package" "$work/out/kernel-package"

# The load order of the boot modules: each after what it depends on.
mdir=$(ls -d "$work"/root/lib/modules/* | head -n1)
: >"$work/out/modules.list"
add_module() {
  local name=$1 path line dep
  path=$(find "$mdir/kernel" -name "$name.ko" | head -n1)
  [ -n "$path" ] || return 0
  grep -qx "${path##*/}" "$work/out/modules.list" && return 0
  line=$(grep "^${path#"$mdir"/}:" "$mdir/modules.dep" | cut -d: -f2)
  for dep in $line; do add_module "$(basename "$dep" .ko)"; done
  cp "$path" "$work/out/modules/"
  echo "${path##*/}" >>"$work/out/modules.list"
}
for m in $boot_modules; do add_module "$m"; done
mke2fs -q -t ext4 -L board -d "$work/root" "$work/out/disk.raw" 2G >&2 || die "mke2fs failed"
touch "$work/out/ready"
rm -rf "$dir"
mv "$work/out" "$dir"
echo "$me: $arch root file system built in $(( $(date +%s) - start )) s" >&2
echo "$dir"
