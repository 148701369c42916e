# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -DCPACK=<cpack> -DVERSION=<x.y.z-r>
#       -P CheckPackages.cmake
# Builds the Debian packages into WORK and checks them:
# - kestrune-collect holds the collector, the settings (the one conffile),
#   its manual page, documents, completion and the systemd units, and its
#   maintainer scripts; its Depends have libcurl 7.85 and Qt 6.4 at least and
#   neither they nor the program's NEEDED entries name a desktop library;
# - kestrune holds the window, its manual, manual page, documents, desktop
#   entry and icon, and depends on kestrune-collect of the same version, the
#   platform plugins, Qt's translations and the Japanese font;
# - both have a machine-readable copyright, a changelog of this version and
#   manual pages gzipped as Debian wants, which describe every option
#   `kestrune-collect --help` names;
# - lintian finds no error in either.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${BUILD}/CPackConfig.cmake" -B "${WORK}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${out}")
endif()
file(GLOB collect_deb "${WORK}/kestrune-collect_*.deb")
file(GLOB window_deb "${WORK}/kestrune_*.deb")
list(LENGTH collect_deb n1)
list(LENGTH window_deb n2)
if(NOT n1 EQUAL 1 OR NOT n2 EQUAL 1)
  message(FATAL_ERROR "expected one kestrune-collect and one kestrune package:\n${out}")
endif()

function(dpkg_deb out)
  execute_process(COMMAND dpkg-deb ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb ${ARGN}: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(expect text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}:\n${text}")
  endif()
endfunction()
function(refuse text regex what)
  if(text MATCHES "${regex}")
    message(FATAL_ERROR "${what} (${CMAKE_MATCH_0}):\n${text}")
  endif()
endfunction()
# expect_minimum(depends package version): depends names package with a
# minimum version of at least version.
function(expect_minimum depends package version)
  if(NOT depends MATCHES "(^|, )${package} \\(>= ([^)]+)\\)(,|$)")
    message(FATAL_ERROR "Depends has no minimum version of ${package}: ${depends}")
  endif()
  if(CMAKE_MATCH_2 VERSION_LESS version)
    message(FATAL_ERROR "Depends allows ${package} ${CMAKE_MATCH_2}, older than ${version}: ${depends}")
  endif()
endfunction()
# expect_contents(deb file...): the package's regular files are exactly these.
function(expect_contents deb)
  dpkg_deb(contents -c "${deb}")
  string(REGEX MATCHALL "\n-[^\n]* \\./[^\n]*" lines "\n${contents}")
  set(files)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* \\./" "" file "${line}")
    list(APPEND files "${file}")
  endforeach()
  list(SORT files)
  set(wanted ${ARGN})
  list(SORT wanted)
  if(NOT files STREQUAL wanted)
    set(missing ${wanted})
    list(REMOVE_ITEM missing ${files})
    set(extra ${files})
    list(REMOVE_ITEM extra ${wanted})
    message(FATAL_ERROR "${deb}: missing ${missing}; not expected ${extra}:\n${contents}")
  endif()
endfunction()

# kestrune-collect
dpkg_deb(depends -f "${collect_deb}" Depends)
message(STATUS "kestrune-collect Depends: ${depends}")
expect_minimum("${depends}" libcurl4 7.85.0)
expect_minimum("${depends}" libqt6core6 6.4.0)
expect_minimum("${depends}" libqt6network6 6.4.0)
foreach(lib libxml2 adduser)
  expect("${depends}" "(^|, )${lib}( |,|$)" "kestrune-collect does not depend on ${lib}")
endforeach()
refuse("${depends}" "libqt6gui|libqt6widgets|libqt6opengl|libx11|libxcb|libgl[0-9x]|libgles|libegl|libopengl|qt6-qpa|libfontconfig|fonts-"
  "kestrune-collect depends on a desktop package")
string(REGEX MATCHALL "(^|, )[a-z0-9.+-]+" names "${depends}")
string(REGEX REPLACE "(^|;), " "\\1" names "${names}")
list(LENGTH names count)
list(REMOVE_DUPLICATES names)
list(LENGTH names unique)
if(NOT count EQUAL unique)
  message(FATAL_ERROR "kestrune-collect names a package twice in Depends: ${depends}")
endif()
expect_contents("${collect_deb}"
  usr/bin/kestrune-collect
  etc/kestrune/Kestrune.ini
  lib/systemd/system/kestrune-collect@.service
  lib/systemd/system/kestrune-collect@.timer
  usr/share/man/man1/kestrune-collect.1.gz
  usr/share/doc/kestrune-collect/copyright
  usr/share/doc/kestrune-collect/changelog.Debian.gz
  usr/share/doc/kestrune-collect/examples/web01.conf
  usr/share/bash-completion/completions/kestrune-collect
  usr/share/lintian/overrides/kestrune-collect)
dpkg_deb(conffiles -I "${collect_deb}" conffiles)
expect("${conffiles}" "^/etc/kestrune/Kestrune.ini\n$" "kestrune-collect's settings are not its one conffile")
file(REMOVE_RECURSE "${WORK}/collect-control")
dpkg_deb(ignored -e "${collect_deb}" "${WORK}/collect-control")
foreach(script postinst prerm postrm)
  set(path "${WORK}/collect-control/${script}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "kestrune-collect has no ${script}")
  endif()
  execute_process(COMMAND sh -n "${path}" RESULT_VARIABLE status ERROR_VARIABLE err)
  expect("${status}" "^0$" "kestrune-collect's ${script} is not a valid shell script: ${err}")
  file(READ "${path}" text)
  expect("${text}" "^#!/bin/sh\n" "kestrune-collect's ${script} does not start with #!/bin/sh")
  expect("${text}" "\nset -e\n" "kestrune-collect's ${script} does not stop at a failed command")
endforeach()
file(READ "${WORK}/collect-control/postinst" postinst)
expect("${postinst}" "adduser --system([^\n]|\\\\\n)* kestrune\n" "postinst creates no system user kestrune")
dpkg_deb(ignored -x "${collect_deb}" "${WORK}/collect")
file(READ "${WORK}/collect/lib/systemd/system/kestrune-collect@.service" service)
foreach(line "User=kestrune" "ExecStart=/usr/bin/kestrune-collect [^\n]*" "EnvironmentFile=/etc/kestrune/collect/%i.conf"
             "NoNewPrivileges=yes" "ProtectSystem=strict" "StateDirectory=kestrune/%i")
  expect("${service}" "\n${line}\n" "the packaged service lacks ${line}")
endforeach()
execute_process(COMMAND readelf -d "${WORK}/collect/usr/bin/kestrune-collect"
  OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
if(NOT status EQUAL 0 OR NOT needed)
  message(FATAL_ERROR "readelf -d on the packaged kestrune-collect failed")
endif()
refuse("${needed}" "Qt6Gui|Qt6Widgets|libX11|libxcb|libEGL|libGL|libOpenGL|libfontconfig"
  "the packaged kestrune-collect needs a desktop library")

# kestrune
dpkg_deb(depends -f "${window_deb}" Depends)
message(STATUS "kestrune Depends: ${depends}")
expect("${depends}" "(^|, )kestrune-collect \\(= ${VERSION}\\)" "kestrune does not depend on kestrune-collect ${VERSION}")
foreach(dep qt6-qpa-plugins qt6-translations-l10n fonts-noto-cjk)
  expect("${depends}" "(^|, )${dep}(,|$)" "kestrune does not depend on ${dep}")
endforeach()
expect_minimum("${depends}" libqt6widgets6 6.4.0)
expect_minimum("${depends}" libcurl4 7.85.0)
expect_contents("${window_deb}"
  usr/bin/kestrune
  usr/share/kestrune/Kestrune.hlp
  usr/share/man/man1/kestrune.1.gz
  usr/share/doc/kestrune/copyright
  usr/share/doc/kestrune/changelog.Debian.gz
  usr/share/applications/kestrune.desktop
  usr/share/icons/hicolor/scalable/apps/kestrune.svg
  usr/share/lintian/overrides/kestrune)
execute_process(COMMAND dpkg-deb -I "${window_deb}" conffiles RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(status EQUAL 0)
  message(FATAL_ERROR "kestrune has conffiles: the settings are kestrune-collect's")
endif()
dpkg_deb(ignored -x "${window_deb}" "${WORK}/window")
file(STRINGS "${WORK}/window/usr/share/applications/kestrune.desktop" exec REGEX "^Exec=")
expect("${exec}" "^Exec=kestrune$" "the packaged desktop entry does not start kestrune")

# Both: documents and manual pages.
# gunzip(file out): the text of a file gzipped as Debian wants it: no
# original name and no time stamp in the header.
function(gunzip file out)
  file(READ "${file}" header HEX LIMIT 8)
  # 1f8b08, flags (bit 3: a name follows), then the time stamp.
  if(NOT header MATCHES "^1f8b08")
    message(FATAL_ERROR "${file} is not gzipped")
  endif()
  string(SUBSTRING "${header}" 6 2 flags)
  string(SUBSTRING "${header}" 8 8 mtime)
  if(NOT flags STREQUAL "00" OR NOT mtime STREQUAL "00000000")
    message(FATAL_ERROR "${file} keeps a name or a time stamp (gzip -n): ${header}")
  endif()
  execute_process(COMMAND gzip -dc "${file}" RESULT_VARIABLE status OUTPUT_VARIABLE text)
  expect("${status}" "^0$" "gzip -dc ${file} failed")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
foreach(package collect:kestrune-collect window:kestrune)
  string(REPLACE ":" ";" package "${package}")
  list(GET package 0 dir)
  list(GET package 1 name)
  set(doc "${WORK}/${dir}/usr/share/doc/${name}")
  file(READ "${doc}/copyright" copyright)
  expect("${copyright}" "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "${name}'s copyright is not machine-readable")
  expect("${copyright}" "\nFiles: \\*\nCopyright: [0-9]+ Kestrune developers\nLicense: Expat\n"
    "${name}'s copyright does not cover every file")
  gunzip("${doc}/changelog.Debian.gz" changelog)
  expect("${changelog}" "^kestrune \\(${VERSION}\\) " "${name}'s changelog does not start with ${VERSION}")
  gunzip("${WORK}/${dir}/usr/share/man/man1/${name}.1.gz" page)
  foreach(section NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO")
    expect("${page}" "\n\\.SH \"?${section}\"?\n" "${name}(1) has no section ${section}")
  endforeach()
  # The check lintian makes of a manual page.
  find_program(MAN man)
  if(MAN)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
                            "${MAN}" --warnings -E UTF-8 -l -Tutf8 -Z
                            "${WORK}/${dir}/usr/share/man/man1/${name}.1.gz"
      RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE warnings)
    if(NOT status EQUAL 0 OR warnings)
      message(FATAL_ERROR "man finds faults in ${name}(1) (${status}):\n${warnings}")
    endif()
  endif()
  if(name STREQUAL "kestrune-collect")
    set(collect_page "${page}")
  endif()
endforeach()
# Every option the collector's --help names is in its manual page and its
# completion.
execute_process(COMMAND "${WORK}/collect/usr/bin/kestrune-collect" --help
  RESULT_VARIABLE status OUTPUT_VARIABLE help ERROR_VARIABLE help)
expect("${status}" "^0$" "kestrune-collect --help failed: ${help}")
file(READ "${WORK}/collect/usr/share/bash-completion/completions/kestrune-collect" completion)
string(REGEX MATCHALL "(^|[ \n])--?[a-zA-Z][a-z-]*" options "${help}")
string(REGEX REPLACE "(^|;)[ \n]" "\\1" options "${options}")
list(REMOVE_DUPLICATES options)
list(LENGTH options count)
if(count LESS 10)
  message(FATAL_ERROR "kestrune-collect --help names only ${options}")
endif()
string(REGEX REPLACE ".*\n\\.SH OPTIONS\n" "" described "${collect_page}")
string(REGEX REPLACE "\n\\.SH .*" "" described "${described}")
foreach(option IN LISTS options)
  string(REPLACE "-" "\\\\-" escaped "${option}")
  expect("${described}" "[ \"\n]${escaped}[ \"\n]" "kestrune-collect(1) does not describe ${option}")
  expect("${completion}" "[' ]${option}[ '\n]" "the completion does not offer ${option}")
endforeach()

# lintian: no errors.  Its warnings and notes are listed.
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND "${LINTIAN}" --no-cfg --display-info --fail-on error
                          "${collect_deb}" "${window_deb}"
    RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  message(STATUS "lintian:\n${report}")
  string(REGEX MATCHALL "(^|\n)E: [^\n]*" errors "${report}")
  if(errors OR NOT status EQUAL 0)
    message(FATAL_ERROR "lintian finds errors in the packages (${status}):${errors}")
  endif()
elseif(DEFINED ENV{CI} AND NOT "$ENV{CI}" MATCHES "^(0|false|FALSE|False)?$")
  message(FATAL_ERROR "lintian is not installed (scripts/setup.sh installs it)")
else()
  message(STATUS "lintian is not installed: the packages are not checked by it")
endif()
message(STATUS "packages in ${WORK} checked")
