# 64-bit x86-64 Windows (PE32+), with g++-mingw-w64-x86-64 and
# binutils-mingw-w64-x86-64.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake ...

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
