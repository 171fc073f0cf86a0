# Lays out a pack's bundle skeleton: Contents/Info.plist, the executable in Contents/MacOS, the
# shared libraries it needs beyond glibc in Contents/Frameworks, where its RUNPATH
# ($ORIGIN/../Frameworks) finds them, and in Contents/Resources/Licenses the notices of what is
# linked into it. Contents/Resources/quality is the packager's.
#
# lay_out_bundle(PACK EXECUTABLE VERSION FORMAT TEMPLATE [STRIP])
# With STRIP (the strip tool's path), the executable is carried without symbols or debugging
# information: a pack's user has no use for them. A BUNDLE_VERSION set by the caller is the
# Info.plist's CFBundleVersion; without one, the version text is.

# Stops with a message unless `format` is a pack format number: an integer the Info.plist can hold.
function(check_pack_format format)
  if(NOT format MATCHES "^-?[0-9]+$" OR format MATCHES "[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]")
    message(FATAL_ERROR
            "QP_PACK_FORMAT must be an integer such as 1, not '${format}': it becomes the "
            "Info.plist's <integer> RuvizuvePackFormat")
  endif()
endfunction()

# `text` as XML character data: any version text comes back out of the Info.plist as it went in.
function(xml_escape text out)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  string(REPLACE "'" "&apos;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes CONTENTS/Info.plist from the template: the version text as CFBundleShortVersionString
# and, unless the caller's BUNDLE_VERSION names a build number of its own, as CFBundleVersion too;
# the format as RuvizuvePackFormat.
function(configure_info_plist template contents version format)
  if(DEFINED BUNDLE_VERSION AND NOT BUNDLE_VERSION STREQUAL "")
    set(bundle_version "${BUNDLE_VERSION}")
  else()
    set(bundle_version "${version}")
  endif()
  xml_escape("${version}" VERSION)
  xml_escape("${bundle_version}" BUNDLE_VERSION)
  set(FORMAT "${format}")
  configure_file("${template}" "${contents}/Info.plist" @ONLY)
endfunction()

function(lay_out_bundle pack executable version format template)
  check_pack_format("${format}")
  set(contents "${pack}/Contents")
  file(MAKE_DIRECTORY "${contents}/MacOS" "${contents}/Frameworks" "${contents}/Resources")
  # expat's licence asks for its notice wherever a copy of it goes.
  file(COPY "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/licenses/expat.txt"
       DESTINATION "${contents}/Resources/Licenses")

  configure_info_plist("${template}" "${contents}" "${version}" "${format}")
  file(COPY_FILE "${executable}" "${contents}/MacOS/quality-pack")
  if(ARGC GREATER 5 AND ARGV5)
    execute_process(COMMAND "${ARGV5}" --strip-all "${contents}/MacOS/quality-pack"
                    RESULT_VARIABLE stripped)
    if(NOT stripped EQUAL 0)
      message(FATAL_ERROR "lay_out_bundle: ${ARGV5} failed on the executable")
    endif()
  endif()

  # glibc is the one thing a pack takes from the system; everything else it links, it carries.
  # The build machine's objdump reads only its own processor's files, LLVM's every one's.
  find_program(llvm_objdump NAMES llvm-objdump-14 llvm-objdump)
  if(llvm_objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${llvm_objdump}")
  endif()
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
