# The build string header is rewritten when the source revision changes and
# only then.  Runs WriteBuildString.cmake against a scratch repository:
#   cmake -DSCRIPT=... -DTEMPLATE=... -DWORK=<scratch dir> -P build_string_test.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/repo")
set(OUT "${WORK}/kpt_build.h")

function(git)
  execute_process(COMMAND git -c user.email=test@localhost -c user.name=test ${ARGN}
                  WORKING_DIRECTORY "${WORK}/repo" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "git ${ARGN} failed")
  endif()
  set(GIT_OUT "${out}" PARENT_SCOPE)
endfunction()

function(stamp)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSRC=${WORK}/repo -DOUT=${OUT} -DTEMPLATE=${TEMPLATE}
                  -DKPT_LIB_VERSION=9.8.7 -P ${SCRIPT} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the build string script failed")
  endif()
  file(STRINGS "${OUT}" line REGEX "KPT_LIB_BUILD_STR")
  set(BUILD_LINE "${line}" PARENT_SCOPE)
endfunction()

git(init -q)
git(commit -q --allow-empty -m one)
git(rev-parse --short=9 HEAD)
set(rev1 "${GIT_OUT}")
stamp()
if(NOT BUILD_LINE MATCHES "^#define KPT_LIB_BUILD_STR \"kpt-9\\.8\\.7_${rev1} [0-9][0-9]/[0-9][0-9]/[0-9][0-9]_[0-9][0-9]:[0-9][0-9] ${rev1}\"$")
  message(FATAL_ERROR "first stamp: ${BUILD_LINE}")
endif()

# Same revision: the header is left as it is (an old stamp stays).
file(READ "${OUT}" text)
string(REGEX REPLACE "_${rev1} [^ ]+ " "_${rev1} 01/01/70_00:00 " text "${text}")
file(WRITE "${OUT}" "${text}")
stamp()
if(NOT BUILD_LINE STREQUAL "#define KPT_LIB_BUILD_STR \"kpt-9.8.7_${rev1} 01/01/70_00:00 ${rev1}\"")
  message(FATAL_ERROR "rewritten without a new revision: ${BUILD_LINE}")
endif()

# A new commit: new revision, new stamp.
git(commit -q --allow-empty -m two)
git(rev-parse --short=9 HEAD)
set(rev2 "${GIT_OUT}")
stamp()
if(NOT BUILD_LINE MATCHES "kpt-9\\.8\\.7_${rev2} " OR BUILD_LINE MATCHES "01/01/70" OR
   NOT BUILD_LINE MATCHES " ${rev2}\"$")
  message(FATAL_ERROR "after a commit: ${BUILD_LINE}")
endif()
file(REMOVE_RECURSE "${WORK}")
