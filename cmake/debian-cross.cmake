# Shared part of the cross toolchain files: Debian's cross compilers for
# GADGETDFU_CROSS_TRIPLET, its sysroot /usr/<triplet>, and qemu-user to run
# the target's programs on the build machine (tests, test discovery).
#
# Set GADGETDFU_CROSS_TRIPLET, GADGETDFU_CROSS_QEMU and CMAKE_SYSTEM_PROCESSOR
# before including this file.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${GADGETDFU_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GADGETDFU_CROSS_TRIPLET}-g++)

# Libraries, headers and packages come from the target's sysroot only;
# programs (qemu, readelf) from the build machine.
set(GADGETDFU_CROSS_SYSROOT /usr/${GADGETDFU_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${GADGETDFU_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run target programs through qemu-user. -L
# points the emulated dynamic loader at the cross sysroot; a static program
# ignores it.
find_program(GADGETDFU_CROSS_EMULATOR NAMES ${GADGETDFU_CROSS_QEMU}
             DOC "qemu-user binary that runs the target's programs")
if(GADGETDFU_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GADGETDFU_CROSS_EMULATOR} -L ${GADGETDFU_CROSS_SYSROOT})
endif()

# Debian's libgtest-dev exists for the build machine only: the unit tests of
# a cross build use GoogleTest built from source (package googletest).
set(CMAKE_PROJECT_gadgetdfu_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/cross-googletest.cmake)
