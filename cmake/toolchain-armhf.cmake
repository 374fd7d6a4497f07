# 32-bit ARM boards (ARMv7, hard-float) with Debian's g++-arm-linux-gnueabihf:
#
#   cmake -S . -B build-armhf -G Ninja \
#         --toolchain cmake/toolchain-armhf.cmake -DGADGETDFU_BUILD_DFUCTL=OFF
#
# ctest runs the tests under qemu-arm-static (package qemu-user-static).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(GADGETDFU_CROSS_TRIPLET arm-linux-gnueabihf)
set(GADGETDFU_CROSS_QEMU qemu-arm-static qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
