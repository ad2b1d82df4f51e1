# Removes the files that the last `cmake --install` recorded in its manifest,
# then the product's own folders that are left empty. Folders shared with
# other software (bin, man8, the unit folder) are never removed.
#
#   cmake -DLOCKSTEP_MANIFEST=<build>/install_manifest.txt -P uninstall.cmake
#
# The manifest records paths without DESTDIR: give the install's DESTDIR
# again, as `DESTDIR=... make uninstall`.
if(NOT DEFINED LOCKSTEP_MANIFEST OR NOT EXISTS "${LOCKSTEP_MANIFEST}")
  message(STATUS "Nothing to uninstall: no install manifest at ${LOCKSTEP_MANIFEST}")
  return()
endif()

file(STRINGS "${LOCKSTEP_MANIFEST}" installed)
set(folders)
foreach(recorded IN LISTS installed)
  if(recorded STREQUAL "")
    continue()
  endif()
  set(path "$ENV{DESTDIR}${recorded}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
      message(FATAL_ERROR "Could not remove ${path}")
    endif()
  else()
    message(STATUS "Already gone: ${path}")
  endif()
  # The product's own documentation folders, deepest first.
  get_filename_component(parent "${path}" DIRECTORY)
  while(parent MATCHES "/share/doc/lockstep(/|$)")
    list(APPEND folders "${parent}")
    get_filename_component(parent "${parent}" DIRECTORY)
  endwhile()
endforeach()

list(REMOVE_DUPLICATES folders)
list(SORT folders ORDER DESCENDING)
foreach(folder IN LISTS folders)
  file(GLOB left "${folder}/*")
  if(IS_DIRECTORY "${folder}" AND NOT left)
    message(STATUS "Removing ${folder}")
    file(REMOVE_RECURSE "${folder}")
  endif()
endforeach()
file(REMOVE "${LOCKSTEP_MANIFEST}")
