# Installation extras and the packages: Debian packages (CPack, generator DEB),
# and for a Windows build of dfuctl a zip.
#
# Install components:
#   daemon  sbin/gadgetdfu and its systemd unit        -> package gadgetdfu
#   host    bin/dfuctl, its udev rule, man page and    -> package dfuctl
#           bash and zsh completion
#
# A cross build for the board packages the daemon for its architecture
# (armhf, arm64), a native build packages dfuctl:
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake \
#         -DGADGETDFU_BUILD_DFUCTL=OFF -DGADGETDFU_STATIC=ON -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-armhf --target package    # gadgetdfu_1.4.0_armhf.deb
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages and for a board:
# the systemd unit names the daemon by its full installed path, and udev
# reads rules from /usr/lib/udev/rules.d (or /lib/...), not /usr/local.

# ---- Windows: a zip to unpack anywhere -------------------------------------------------

# dfuctl.exe with the libusb and nettle DLLs beside it (dfuctl/CMakeLists.txt
# installs those and the license texts of all the libraries it holds), and
# the README. The folder needs
# no installer: unzip it and run dfuctl.exe from it.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT host)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME dfuctl)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "gadgetdfu developers")
  set(CPACK_PACKAGE_FILE_NAME dfuctl-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL host)
  include(CPack)
  return()
endif()

# ---- systemd unit (component daemon) -----------------------------------------------

set(GADGETDFU_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the install prefix")

# packaging/gadgetdfu.service starts /usr/sbin/gadgetdfu; the installed copy
# names the daemon where this build installs it.
set(_unit_source ${PROJECT_SOURCE_DIR}/packaging/gadgetdfu.service)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_unit_source})
file(READ ${_unit_source} _unit_text)
string(REPLACE "ExecStart=/usr/sbin/gadgetdfu" "ExecStart=${CMAKE_INSTALL_FULL_SBINDIR}/gadgetdfu"
       _unit_text "${_unit_text}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/gadgetdfu.service
     CONTENT "${_unit_text}" @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/gadgetdfu.service
        DESTINATION ${GADGETDFU_SYSTEMD_UNIT_DIR} COMPONENT daemon)
unset(_unit_text)
unset(_unit_source)

# ---- Package architecture --------------------------------------------------------------

# The Debian architecture of the compiler's target (armhf, arm64, amd64).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                OUTPUT_VARIABLE _gnu_type OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(_deb_arch "")
find_program(GADGETDFU_DPKG_ARCHITECTURE dpkg-architecture)
mark_as_advanced(GADGETDFU_DPKG_ARCHITECTURE)
if(GADGETDFU_DPKG_ARCHITECTURE AND _gnu_type)
  execute_process(COMMAND ${GADGETDFU_DPKG_ARCHITECTURE} -t${_gnu_type} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT _deb_arch)
  if(_gnu_type MATCHES "^arm.*-gnueabihf$")
    set(_deb_arch armhf)
  elseif(_gnu_type MATCHES "^aarch64-")
    set(_deb_arch arm64)
  elseif(_gnu_type MATCHES "^x86_64-")
    set(_deb_arch amd64)
  endif()
endif()
set(GADGETDFU_DEB_ARCHITECTURE "${_deb_arch}" CACHE STRING
    "Debian architecture of the packages (default: that of the compiler's target)")
if(NOT GADGETDFU_DEB_ARCHITECTURE)
  message(WARNING "No Debian architecture for target '${_gnu_type}': set GADGETDFU_DEB_ARCHITECTURE")
endif()
unset(_deb_arch)

# ---- Which packages -----------------------------------------------------------------------

if(CMAKE_CROSSCOMPILING OR NOT TARGET dfuctl)
  set(_components daemon)
else()
  set(_components host)
endif()
set(GADGETDFU_PACKAGE_COMPONENTS "${_components}" CACHE STRING
    "Install components that 'cpack' packages: daemon (package gadgetdfu), host (package dfuctl)")
unset(_components)
if("host" IN_LIST GADGETDFU_PACKAGE_COMPONENTS AND NOT TARGET dfuctl)
  message(FATAL_ERROR "GADGETDFU_PACKAGE_COMPONENTS has 'host' but dfuctl is not built")
endif()

# ---- CPack ---------------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gadgetdfu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "gadgetdfu developers")
set(CPACK_PACKAGE_CONTACT "gadgetdfu developers <gadgetdfu@example.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${GADGETDFU_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <package>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GADGETDFU_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The board side.
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME gadgetdfu)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
string(CONCAT CPACK_COMPONENT_DAEMON_DESCRIPTION
    "USB firmware-update gadget for the board\n"
    "gadgetdfu presents the board to a USB host as a vendor-specific device\n"
    "through the kernel's gadgetfs. Over it the host tool dfuctl reads the\n"
    "board's version, serial number and eMMC figures, sets its LED ring,\n"
    "streams a firmware image to /tmp/firmware and back, and reboots or shuts\n"
    "the board down. A systemd unit mounts gadgetfs at /dev/gadget and keeps\n"
    "the daemon running.")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(GADGETDFU_STATIC)
  set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "")
elseif(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_DAEMON_PACKAGE_SHLIBDEPS ON)
else()
  # A dynamic daemon of a cross build. dpkg-shlibdeps looks for the target's
  # libraries in multiarch paths, not in Debian's cross sysroot
  # (/usr/<triplet>/lib), whose libraries belong to "<name>-<arch>-cross"
  # packages with shlibs entries like "libc6:<arch>". The cpack project file
  # below runs it on the daemon with the sysroot and maps those names back
  # to the target's packages.
  set(_shlibdeps_sysroot_lib /usr/${_gnu_type}/lib)
endif()

# The host side.
set(CPACK_DEBIAN_HOST_PACKAGE_NAME dfuctl)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION utils)
string(CONCAT CPACK_COMPONENT_HOST_DESCRIPTION
    "Host tool for boards in USB firmware-update mode\n"
    "dfuctl talks to boards served by gadgetdfu through libusb: it queries\n"
    "them, sets their LED ring, writes a firmware image into a board, reads\n"
    "it back or verifies it (SHA-256), and reboots or shuts the board down.\n"
    "A udev rule lets members of plugdev, and the user at the seat, use it\n"
    "without root.")
set(CPACK_DEBIAN_HOST_PACKAGE_SHLIBDEPS ON)

set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack-project.cmake)
if(_shlibdeps_sysroot_lib)
  set(_shlibdeps_dir ${PROJECT_BINARY_DIR}/packaging/shlibdeps)
  file(WRITE ${_shlibdeps_dir}/debian/control
       "Source: gadgetdfu\n\nPackage: gadgetdfu\nArchitecture: ${GADGETDFU_DEB_ARCHITECTURE}\n")
  string(CONFIGURE [=[
# Read by cpack (generated by cmake/packaging.cmake): the Depends of the
# dynamic daemon of a cross build, from dpkg-shlibdeps on the cross sysroot.
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(
    COMMAND "@CMAKE_COMMAND@" -E env DEB_HOST_ARCH=@GADGETDFU_DEB_ARCHITECTURE@
            dpkg-shlibdeps -O -l@_shlibdeps_sysroot_lib@ "$<TARGET_FILE:gadgetdfu>"
    WORKING_DIRECTORY "@_shlibdeps_dir@"
    OUTPUT_VARIABLE _shlibdeps OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_VARIABLE _shlibdeps_err RESULT_VARIABLE _shlibdeps_rc)
  if(NOT _shlibdeps_rc EQUAL 0 OR NOT _shlibdeps MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps on the daemon failed: ${_shlibdeps_err}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" _shlibdeps "${_shlibdeps}")
  string(REPLACE "-@GADGETDFU_DEB_ARCHITECTURE@-cross" "" _shlibdeps "${_shlibdeps}")
  string(REPLACE ":@GADGETDFU_DEB_ARCHITECTURE@" "" _shlibdeps "${_shlibdeps}")
  set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "${_shlibdeps}")
endif()
]=] _project_config @ONLY)
  file(GENERATE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT "${_project_config}")
  unset(_project_config)
  unset(_shlibdeps_dir)
else()
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "# Nothing to set at packaging time.\n")
endif()
unset(_shlibdeps_sysroot_lib)
unset(_gnu_type)

include(CPack)
