# Builds with the C++ compiler of zig (clang with libc++ linked statically)
# against an old glibc, so that the module loads on any Linux machine with
# glibc 2.17 or later, whatever compiler that machine has (or has none).
#
#   ORVEX_ZIG         the zig program (for zig from PyPI:
#                     python -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
#   ORVEX_ZIG_TARGET  zig's target triple; the build machine's architecture
#                     with glibc 2.17 by default (x86_64-linux-gnu.2.17)
#
# CMakeLists.txt uses this file when ORVEX_ZIG is set in the environment;
# a cross build also names the target's Python headers (Python_INCLUDE_DIR)
# and extension suffix (SETUPTOOLS_EXT_SUFFIX), see .ci/wheels.sh.
# CMake wants one program per tool, not "zig c++": small scripts stand in.
# Read again for each compiler check: the environment is the source, as
# cache entries do not reach those checks.
if(NOT DEFINED ENV{ORVEX_ZIG} OR "$ENV{ORVEX_ZIG}" STREQUAL "")
  message(FATAL_ERROR "ORVEX_ZIG names no zig program")
endif()
set(ORVEX_ZIG "$ENV{ORVEX_ZIG}")
if(DEFINED ENV{ORVEX_ZIG_TARGET} AND NOT "$ENV{ORVEX_ZIG_TARGET}" STREQUAL "")
  set(ORVEX_ZIG_TARGET "$ENV{ORVEX_ZIG_TARGET}")
else()
  set(ORVEX_ZIG_TARGET "${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu.2.17")
endif()
string(REGEX MATCH "^[^-]+" orvex_zig_arch "${ORVEX_ZIG_TARGET}")
if(NOT orvex_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${orvex_zig_arch})
endif()

set(orvex_zig_bin "${CMAKE_BINARY_DIR}/zig-bin")
foreach(tool c++ cc ar ranlib)
  set(orvex_zig_args "${tool}")
  if(tool STREQUAL "c++" OR tool STREQUAL "cc")
    string(APPEND orvex_zig_args " -target ${ORVEX_ZIG_TARGET}")
  endif()
  file(WRITE "${orvex_zig_bin}/new/${tool}" "#!/bin/sh\nexec '${ORVEX_ZIG}' ${orvex_zig_args} \"$@\"\n")
  file(COPY "${orvex_zig_bin}/new/${tool}" DESTINATION "${orvex_zig_bin}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${orvex_zig_bin}/c++")
set(CMAKE_C_COMPILER "${orvex_zig_bin}/cc")
set(CMAKE_AR "${orvex_zig_bin}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${orvex_zig_bin}/ranlib" CACHE FILEPATH "" FORCE)

# zig links its libc++ in with debug information, which took a wheel from
# 0.3 to 4 MB: a release build leaves the symbols and debug sections out.
foreach(kind SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE_INIT "-s")
endforeach()
