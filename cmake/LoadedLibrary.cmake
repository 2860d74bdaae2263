# A library the program loads when it first needs it (platform/shared_library.h)
# rather than links: only its headers are used at build time. Gives TARGET
# the definition NAME_SONAME="libfoo.so.N", read off the library the build
# finds, and records the Debian package that holds it (libfooN) for the
# package's dependencies.
#   brantlow_loaded_library(TARGET NAME LIBRARY_NAME HINT_DIRS...)
function(brantlow_loaded_library target name library)
  find_library(BRANTLOW_${name}_LIBRARY NAMES ${library} HINTS ${ARGN} REQUIRED)
  get_filename_component(real ${BRANTLOW_${name}_LIBRARY} REALPATH)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${real} OUTPUT_VARIABLE dynamic)
  if(NOT dynamic MATCHES "SONAME +([^ \n]+)")
    message(FATAL_ERROR "the soname of ${real} cannot be read")
  endif()
  set(soname ${CMAKE_MATCH_1})
  target_compile_definitions(${target} PRIVATE BRANTLOW_${name}_SONAME="${soname}")
  if(soname MATCHES "^(lib[a-z0-9]+)\\.so\\.([0-9]+)$")
    set_property(GLOBAL APPEND PROPERTY BRANTLOW_LOADED_PACKAGES "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
  endif()
endfunction()
