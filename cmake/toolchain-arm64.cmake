# 64-bit ARM boards with Debian's g++-aarch64-linux-gnu:
#
#   cmake -S . -B build-arm64 -G Ninja \
#         --toolchain cmake/toolchain-arm64.cmake -DGADGETDFU_BUILD_DFUCTL=OFF
#
# ctest runs the tests under qemu-aarch64-static (package qemu-user-static).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(GADGETDFU_CROSS_TRIPLET aarch64-linux-gnu)
set(GADGETDFU_CROSS_QEMU qemu-aarch64-static qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
