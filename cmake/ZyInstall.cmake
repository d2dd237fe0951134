# SPDX-License-Identifier: MIT
# The version header, the installation (programs, man pages, completion,
# robot parameter files, and the libraries for other programs: libzyla and
# liborvex shared and static, the layers of Zyla as static libraries,
# headers under include/zyla and include/orvex, CMake packages giving
# Zyla::zyla and Orvex::orvex, pkg-config files) and the Debian package
# made by CPack.
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

# A program includes the libraries' headers as <zyla/Name.h> and
# <orvex/Name.h>: the packages and pkg-config give the folder above
# include/zyla and include/orvex (and include/zyla itself, for programs
# written as <Name.h>, and for the headers of liborvex, which include
# Zyla's by name). In the build tree a folder of links gives the same form.
# The headers of a package are those of its layers; headers named
# *Internal.h serve the library's own sources only.
set(ZY_INCLUDE_TREE ${ZY_GENERATED_DIR}/include)
function(zy_header_tree package extra)
  set(headers ${extra})
  foreach(layer ${ARGN})
    get_property(dir TARGET ${layer} PROPERTY ZY_DIR)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.h)
    list(APPEND headers ${found})
  endforeach()
  list(FILTER headers EXCLUDE REGEX "Internal\\.h$")
  file(REMOVE_RECURSE ${ZY_INCLUDE_TREE}/${package})
  file(MAKE_DIRECTORY ${ZY_INCLUDE_TREE}/${package})
  set(names "")
  foreach(header ${headers})
    get_filename_component(name ${header} NAME)
    if(name IN_LIST names)
      message(FATAL_ERROR "Two headers of ${package} are named ${name}: rename one")
    endif()
    list(APPEND names ${name})
    file(CREATE_LINK ${header} ${ZY_INCLUDE_TREE}/${package}/${name} SYMBOLIC)
  endforeach()
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${package})
endfunction()
zy_header_tree(zyla ${ZY_GENERATED_DIR}/ZyVersion.h ${ZYLA_LIBRARY_LAYERS})
zy_header_tree(orvex "" ${ORVEX_LIBRARY_LAYERS})
set_property(TARGET zylabase APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${ZY_INCLUDE_TREE}>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
foreach(library zyla_shared zyla_static)
  target_include_directories(${library} INTERFACE
                             $<BUILD_INTERFACE:${ZY_INCLUDE_TREE}>
                             $<BUILD_INTERFACE:${ZY_INCLUDE_TREE}/zyla>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zyla>)
endforeach()
foreach(library orvex_shared orvex_static)
  target_include_directories(${library} INTERFACE
                             $<BUILD_INTERFACE:${ZY_INCLUDE_TREE}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

# The libraries: shared (with their version links) and static, and Zyla's
# layers as static libraries of their own, as before there was libzyla.
install(TARGETS zylabase zylarobot zyla_shared zyla_static EXPORT ZylaTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS orvex_shared orvex_static EXPORT OrvexTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The CMake packages: find_package(Zyla), find_package(Orvex).
foreach(package Zyla Orvex)
  set(dir ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  install(EXPORT ${package}Targets NAMESPACE ${package}:: DESTINATION ${dir})
  configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/${package}Config.cmake.in
                                ${ZY_GENERATED_DIR}/${package}Config.cmake
                                INSTALL_DESTINATION ${dir})
  write_basic_package_version_file(${ZY_GENERATED_DIR}/${package}ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${ZY_GENERATED_DIR}/${package}Config.cmake
                ${ZY_GENERATED_DIR}/${package}ConfigVersion.cmake
          DESTINATION ${dir})
endforeach()

# The pkg-config files find the prefix from their own place, so they stay
# right when the tree is installed under another prefix (as the package
# does).
file(RELATIVE_PATH ZY_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZY_PC_TO_PREFIX "${ZY_PC_TO_PREFIX}")
foreach(package zyla orvex)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/${package}.pc.in ${ZY_GENERATED_DIR}/${package}.pc @ONLY)
  install(FILES ${ZY_GENERATED_DIR}/${package}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

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
robot parameter files, the Zyla robot library and liborvex, the tool's
operations for programs (shared and static libraries, headers, CMake
packages and pkg-config files), and the Python module orvex over it.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The Python module is built for one version of Debian's python3; the tool
# itself needs no Python, so python3 is suggested, not required.
if(ORVEX_PYTHON)
  math(EXPR ZY_PYTHON_NEXT_MINOR "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${ZY_PYTHON_NEXT_MINOR})")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shared libraries libzyla and liborvex: a shlibs file for the
# packages built against them, and the dynamic linker's cache remade by a
# trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
