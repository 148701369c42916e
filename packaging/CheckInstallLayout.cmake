# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P CheckInstallLayout.cmake
# Installs the build into WORK/opt/kestrune twice and checks the folder: both
# programs with the settings and the manual beside them, an edited
# Kestrune.ini kept by the second install, the desktop entry pointing at this
# folder; then the installed kestrune-collect answers --version and the
# installed Kestrune starts and keeps running.
unset(ENV{DESTDIR})
file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/opt/kestrune")

macro(install_build)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${prefix}"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed:\n${out}")
  endif()
endmacro()

install_build()
foreach(f bin/Kestrune bin/kestrune-collect bin/Kestrune.ini bin/Kestrune.hlp
          share/applications/kestrune.desktop share/icons/hicolor/scalable/apps/kestrune.svg)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "the install has no ${f}")
  endif()
endforeach()
file(STRINGS "${prefix}/share/applications/kestrune.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=${prefix}/bin/Kestrune")
  message(FATAL_ERROR "the desktop entry starts '${exec}', not ${prefix}/bin/Kestrune")
endif()

file(WRITE "${prefix}/bin/Kestrune.ini" "[Kestrune]\nTimeout=45\nProxyAddress=\nProxyPort=\n")
install_build()
file(READ "${prefix}/bin/Kestrune.ini" ini)
if(NOT ini MATCHES "Timeout=45")
  message(FATAL_ERROR "a second install replaced the edited Kestrune.ini:\n${ini}")
endif()

execute_process(COMMAND "${prefix}/bin/kestrune-collect" --version WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed kestrune-collect --version: status ${status}\n${out}")
endif()
# The window runs until it is closed: still running after 3 s (timeout's
# status 124) means it found its libraries and platform plugin and did not
# crash at start-up.
execute_process(COMMAND timeout 3 "${prefix}/bin/Kestrune" WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 124)
  message(FATAL_ERROR "installed Kestrune ended with status ${status} within 3 s:\n${out}")
endif()
message(STATUS "installed folder ${prefix} works")
