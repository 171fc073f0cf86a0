# Lays out a pack's bundle skeleton for macOS: Contents/Info.plist and the executable in
# Contents/MacOS. The executable needs nothing beyond the system, so there is no Frameworks
# folder; Contents/Resources/quality is the packager's. The executable is copied as it is, not
# stripped: stripping would break the code signature the linker wrote.
#
# lay_out_macos_bundle(PACK EXECUTABLE VERSION FORMAT TEMPLATE)
#
# Run as a script (cmake -DPACK=... -DEXECUTABLE=... -DVERSION_FILE=... -DFORMAT=...
# -DTEMPLATE=... [-DBUNDLE_VERSION_FILE=...] -P lay_out_macos_bundle.cmake), it lays out that one
# bundle afresh, with the version text read from VERSION_FILE as it was given, and the build
# number (CFBundleVersion) from BUNDLE_VERSION_FILE where that names one.
include("${CMAKE_CURRENT_LIST_DIR}/lay_out_bundle.cmake")  # check_pack_format, configure_info_plist

function(lay_out_macos_bundle pack executable version format template)
  check_pack_format("${format}")
  set(contents "${pack}/Contents")
  file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Resources")
  configure_info_plist("${template}" "${contents}" "${version}" "${format}")
  file(COPY_FILE "${executable}" "${contents}/MacOS/quality-pack")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(var PACK EXECUTABLE VERSION_FILE FORMAT TEMPLATE)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "lay_out_macos_bundle: ${var} is not set")
    endif()
  endforeach()
  file(READ "${VERSION_FILE}" version)
  if(DEFINED BUNDLE_VERSION_FILE)
    file(READ "${BUNDLE_VERSION_FILE}" BUNDLE_VERSION)
  endif()
  file(REMOVE_RECURSE "${PACK}")
  lay_out_macos_bundle("${PACK}" "${EXECUTABLE}" "${version}" "${FORMAT}" "${TEMPLATE}")
endif()
