# Run at build time (cmake -P) to write the build string header:
#   -DSRC=<source dir> -DOUT=<header> -DTEMPLATE=<kpt_build.h.in> -DKPT_LIB_VERSION=<version>
# The string is "<tag>-<version>_<rev9> <mm/dd/yy_HH:MM> <rev9>": the source
# revision, and the time the first build of that revision ran.  While the
# revision stays the same the header is left untouched, so that nothing that
# includes it is rebuilt; a new commit gives a new revision and a new time.
execute_process(
  COMMAND git rev-parse --short=9 HEAD
  WORKING_DIRECTORY ${SRC}
  OUTPUT_VARIABLE KPT_SRC_REV
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE _kpt_git_rc)
if(NOT _kpt_git_rc EQUAL 0 OR NOT KPT_SRC_REV MATCHES "^[0-9a-f]+$")
  set(KPT_SRC_REV "000000000")
endif()
string(SUBSTRING "${KPT_SRC_REV}000000000" 0 9 KPT_SRC_REV)

set(_prefix "kpt-${KPT_LIB_VERSION}_${KPT_SRC_REV} ")
set(_suffix " ${KPT_SRC_REV}")
set(KPT_BUILD_STRING "")
if(EXISTS "${OUT}")
  file(STRINGS "${OUT}" _line REGEX "^#define KPT_LIB_BUILD_STR \"")
  if(_line MATCHES "^#define KPT_LIB_BUILD_STR \"([^\"]*)\"$")
    set(_old "${CMAKE_MATCH_1}")
    string(FIND "${_old}" "${_prefix}" _at)
    string(LENGTH "${_old}" _len)
    string(LENGTH "${_suffix}" _slen)
    if(_at EQUAL 0 AND _len GREATER _slen)
      math(EXPR _tail "${_len} - ${_slen}")
      string(SUBSTRING "${_old}" ${_tail} -1 _old_suffix)
      if(_old_suffix STREQUAL _suffix)
        set(KPT_BUILD_STRING "${_old}")
      endif()
    endif()
  endif()
endif()
if(KPT_BUILD_STRING STREQUAL "")
  string(TIMESTAMP _stamp "%m/%d/%y_%H:%M")
  set(KPT_BUILD_STRING "${_prefix}${_stamp}${_suffix}")
endif()

configure_file("${TEMPLATE}" "${OUT}.tmp" @ONLY)
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
