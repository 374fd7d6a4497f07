#!/usr/bin/env bash
# The whole system on one Linux PC, no board needed: installs what is missing
# (scripts/deps.sh), builds the daemon and dfuctl (Release, in build-demo/),
# then boots a QEMU VM in which the unchanged daemon serves the gadget side of
# the kernel's emulated USB link (gadgetfs on dummy_hcd) and dfuctl, as the
# USB host, lists, describes and queries the board and moves a generated
# firmware image to it and back. The VM powers off at the end.
#
#   scripts/demo.sh [--image-mib N] [--log FILE] [--no-deps]
#
# What runs inside the VM: e2e/demo/demo.sh. The VM harness: e2e/run-vm.sh.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${GADGETDFU_DEMO_BUILD:-$repo/build-demo}
image_mib=64
log=""
deps=1
while [ $# -gt 0 ]; do
  case "$1" in
    --image-mib) image_mib=${2:?}; shift 2 ;;
    --log) log=${2:?}; shift 2 ;;
    --no-deps) deps=0; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument: $1" >&2; exit 64 ;;
  esac
done
case "$image_mib" in ''|*[!0-9]*) echo "demo.sh: --image-mib wants a number" >&2; exit 64 ;; esac

say() { printf '\n\033[1m>>> %s\033[0m\n' "$*"; }

if [ "$deps" = 1 ]; then
  say "Packages (scripts/deps.sh)"
  "$repo/scripts/deps.sh"
fi

say "Build (Release) in $build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DGADGETDFU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target gadgetdfu dfuctl

say "Boot the VM (about 5 s) and run the demo"
# The image lives three times in the VM's RAM (host copy, board copy, read-back).
memory=$(( 1024 + 3 * image_mib ))
args=(--daemon "$build/gadgetdfu/gadgetdfu" --dfuctl "$build/dfuctl/dfuctl"
      --test "$repo/e2e/demo/demo.sh" --timeout $(( 240 + image_mib * 2 ))
      --memory "$memory" --env "DEMO_IMAGE_MIB=$image_mib")
[ -n "$log" ] && args+=(--log "$log")
exec "$repo/e2e/run-vm.sh" "${args[@]}"
