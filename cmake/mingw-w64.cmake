# Cross-compiling for Windows with Debian's mingw-w64 packages. Included by
# the toolchain file of each target, which sets MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first.

set(CMAKE_SYSTEM_NAME Windows)

# Prefer the win32-threads compilers: they need no winpthread runtime, so a
# static build has no extra DLL and no pthread code. Fall back to the default
# alternative, which on Debian is the win32 one unless changed.
find_program(MINGW_GCC NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(MINGW_GXX NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(MINGW_WINDRES NAMES ${MINGW_TRIPLET}-windres REQUIRED)
find_program(MINGW_OBJDUMP NAMES ${MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_C_COMPILER   ${MINGW_GCC})
set(CMAKE_CXX_COMPILER ${MINGW_GXX})
set(CMAKE_RC_COMPILER  ${MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
# Programs run on the build machine; libraries and headers come from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
