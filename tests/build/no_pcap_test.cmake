# A configure that cannot find libpcap stops, naming the package to install.
# Configures the source tree in a scratch directory with every library and
# header search pointed at an empty root, as on a machine without it:
#   cmake -DSOURCE=... -DWORK=<scratch dir> -DGENERATOR=... -DC_COMPILER=...
#         -DCXX_COMPILER=... -P no_pcap_test.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/empty_root")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/build" -G "${GENERATOR}"
          -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
          -DCMAKE_FIND_ROOT_PATH=${WORK}/empty_root
          -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
          -DKPT_TESTS=OFF -DKPT_BENCH=OFF
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "configured without libpcap:\n${out}")
endif()
# CMake may wrap the message: compare it with its white space folded.
string(REGEX REPLACE "[ \t\r\n]+" " " flat "${err}")
if(NOT flat MATCHES "libpcap and its headers were not found" OR NOT flat MATCHES "apt-get install libpcap-dev")
  message(FATAL_ERROR "the configure failed without naming libpcap-dev:\n${err}")
endif()
file(REMOVE_RECURSE "${WORK}")
