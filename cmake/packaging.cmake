# Installation extras and the packages: Debian packages (CPack, generator DEB),
# and for a Windows build of dfuctl a zip.
#
# Install components:
#   daemon  sbin/gadgetdfu, its systemd units, tmpfiles.d    -> package gadgetdfu
#           entry, udev rule, man page, copyright, changelog
#   host    bin/dfuctl, its udev rule, man page, bash and    -> package dfuctl
#           zsh completion, copyright, changelog
#
# A cross build for the board packages the daemon for its architecture
# (armhf, arm64); a native build packages both for the build machine:
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake \
#         -DGADGETDFU_BUILD_DFUCTL=OFF -DGADGETDFU_STATIC=ON
#   cmake --build build-armhf --target package    # gadgetdfu_1.4.0_armhf.deb
#   cmake -S . -B build && cmake --build build --target package
#                                # gadgetdfu_1.4.0_amd64.deb, dfuctl_1.4.0_amd64.deb
#
# The prefix defaults to /usr (CMakeLists.txt), and the packages install
# under /usr whatever it is.

# ---- Windows: a zip to unpack anywhere -------------------------------------------------

# dfuctl.exe with the libusb and nettle DLLs beside it (dfuctl/CMakeLists.txt
# installs those and the license texts of all the libraries it holds), and
# the README with the tool's guide at the place its links point to. The
# folder needs no installer: unzip it and run dfuctl.exe from it.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT host)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/dfuctl.md DESTINATION docs COMPONENT host)
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

# ---- Board files (component daemon) ----------------------------------------------------

# The systemd units, the tmpfiles.d entry that creates /tmp/firmware, the
# udev rule that starts the service when a USB device controller appears,
# and the daemon's man page. The folders are those systemd, udev and
# Debian read under /usr.
set(GADGETDFU_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units are installed, relative to the install prefix")
set(GADGETDFU_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING
    "Where the tmpfiles.d entry is installed, relative to the install prefix")
set(GADGETDFU_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the daemon's udev rule is installed, relative to the install prefix")

# packaging/gadgetdfu.service starts /usr/sbin/gadgetdfu; the installed copy
# names the daemon where it is installed. The copy is written at install
# time, so that an install with another prefix (cmake --install --prefix,
# cpack) gets the right path too.
set(_unit_source ${PROJECT_SOURCE_DIR}/packaging/gadgetdfu.service)
set(_unit_copy ${PROJECT_BINARY_DIR}/packaging/gadgetdfu.service)
install(CODE "
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_SBINDIR}\")
    set(_sbindir \"${CMAKE_INSTALL_SBINDIR}\")
  else()
    set(_sbindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  endif()
  file(READ \"${_unit_source}\" _unit_text)
  string(REPLACE \"ExecStart=/usr/sbin/gadgetdfu\" \"ExecStart=\${_sbindir}/gadgetdfu\"
         _unit_text \"\${_unit_text}\")
  file(WRITE \"${_unit_copy}\" \"\${_unit_text}\")
  " COMPONENT daemon)
install(FILES ${_unit_copy} ${PROJECT_SOURCE_DIR}/packaging/dev-gadget.mount
        DESTINATION ${GADGETDFU_SYSTEMD_UNIT_DIR} COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/gadgetdfu.conf
        DESTINATION ${GADGETDFU_TMPFILES_DIR} COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-gadgetdfu-udc.rules
        DESTINATION ${GADGETDFU_UDEV_RULES_DIR} COMPONENT daemon)
unset(_unit_copy)
unset(_unit_source)

# ---- Debian documents: copyright, changelog, man page --------------------------------------

# /usr/share/doc/PACKAGE/copyright in the machine-readable format: the
# project's Apache-2.0 for everything, plus what each binary holds of
# other projects (a static daemon: the C and C++ runtime libraries; dfuctl:
# the header-only libraries compiled into it). changelog.gz is the one of
# the source package gadgetdfu, compressed like the man pages.
set(_deb_dir ${PROJECT_SOURCE_DIR}/packaging/deb)
set(_doc_out ${PROJECT_BINARY_DIR}/packaging/doc)
gadgetdfu_gzip(${_deb_dir}/changelog ${_doc_out}/changelog.gz)

# The top entry of the changelog is the version being packaged.
file(STRINGS ${_deb_dir}/changelog _top LIMIT_COUNT 1)
if(NOT _top MATCHES "^gadgetdfu \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/deb/changelog starts with '${_top}', "
                      "not with version ${PROJECT_VERSION}: add an entry")
endif()
unset(_top)

function(_gadgetdfu_copyright package component)  # extra parts...
  set(_text "")
  foreach(_part header ${ARGN} apache)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_deb_dir}/copyright/${_part})
    file(READ ${_deb_dir}/copyright/${_part} _piece)
    string(APPEND _text "${_piece}")
  endforeach()
  file(WRITE ${_doc_out}/${package}/copyright "${_text}")
  install(FILES ${_doc_out}/${package}/copyright ${_doc_out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()

if(GADGETDFU_STATIC)
  _gadgetdfu_copyright(gadgetdfu daemon static-daemon)
  # lintian's tag for a static executable, accepted with its reason.
  install(FILES ${_deb_dir}/static-daemon.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME gadgetdfu COMPONENT daemon)
else()
  _gadgetdfu_copyright(gadgetdfu daemon)
endif()
if(TARGET dfuctl)
  _gadgetdfu_copyright(dfuctl host dfuctl)
endif()
gadgetdfu_gzip(${PROJECT_SOURCE_DIR}/packaging/gadgetdfu.8 ${_doc_out}/gadgetdfu.8.gz)
install(FILES ${_doc_out}/gadgetdfu.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
unset(_doc_out)
unset(_deb_dir)

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

# A native build packages the daemon and dfuctl for the build machine; a
# cross build (a board's) packages the daemon for its architecture.
if(CMAKE_CROSSCOMPILING OR NOT TARGET dfuctl)
  set(_components daemon)
else()
  set(_components daemon host)
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
# Debian packages install under /usr whatever the build's own prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr CACHE PATH "Where the Debian packages install")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${GADGETDFU_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <package>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GADGETDFU_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Both packages come from one source, whose changelog they carry.
set(CPACK_DEBIAN_PACKAGE_SOURCE gadgetdfu)

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
