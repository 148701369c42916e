# cmake -DPROGRAM=<path> -P CheckNoWindowLibraries.cmake
# Fails when the program needs a window library: Qt Gui or Widgets, X11,
# xcb, EGL/GL or fontconfig.  A cron host must not need a desktop stack.
execute_process(COMMAND ldd "${PROGRAM}" OUTPUT_VARIABLE needed RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ldd ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "[^\n\t ]*(Qt6Gui|Qt6Widgets|libX11|libxcb|libEGL|libGL|libOpenGL|libfontconfig)[^\n\t ]*" found "${needed}")
if(found)
  message(FATAL_ERROR "${PROGRAM} needs window libraries: ${found}")
endif()
string(REGEX MATCHALL "\n" lines "${needed}")
list(LENGTH lines count)
message(STATUS "${PROGRAM}: ${count} libraries, none of them a window library")
