# zig c++ for x86_64 Linux, glibc 2.17 and later (manylinux2014). See zig.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVANE_ZIG_TARGET x86_64-linux-gnu.2.17)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
