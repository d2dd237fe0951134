# SPDX-License-Identifier: MIT
# The version header, the installation (programs, man pages, completion,
# robot parameter files, and the Zyla library for other programs: static
# libraries, headers under include/zyla, a CMake package giving Zyla::zyla
# and a pkg-config file) and the Debian package made by CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZY_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/lib/base/ZyVersion.h.in ${ZY_GENERATED_DIR}/ZyVersion.h @ONLY)

# The library's headers are found in their layer's folder when building and
# in include/zyla once installed.
set_property(TARGET zylabase PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/lib/base>
             $<BUILD_INTERFACE:${ZY_GENERATED_DIR}>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zyla>)
set_property(TARGET zylarobot PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/lib/robot>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zyla>)

install(TARGETS orvexconf RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET orvexsim)
  install(TARGETS orvexsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

file(GLOB ZY_PARAM_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/params/*.p)
install(FILES ${ZY_PARAM_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/zyla/params)

install(TARGETS zylabase zylarobot zyla EXPORT ZylaTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB ZY_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/lib/base/*.h
     ${CMAKE_SOURCE_DIR}/lib/robot/*.h)
# Headers named *Internal.h serve the library's own sources only.
list(FILTER ZY_HEADERS EXCLUDE REGEX "Internal\\.h$")
install(FILES ${ZY_HEADERS} ${ZY_GENERATED_DIR}/ZyVersion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zyla)

# A program includes the library's headers as <zyla/Name.h>: the package
# and pkg-config give the folder above include/zyla (and include/zyla
# itself, for programs written as <Name.h>). In the build tree a folder of
# links gives the same form.
set(ZY_INCLUDE_TREE ${ZY_GENERATED_DIR}/include)
file(MAKE_DIRECTORY ${ZY_INCLUDE_TREE}/zyla)
foreach(header ${ZY_HEADERS} ${ZY_GENERATED_DIR}/ZyVersion.h)
  get_filename_component(name ${header} NAME)
  file(CREATE_LINK ${header} ${ZY_INCLUDE_TREE}/zyla/${name} SYMBOLIC)
endforeach()
set_property(TARGET zylabase APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${ZY_INCLUDE_TREE}>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

set(ZY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zyla)
install(EXPORT ZylaTargets NAMESPACE Zyla:: DESTINATION ${ZY_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ZylaConfig.cmake.in
                              ${ZY_GENERATED_DIR}/ZylaConfig.cmake
                              INSTALL_DESTINATION ${ZY_CMAKE_DIR})
write_basic_package_version_file(${ZY_GENERATED_DIR}/ZylaConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${ZY_GENERATED_DIR}/ZylaConfig.cmake ${ZY_GENERATED_DIR}/ZylaConfigVersion.cmake
        DESTINATION ${ZY_CMAKE_DIR})

# The pkg-config file finds the prefix from its own place, so it stays right
# when the tree is installed under another prefix (as the package does).
file(RELATIVE_PATH ZY_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZY_PC_TO_PREFIX "${ZY_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/zyla.pc.in ${ZY_GENERATED_DIR}/zyla.pc @ONLY)
install(FILES ${ZY_GENERATED_DIR}/zyla.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package: cpack -G DEB in the build directory.
# The licence: the MIT text as LICENSE, and in the Debian package's
# machine-readable copyright file.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvexconf)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvexconf)

set(CPACK_PACKAGE_NAME orvexconf)
set(CPACK_PACKAGE_LICENSE MIT)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "orvexconf maintainers")
set(CPACK_PACKAGE_CONTACT "orvexconf maintainers <maintainers@orvexconf.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configure a mobile robot's controller and replace its firmware")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "orvexconf configures the microcontroller of a mobile robot running the ORVEX
firmware over a serial port: it reads the FLASH parameter block, lets the
operator change parameters by keyword with range checks, writes the block
back, saves and restores parameter files, and uploads firmware images.
Includes the controller simulator orvexsim, the man pages, bash completion,
robot parameter files and the Zyla robot library (static libraries, headers,
CMake package and pkg-config file).")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
