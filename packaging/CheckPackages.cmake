# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -DCPACK=<cpack> -P CheckPackages.cmake
# Builds the Debian packages into WORK and checks them: kestrune-collect
# holds the collector alone, and neither its Depends nor the program's NEEDED
# entries name a desktop library (Qt Gui or Widgets, X11, xcb, GL, the
# platform plugins, fontconfig, fonts); kestrune holds the window, its
# settings (a conffile), manual, desktop entry and icon, and depends on
# kestrune-collect, the platform plugins and the Japanese font.
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

# kestrune-collect
dpkg_deb(depends -f "${collect_deb}" Depends)
message(STATUS "kestrune-collect Depends: ${depends}")
foreach(lib libqt6core6 libqt6network6 libxml2 libcurl4)
  expect("${depends}" "${lib}" "kestrune-collect does not depend on ${lib}")
endforeach()
refuse("${depends}" "libqt6gui|libqt6widgets|libqt6opengl|libx11|libxcb|libgl[0-9x]|libgles|libegl|libopengl|qt6-qpa|libfontconfig|fonts-"
  "kestrune-collect depends on a desktop package")
dpkg_deb(contents -c "${collect_deb}")
string(REGEX MATCHALL "\n-[^\n]*" files "\n${contents}")
list(LENGTH files count)
expect("${files}" "\\./opt/kestrune/bin/kestrune-collect" "kestrune-collect lacks the program")
if(NOT count EQUAL 1)
  message(FATAL_ERROR "kestrune-collect holds more than the program:\n${contents}")
endif()
dpkg_deb(ignored -x "${collect_deb}" "${WORK}/collect")
execute_process(COMMAND readelf -d "${WORK}/collect/opt/kestrune/bin/kestrune-collect"
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
foreach(dep "kestrune-collect \\(= " qt6-qpa-plugins fonts-noto-cjk libqt6widgets6)
  expect("${depends}" "${dep}" "kestrune does not depend on ${dep}")
endforeach()
dpkg_deb(contents -c "${window_deb}")
foreach(f opt/kestrune/bin/Kestrune opt/kestrune/bin/Kestrune.ini opt/kestrune/bin/Kestrune.hlp
          usr/share/applications/kestrune.desktop usr/share/icons/hicolor/scalable/apps/kestrune.svg)
  expect("${contents}" " \\./${f}\n" "kestrune lacks /${f}")
endforeach()
refuse("${contents}" "kestrune-collect" "kestrune holds the collector, which is kestrune-collect's")
dpkg_deb(conffiles -I "${window_deb}" conffiles)
expect("${conffiles}" "^/opt/kestrune/bin/Kestrune.ini\n$" "kestrune's settings are not a conffile")
message(STATUS "packages in ${WORK} checked")
