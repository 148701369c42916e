# cmake -DIN=<file> -DOUT=<file.gz> -P Gzip.cmake
# Compresses IN into OUT as Debian wants its manual pages and changelogs:
# best compression, no name or time stamp in the header (the same bytes on
# every build).
execute_process(COMMAND gzip -9n -c "${IN}" OUTPUT_FILE "${OUT}.tmp" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUT}.tmp")
  message(FATAL_ERROR "gzip -9n ${IN} failed (${status})")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
