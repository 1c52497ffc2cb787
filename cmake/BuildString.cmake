# Produces ${CMAKE_BINARY_DIR}/generated/kpt_build.h with the library build
# string: "<tag>-<version>_<rev9> <mm/dd/yy_HH:MM> <rev9>".
set(KPT_LIB_VERSION "3.0.21.50908")
execute_process(
  COMMAND git rev-parse --short=9 HEAD
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE KPT_SRC_REV
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE _kpt_git_rc)
if(NOT _kpt_git_rc EQUAL 0 OR NOT KPT_SRC_REV MATCHES "^[0-9a-f]+$")
  set(KPT_SRC_REV "000000000")
endif()
string(SUBSTRING "${KPT_SRC_REV}000000000" 0 9 KPT_SRC_REV)
string(TIMESTAMP KPT_BUILD_STAMP "%m/%d/%y_%H:%M")
set(KPT_BUILD_STRING "kpt-${KPT_LIB_VERSION}_${KPT_SRC_REV} ${KPT_BUILD_STAMP} ${KPT_SRC_REV}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/kpt_build.h.in
               ${CMAKE_BINARY_DIR}/generated/kpt_build.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
