# Lays out a pack's bundle skeleton: Contents/Info.plist, the executable in Contents/MacOS and the
# shared libraries it needs beyond glibc in Contents/Frameworks, where its RUNPATH
# ($ORIGIN/../Frameworks) finds them. Contents/Resources/quality is the packager's.
#
# lay_out_bundle(PACK EXECUTABLE VERSION FORMAT TEMPLATE)
function(lay_out_bundle pack executable version format template)
  set(contents "${pack}/Contents")
  file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Frameworks" "${contents}/Resources")

  set(VERSION "${version}")
  set(FORMAT "${format}")
  configure_file("${template}" "${contents}/Info.plist" @ONLY)
  file(COPY_FILE "${executable}" "${contents}/MacOS/quality-pack")

  # glibc is the one thing a pack takes from the system; everything else it links, it carries.
  file(GET_RUNTIME_DEPENDENCIES
       EXECUTABLES "${executable}"
       RESOLVED_DEPENDENCIES_VAR carried
       UNRESOLVED_DEPENDENCIES_VAR missing
       PRE_EXCLUDE_REGEXES
         "^ld-linux" "^linux-vdso" "^lib(c|m|dl|pthread|rt|util|resolv|anl|mvec)\\.so")
  if(missing)
    message(FATAL_ERROR "lay_out_bundle: cannot find ${missing}")
  endif()
  foreach(library IN LISTS carried)
    # Under the name the executable asks for, as the file itself rather than a link to it.
    get_filename_component(name "${library}" NAME)
    file(COPY_FILE "${library}" "${contents}/Frameworks/${name}")
  endforeach()
endfunction()
