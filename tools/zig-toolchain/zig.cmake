# Shared part of the zig toolchain files: zig's clang, its libc++ linked
# statically and its own copy of an old glibc's symbols, so the module runs on
# any Linux with glibc 2.17 or later and needs no libstdc++ of the system.
# The including file sets KORVANE_ZIG_TARGET (e.g. aarch64-linux-gnu.2.17)
# and CMAKE_SYSTEM_PROCESSOR.
#
# The zig binary: the ZIG environment variable (tools/dist.sh points it at
# the one of PyPI's ziglang package), else `zig` on PATH.
set(CMAKE_SYSTEM_NAME Linux)
if(DEFINED ENV{ZIG})
  set(KORVANE_ZIG "$ENV{ZIG}")
else()
  find_program(KORVANE_ZIG zig REQUIRED)
endif()

# The compiler is zig with its subcommand and target as fixed arguments.
set(CMAKE_C_COMPILER "${KORVANE_ZIG}" cc -target ${KORVANE_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${KORVANE_ZIG}" c++ -target ${KORVANE_ZIG_TARGET})

# ar and ranlib are zig subcommands too, but CMake wants one program for each:
# small scripts beside the build, made once per configured tree (the
# try_compile trees of the checks included).
set(korvane_zig_bin "${CMAKE_BINARY_DIR}/zig-bin")
foreach(tool ar ranlib)
  file(WRITE "${korvane_zig_bin}/zig-${tool}.tmp" "#!/bin/sh\nexec \"${KORVANE_ZIG}\" ${tool} \"$@\"\n")
  file(COPY_FILE "${korvane_zig_bin}/zig-${tool}.tmp" "${korvane_zig_bin}/zig-${tool}" ONLY_IF_DIFFERENT)
  file(CHMOD "${korvane_zig_bin}/zig-${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR "${korvane_zig_bin}/zig-ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${korvane_zig_bin}/zig-ranlib" CACHE FILEPATH "zig ranlib")
set(CMAKE_CXX_COMPILER_AR "${korvane_zig_bin}/zig-ar" CACHE FILEPATH "zig ar (link-time optimisation)")
set(CMAKE_CXX_COMPILER_RANLIB "${korvane_zig_bin}/zig-ranlib" CACHE FILEPATH "zig ranlib (link-time optimisation)")

# Headers and libraries of the target come from zig and from the paths the
# build names (the Python headers); nothing is taken from the host's /usr.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
