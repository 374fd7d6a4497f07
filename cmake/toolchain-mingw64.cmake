# dfuctl for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-win -G Ninja --toolchain cmake/toolchain-mingw64.cmake \
#         -DGADGETDFU_WINDOWS_PREFIX=/path/to/prefix
#
# scripts/windows.sh builds the prefix and runs all of this. The prefix holds
# what the Windows build links against, and nothing of the build machine's:
#   bin/, lib/, include/   libusb-1.0 and nettle (DLLs), zlib, liblzma,
#                          libzstd and libbz2 (static) built for Windows
#   lib/pkgconfig/         their pkg-config files (the only ones pkg-config sees)
#   include/CLI, include/nlohmann, share/cmake/   the header-only CLI11 and
#                          nlohmann-json, copied from the build machine
#
# ctest and test discovery run the Windows programs under Wine, with a Wine
# prefix of their own in the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GADGETDFU_CROSS_TRIPLET x86_64-w64-mingw32)

# The posix-threads variant: GCC's win32-threads variant has no std::thread
# or std::mutex.
set(CMAKE_C_COMPILER ${GADGETDFU_CROSS_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GADGETDFU_CROSS_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GADGETDFU_CROSS_TRIPLET}-windres)

set(GADGETDFU_WINDOWS_PREFIX "" CACHE PATH
    "libusb, nettle and the header-only libraries for the Windows build (scripts/windows.sh makes it)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GADGETDFU_WINDOWS_PREFIX)

# Headers, libraries and packages from mingw-w64's sysroot and the prefix
# only; programs (wine, pkg-config) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${GADGETDFU_CROSS_TRIPLET} ${GADGETDFU_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(GADGETDFU_WINDOWS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${GADGETDFU_WINDOWS_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# The C and C++ runtimes and winpthread linked in: the programs need no DLL
# but Windows' own (KERNEL32, msvcrt) and the libraries they link.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")

# Wine runs the tests: in a prefix of the build folder (not the user's
# ~/.wine), quiet, without the Mono and Gecko installers, and with the
# prefix's DLLs on the search path. Discovery runs when ctest does.
find_program(GADGETDFU_WINE NAMES wine wine64 DOC "Wine, which runs the Windows programs on the build machine")
set(GADGETDFU_WINEPREFIX ${CMAKE_BINARY_DIR}/wine CACHE PATH "Wine prefix for the tests")
if(GADGETDFU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${GADGETDFU_WINEPREFIX} WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= WINEPATH=Z:${GADGETDFU_WINDOWS_PREFIX}/bin ${GADGETDFU_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# GoogleTest for Windows from Debian's sources, as for the ARM builds.
set(CMAKE_PROJECT_gadgetdfu_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/cross-googletest.cmake)
