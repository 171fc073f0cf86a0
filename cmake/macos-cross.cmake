# Cross-compiles for macOS 11.0 or newer with zig's clang, which carries macOS's C headers, a link
# stub for libSystem and a libc++ it links statically. QP_MACOS_ARCH is x86_64 or arm64.
#
#   cmake -S . -B build-macos/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake \
#         -DQP_MACOS_ARCH=arm64 -DQP_JSON_INCLUDE_DIR=...
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # Darwin 20 is macOS 11
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QP_MACOS_ARCH)

if(QP_MACOS_ARCH STREQUAL "arm64")
  set(zig_target aarch64-macos.11.0)
elseif(QP_MACOS_ARCH STREQUAL "x86_64")
  set(zig_target x86_64-macos.11.0)
else()
  message(FATAL_ERROR "macos-cross: QP_MACOS_ARCH is x86_64 or arm64, not '${QP_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QP_MACOS_ARCH})
# CMake passes the target to every compile and link as --target=. Named so, it also makes CMake's
# first look at the compiler stop at an object file; that look and its checks link nothing, since a
# link would have zig build its C++ runtime and compiler-rt once more, in a second optimisation
# mode, for them alone.
set(CMAKE_C_COMPILER_TARGET ${zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${zig_target})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# zig takes the target, minimum system version included, as one word; CMake's own Apple flags
# (-arch, -mmacosx-version-min, -isysroot) are left unset for it.
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_AR /usr/bin/llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14 CACHE FILEPATH "")

# Nothing of the build machine's own libraries or headers belongs in a macOS build.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
