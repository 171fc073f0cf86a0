# Lays out a pack's bundle skeleton for macOS: Contents/Info.plist and the executable in
# Contents/MacOS. The executable needs nothing beyond the system, so there is no Frameworks
# folder; Contents/Resources/quality is the packager's.
#
# lay_out_macos_bundle(PACK EXECUTABLE VERSION FORMAT TEMPLATE)
#
# Run as a script (cmake -DPACK=... -DEXECUTABLE=... -DVERSION=... -DFORMAT=... -DTEMPLATE=...
# -P lay_out_macos_bundle.cmake), it lays out that one bundle afresh.
function(lay_out_macos_bundle pack executable version format template)
  set(contents "${pack}/Contents")
  file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Resources")
  set(VERSION "${version}")
  set(FORMAT "${format}")
  configure_file("${template}" "${contents}/Info.plist" @ONLY)
  # Copied as it is: the ad-hoc signature the linker wrote stays valid.
  file(COPY_FILE "${executable}" "${contents}/MacOS/quality-pack")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(var PACK EXECUTABLE VERSION FORMAT TEMPLATE)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "lay_out_macos_bundle: ${var} is not set")
    endif()
  endforeach()
  file(REMOVE_RECURSE "${PACK}")
  lay_out_macos_bundle("${PACK}" "${EXECUTABLE}" "${VERSION}" "${FORMAT}" "${TEMPLATE}")
endif()
