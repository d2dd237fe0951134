# SPDX-License-Identifier: MIT
# The libraries for programs, each built shared and static from the objects
# of its layers (which are compiled once, position independent, and also
# make the layers' own static libraries that the tool and the tests link):
#   libzyla   Zyla, the robot library: ZYLA_LIBRARY_LAYERS.
#   liborvex  the tool's operations, with their facade <orvex/Orvex.h>:
#             ORVEX_LIBRARY_LAYERS; it links libzyla.
# In the build tree as once installed, Zyla::zyla and Orvex::orvex are the
# shared libraries and Zyla::zyla_static and Orvex::orvex_static the static
# ones; a program (or the Python module) links one of them.

# name: the library's name (libNAME.so, libNAME.a); LAYERS: its layers, in
# layer order; SHARED_LINKS, STATIC_LINKS: what the shared and the static
# library link to besides (libraries of their own kind); PRIVATE: what
# either needs only to be linked itself.
function(zy_program_library name)
  cmake_parse_arguments(arg "" "" "LAYERS;SHARED_LINKS;STATIC_LINKS;PRIVATE" ${ARGN})
  set(objects "")
  foreach(layer ${arg_LAYERS})
    list(APPEND objects $<TARGET_OBJECTS:${layer}>)
  endforeach()
  add_library(${name}_shared SHARED ${objects})
  set_target_properties(${name}_shared PROPERTIES OUTPUT_NAME ${name} EXPORT_NAME ${name}
                        VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  # Every symbol the library needs is found when it is linked, so that a
  # layer missing from its list fails the build, not a program's start.
  target_link_options(${name}_shared PRIVATE LINKER:--no-undefined)
  target_link_libraries(${name}_shared PUBLIC ${arg_SHARED_LINKS} PRIVATE ${arg_PRIVATE})
  add_library(${name}_static STATIC ${objects})
  set_target_properties(${name}_static PROPERTIES OUTPUT_NAME ${name} EXPORT_NAME ${name}_static)
  target_link_libraries(${name}_static PUBLIC ${arg_STATIC_LINKS} PRIVATE ${arg_PRIVATE})
  set_property(TARGET ${name}_shared ${name}_static PROPERTY ZY_LAYERS ${arg_LAYERS})
endfunction()

zy_program_library(zyla LAYERS ${ZYLA_LIBRARY_LAYERS}
                   SHARED_LINKS Threads::Threads STATIC_LINKS Threads::Threads
                   PRIVATE OpenSSL::SSL)
zy_program_library(orvex LAYERS ${ORVEX_LIBRARY_LAYERS}
                   SHARED_LINKS zyla_shared STATIC_LINKS zyla_static
                   PRIVATE OpenSSL::Crypto yaml-cpp)
add_library(Zyla::zyla ALIAS zyla_shared)
add_library(Zyla::zyla_static ALIAS zyla_static)
add_library(Orvex::orvex ALIAS orvex_shared)
add_library(Orvex::orvex_static ALIAS orvex_static)
