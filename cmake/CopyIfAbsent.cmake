# Copies each of FILES into DEST unless a file of that name is already there.
# With REPORT set (an install step), says which it did and lists the copy in
# the install manifest.
foreach(f IN LISTS FILES)
  get_filename_component(name "${f}" NAME)
  if(EXISTS "${f}" AND NOT EXISTS "${DEST}/${name}")
    file(COPY "${f}" DESTINATION "${DEST}")
    if(REPORT)
      message(STATUS "Installing: ${DEST}/${name}")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${DEST}/${name}")
    endif()
  elseif(REPORT)
    message(STATUS "Keeping: ${DEST}/${name} (already there)")
  endif()
endforeach()
