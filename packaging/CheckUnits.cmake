# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P CheckUnits.cmake
# Installs the collector for the prefix /usr into a scratch root, as the
# package has it, and lets `systemd-analyze verify` check the timer and the
# service of an instance there: no fault and no ignored setting.  Skipped
# where systemd-analyze is missing, except under CI.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(NOT SYSTEMD_ANALYZE OR NOT IS_DIRECTORY /lib/systemd/system)
  if(DEFINED ENV{CI} AND NOT "$ENV{CI}" MATCHES "^(0|false|FALSE|False)?$")
    message(FATAL_ERROR "systemd-analyze is not installed (package systemd)")
  endif()
  message(STATUS "skipped: systemd-analyze is not installed")
  return()
endif()

file(REMOVE_RECURSE "${WORK}")
set(root "${WORK}/root")
set(ENV{DESTDIR} "${root}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix /usr --component collect
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
unset(ENV{DESTDIR})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
# The units ours need (sysinit.target, timers.target, network-online.target,
# …) come from this system, without replacing ours.
execute_process(COMMAND cp -an /lib/systemd/system/. "${root}/lib/systemd/system/"
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "copying the system's units failed: ${err}")
endif()

execute_process(COMMAND "${SYSTEMD_ANALYZE}" verify --man=no "--root=${root}"
                        kestrune-collect@web01.service kestrune-collect@web01.timer
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
# A setting systemd cannot read is only a message ("…, ignoring"): any
# output is a fault.
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify (status ${status}):\n${out}")
endif()
execute_process(COMMAND "${SYSTEMD_ANALYZE}" security --offline=true "--root=${root}"
                        kestrune-collect@web01.service
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX MATCH "Overall exposure level[^\n]*" exposure "${out}")
message(STATUS "${exposure}")
message(STATUS "the units of kestrune-collect@web01 verify")
