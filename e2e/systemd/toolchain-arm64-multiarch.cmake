# The arm64 cross build of the board VM's packages (daemon and dfuctl):
# cmake/toolchain-arm64.cmake plus the libraries of Debian's arm64 -dev
# packages installed through multiarch (libusb-1.0-0-dev:arm64 and the
# others scripts/deps.sh lists), which live in /usr/lib/aarch64-linux-gnu
# with their headers in /usr/include.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/toolchain-arm64.cmake)
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
