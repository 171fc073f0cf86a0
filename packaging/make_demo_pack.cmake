# Lays out a demo pack: the executable, its Info.plist, an interpreter link and a small hub cache
# in the layout the model's files have in a real one (refs/main naming a snapshot whose files
# are links into blobs/).
foreach(var PACK EXECUTABLE VERSION INTERPRETER TEMPLATE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_demo_pack: ${var} is not set")
  endif()
endforeach()

set(contents "${PACK}/Contents")
set(quality "${contents}/Resources/quality")
set(model "${quality}/hf-cache/hub/models--facebook--audiobox-aesthetics")
set(revision "0123456789abcdef0123456789abcdef01234567")

file(REMOVE_RECURSE "${PACK}")
file(MAKE_DIRECTORY "${contents}/MacOS" "${quality}/python/bin" "${model}/refs" "${model}/blobs"
     "${model}/snapshots/${revision}")

configure_file("${TEMPLATE}" "${contents}/Info.plist" @ONLY)
file(COPY_FILE "${EXECUTABLE}" "${contents}/MacOS/quality-pack")
file(CREATE_LINK "${INTERPRETER}" "${quality}/python/bin/python3" SYMBOLIC)

file(WRITE "${model}/refs/main" "${revision}")
file(WRITE "${model}/blobs/config-blob" "{\"model_type\": \"demo\"}\n")
file(WRITE "${model}/blobs/weights-blob" "demo weights\n")
file(CREATE_LINK "../../blobs/config-blob" "${model}/snapshots/${revision}/config.json" SYMBOLIC)
file(CREATE_LINK "../../blobs/weights-blob" "${model}/snapshots/${revision}/model.safetensors"
     SYMBOLIC)
