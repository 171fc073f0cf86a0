# Builds for Linux with zig's clang against glibc 2.17's symbol versions, so that what it makes
# runs on glibc 2.17 or newer (Debian 8, Ubuntu 14.04, RHEL 7 and everything since). zig carries
# the C library's headers and link stubs for that version, and a libc++ it links statically.
# QP_FLOOR_ARCH is x86_64 or aarch64; QP_FLOOR_PREFIX, where given, holds the libraries built
# for the same floor (lib/pkgconfig, include), and nothing of the build machine's is looked at.
#
#   cmake -S . -B build-floor -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-floor.cmake \
#         -DQP_FLOOR_ARCH=aarch64 -DQP_FLOOR_PREFIX=...
set(CMAKE_SYSTEM_NAME Linux)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QP_FLOOR_ARCH QP_FLOOR_PREFIX
     QP_FLOOR_LINK_CHECKS)

if(NOT QP_FLOOR_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "linux-floor: QP_FLOOR_ARCH is x86_64 or aarch64, not '${QP_FLOOR_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QP_FLOOR_ARCH})
set(zig_target ${QP_FLOOR_ARCH}-linux-gnu.2.17)
set(CMAKE_C_COMPILER_TARGET ${zig_target})
set(CMAKE_CXX_COMPILER_TARGET ${zig_target})
# CMake's look at the compiler and its checks compile without linking: a link there would have zig
# build its C++ runtime once more, in a second optimisation mode, for them alone. A build whose
# checks ask what the C library has (expat's) sets QP_FLOOR_LINK_CHECKS, and its checks link
# against the floor's stubs, which hold only what glibc 2.17 has.
if(NOT QP_FLOOR_LINK_CHECKS)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
endif()

# zig writes debugging information unless told not to; a Release build has none, as GCC's has not.
set(CMAKE_C_FLAGS_RELEASE_INIT "-g0")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-g0")

set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
# zig links its own C++ runtime (libc++, libunwind, compiler-rt) statically, whatever it is told.
set(QP_CXX_RUNTIME_LINKED_IN ON)
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_AR /usr/bin/llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14 CACHE FILEPATH "")
# The build machine's strip knows only its own processor.
set(CMAKE_STRIP /usr/bin/llvm-strip-14 CACHE FILEPATH "")

# Only the floor's own libraries are found, and through their pkg-config files alone.
set(CMAKE_FIND_ROOT_PATH "${QP_FLOOR_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${QP_FLOOR_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")
