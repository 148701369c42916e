# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P CheckInstallLayout.cmake
# Installs the build as `cmake --install` does, and checks the layout:
# - below a prefix of its own (as /usr/local): the programs in bin/ (the
#   window as "kestrune"), the settings in etc/kestrune, the manual, manual
#   pages, documents, completion and units in share/ and lib/, the desktop
#   entry and units naming this prefix's programs and settings; a second
#   install, stripping, keeps an edited Kestrune.ini and strips the programs
#   as Debian's tools do; the installed programs start;
# - for the prefix /usr (below DESTDIR): the settings in /etc/kestrune and
#   the units in /lib/systemd/system, as the package has them.
unset(ENV{DESTDIR})
file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/local")

macro(install_build)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install ${ARGN} failed:\n${out}")
  endif()
endmacro()
function(expect text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}:\n${text}")
  endif()
endfunction()
function(expect_files root)
  foreach(f IN LISTS ARGN)
    if(NOT EXISTS "${root}/${f}" OR IS_DIRECTORY "${root}/${f}")
      message(FATAL_ERROR "the install has no ${root}/${f}")
    endif()
  endforeach()
endfunction()

install_build(--prefix "${prefix}")
expect_files("${prefix}"
  bin/kestrune bin/kestrune-collect etc/kestrune/Kestrune.ini share/kestrune/Kestrune.hlp
  share/applications/kestrune.desktop share/icons/hicolor/scalable/apps/kestrune.svg
  share/man/man1/kestrune.1.gz share/man/man1/kestrune-collect.1.gz
  share/doc/kestrune/copyright share/doc/kestrune/changelog.Debian.gz
  share/doc/kestrune-collect/copyright share/doc/kestrune-collect/changelog.Debian.gz
  share/doc/kestrune-collect/examples/web01.conf
  share/bash-completion/completions/kestrune-collect
  lib/systemd/system/kestrune-collect@.service lib/systemd/system/kestrune-collect@.timer)
file(GLOB programs RELATIVE "${prefix}/bin" "${prefix}/bin/*")
list(SORT programs)
if(NOT programs STREQUAL "kestrune;kestrune-collect")
  message(FATAL_ERROR "bin/ holds ${programs}, not the two programs alone")
endif()

file(STRINGS "${prefix}/share/applications/kestrune.desktop" exec REGEX "^(Try)?Exec=")
if(NOT exec STREQUAL "Exec=${prefix}/bin/kestrune;TryExec=${prefix}/bin/kestrune")
  message(FATAL_ERROR "the desktop entry starts '${exec}', not ${prefix}/bin/kestrune")
endif()
file(READ "${prefix}/lib/systemd/system/kestrune-collect@.service" service)
expect("${service}" "\nExecStart=${prefix}/bin/kestrune-collect \\$OPTIONS \\\${URL} \\\${FOLDER}\n"
  "the service does not start this prefix's kestrune-collect")
expect("${service}" "\nEnvironmentFile=${prefix}/etc/kestrune/collect/%i.conf\n"
  "the service does not read its instance's settings from this prefix's etc/kestrune/collect")
if(service MATCHES "@[A-Z]+@")
  message(FATAL_ERROR "the installed service has an unreplaced ${CMAKE_MATCH_0}")
endif()
file(READ "${prefix}/share/doc/kestrune-collect/examples/web01.conf" example)
expect("${example}" "${prefix}/etc/kestrune/collect/web01.conf"
  "the example settings do not name where they go")
# The example is the settings systemd reads: every line a comment, empty,
# or VARIABLE=value.
string(REGEX REPLACE "(^|\n)(#[^\n]*|[A-Z_]+=[^\n]*)" "\\1" rest "${example}")
if(rest MATCHES "[^\n]+")
  message(FATAL_ERROR "web01.conf has a line systemd cannot read: '${CMAKE_MATCH_0}'")
endif()
expect("${example}" "\nURL=http" "web01.conf sets no URL")

# A second install, stripping: the edited settings stay.
file(WRITE "${prefix}/etc/kestrune/Kestrune.ini" "[Kestrune]\nTimeout=45\nProxyAddress=\nProxyPort=\n")
install_build(--prefix "${prefix}" --strip)
file(READ "${prefix}/etc/kestrune/Kestrune.ini" ini)
if(NOT ini MATCHES "Timeout=45")
  message(FATAL_ERROR "a second install replaced the edited Kestrune.ini:\n${ini}")
endif()
foreach(program kestrune kestrune-collect)
  execute_process(COMMAND readelf -S -W "${prefix}/bin/${program}"
    RESULT_VARIABLE status OUTPUT_VARIABLE sections ERROR_VARIABLE sections)
  expect("${status}" "^0$" "readelf -S ${program}: ${sections}")
  if(sections MATCHES " \\.(symtab|comment|debug_info) ")
    message(FATAL_ERROR "--strip left .${CMAKE_MATCH_1} in bin/${program}")
  endif()
endforeach()

execute_process(COMMAND "${prefix}/bin/kestrune-collect" --version WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out MATCHES "^kestrune-collect [0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed kestrune-collect --version: status ${status}\n${out}")
endif()
# The window runs until it is closed: still running after 3 s (timeout's
# status 124) means it found its libraries and platform plugin and did not
# crash at start-up.
execute_process(COMMAND timeout 3 "${prefix}/bin/kestrune" WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 124)
  message(FATAL_ERROR "installed kestrune ended with status ${status} within 3 s:\n${out}")
endif()

# The prefix /usr: settings and units where the system keeps them.
set(root "${WORK}/root")
set(ENV{DESTDIR} "${root}")
install_build(--prefix /usr)
unset(ENV{DESTDIR})
expect_files("${root}" usr/bin/kestrune usr/bin/kestrune-collect etc/kestrune/Kestrune.ini
  usr/share/kestrune/Kestrune.hlp lib/systemd/system/kestrune-collect@.service
  lib/systemd/system/kestrune-collect@.timer usr/share/man/man1/kestrune-collect.1.gz)
foreach(stray usr/etc lib/systemd/system/kestrune-collect@.service.in)
  if(EXISTS "${root}/${stray}")
    message(FATAL_ERROR "the install for /usr made ${stray}")
  endif()
endforeach()
file(STRINGS "${root}/usr/share/applications/kestrune.desktop" exec REGEX "^Exec=")
expect("${exec}" "^Exec=kestrune$" "the desktop entry of /usr does not start kestrune from the PATH")
file(READ "${root}/lib/systemd/system/kestrune-collect@.service" service)
expect("${service}" "\nExecStart=/usr/bin/kestrune-collect " "the service of /usr does not start /usr/bin/kestrune-collect")
expect("${service}" "\nEnvironmentFile=/etc/kestrune/collect/%i.conf\n"
  "the service of /usr does not read /etc/kestrune/collect")
message(STATUS "installed layouts in ${WORK} work")
