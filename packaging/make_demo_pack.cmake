# Lays out a demo pack: the bundle skeleton, an interpreter link and a small hub cache in the
# layout the model's files have in a real one (refs/main naming a snapshot whose files are links
# into blobs/).
# The version comes as VERSION, or read from VERSION_FILE whatever characters it holds; the build
# number (CFBundleVersion), where there is one of its own, from BUNDLE_VERSION_FILE.
if(DEFINED VERSION_FILE)
  file(READ "${VERSION_FILE}" VERSION)
endif()
if(DEFINED BUNDLE_VERSION_FILE)
  file(READ "${BUNDLE_VERSION_FILE}" BUNDLE_VERSION)
endif()
foreach(var PACK EXECUTABLE VERSION FORMAT INTERPRETER TEMPLATE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_demo_pack: ${var} is not set")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/lay_out_bundle.cmake")

set(quality "${PACK}/Contents/Resources/quality")
set(model "${quality}/hf-cache/hub/models--facebook--audiobox-aesthetics")
set(revision "0123456789abcdef0123456789abcdef01234567")

file(REMOVE_RECURSE "${PACK}")
lay_out_bundle("${PACK}" "${EXECUTABLE}" "${VERSION}" "${FORMAT}" "${TEMPLATE}")
file(MAKE_DIRECTORY "${quality}/python/bin" "${model}/refs" "${model}/blobs"
     "${model}/snapshots/${revision}")
file(CREATE_LINK "${INTERPRETER}" "${quality}/python/bin/python3" SYMBOLIC)

file(WRITE "${model}/refs/main" "${revision}")
file(WRITE "${model}/blobs/config-blob" "{\"model_type\": \"demo\"}\n")
file(WRITE "${model}/blobs/weights-blob" "demo weights\n")
file(CREATE_LINK "../../blobs/config-blob" "${model}/snapshots/${revision}/config.json" SYMBOLIC)
file(CREATE_LINK "../../blobs/weights-blob" "${model}/snapshots/${revision}/model.safetensors"
     SYMBOLIC)
