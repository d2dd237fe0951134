# The version header, the installation (programs, man pages, completion,
# robot parameter files, and the Zyla library for other programs: static
# libraries, headers under include/zyla, a CMake package giving Zyla::zyla
# and a pkg-config file) and the Debian package made by CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZY_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/lib/base/ZyVersion.h.in ${ZY_GENERATED_DIR}/ZyVersion.h @ONLY)
target_include_directories(zylabase PUBLIC ${ZY_GENERATED_DIR})
