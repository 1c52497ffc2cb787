# ${CMAKE_BINARY_DIR}/generated/kpt_build.h holds the library build string:
# "<tag>-<version>_<rev9> <mm/dd/yy_HH:MM> <rev9>".  It is written at build
# time, before anything that includes it is compiled, so that a rebuild after
# new commits reports the new revision (WriteBuildString.cmake).  Targets that
# include it depend on kpt_build_string (kpt_build_string_dependents below).
set(KPT_LIB_VERSION "3.0.21.50908")
set(KPT_BUILD_HEADER ${CMAKE_BINARY_DIR}/generated/kpt_build.h)
set(_kpt_build_args
  -DSRC=${CMAKE_SOURCE_DIR}
  -DOUT=${KPT_BUILD_HEADER}
  -DTEMPLATE=${CMAKE_SOURCE_DIR}/cmake/kpt_build.h.in
  -DKPT_LIB_VERSION=${KPT_LIB_VERSION}
  -P ${CMAKE_SOURCE_DIR}/cmake/WriteBuildString.cmake)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
# Once now, so that the header exists from the start.
execute_process(COMMAND ${CMAKE_COMMAND} ${_kpt_build_args})
add_custom_target(kpt_build_string
  COMMAND ${CMAKE_COMMAND} ${_kpt_build_args}
  BYPRODUCTS ${KPT_BUILD_HEADER}
  COMMENT "Checking the build string"
  VERBATIM)
include_directories(${CMAKE_BINARY_DIR}/generated)

# Makes the given targets wait for the build string header.
function(kpt_build_string_dependents)
  foreach(t IN LISTS ARGN)
    if(TARGET ${t})
      add_dependencies(${t} kpt_build_string)
    endif()
  endforeach()
endfunction()
