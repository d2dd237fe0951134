# SPDX-License-Identifier: MIT
# The Python module orvex: the package python/orvex (pure Python: the
# exceptions, the mapping of parameters, the log's delivery, docstrings)
# over the compiled module _orvex (python/_orvex.cpp, pybind11), which
# links liborvex (Orvex::orvex). On by default where Debian's pybind11 and
# the Python headers are found. In the build tree the package is
# build/python/orvex (links to the sources beside the compiled module);
# installed it is lib/python3/dist-packages/orvex under the prefix,
# Debian's place for /usr.
include(GNUInstallDirs)

# Debian's interpreter, the one the module is for, unless told otherwise
# (-DPython3_EXECUTABLE=...).
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 3.9 QUIET COMPONENTS Interpreter Development.Module)
set(ZY_PYTHON_FOUND OFF)
if(Python3_FOUND)
  set(PYBIND11_FINDPYTHON ON)
  find_package(pybind11 2.6 CONFIG QUIET)
  if(pybind11_FOUND)
    set(ZY_PYTHON_FOUND ON)
  endif()
endif()
option(ORVEX_PYTHON "Build the Python module orvex (needs pybind11 and the Python headers)"
       ${ZY_PYTHON_FOUND})
set(ORVEX_PYTHON_INSTALL_DIR lib/python3/dist-packages
    CACHE STRING "Where the Python package orvex is installed, under the prefix")

if(ORVEX_PYTHON)
  if(NOT ZY_PYTHON_FOUND)
    message(FATAL_ERROR "ORVEX_PYTHON needs pybind11 and the Python headers "
                        "(apt-get install pybind11-dev python3-dev), or -DORVEX_PYTHON=OFF")
  endif()
  set(ZY_PYTHON_PACKAGE ${CMAKE_BINARY_DIR}/python/orvex)
  pybind11_add_module(_orvex MODULE ${CMAKE_SOURCE_DIR}/python/_orvex.cpp)
  target_link_libraries(_orvex PRIVATE Orvex::orvex)
  # liborvex and the libzyla it needs are found from the package's place,
  # under any prefix: an RPATH (not a RUNPATH, which would serve the
  # module's own needs only, not liborvex's).
  target_link_options(_orvex PRIVATE LINKER:--disable-new-dtags)
  file(RELATIVE_PATH ZY_PYTHON_TO_LIBDIR
       ${CMAKE_INSTALL_PREFIX}/${ORVEX_PYTHON_INSTALL_DIR}/orvex ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(_orvex PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ZY_PYTHON_PACKAGE}
                        INSTALL_RPATH "$ORIGIN/${ZY_PYTHON_TO_LIBDIR}")
  file(GLOB ZY_PYTHON_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/orvex/*)
  file(MAKE_DIRECTORY ${ZY_PYTHON_PACKAGE})
  foreach(file ${ZY_PYTHON_FILES})
    get_filename_component(name ${file} NAME)
    file(CREATE_LINK ${file} ${ZY_PYTHON_PACKAGE}/${name} SYMBOLIC)
  endforeach()
  install(TARGETS _orvex LIBRARY DESTINATION ${ORVEX_PYTHON_INSTALL_DIR}/orvex)
  install(FILES ${ZY_PYTHON_FILES} DESTINATION ${ORVEX_PYTHON_INSTALL_DIR}/orvex)
endif()
