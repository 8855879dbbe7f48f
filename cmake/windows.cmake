# The Windows launcher: a GUI executable for 32-bit x86 (PE32) or 64-bit
# x86-64 (PE32+), cross-built with mingw-w64; the toolchain file picks which.

enable_language(RC)

# liblzma, cross-compiled once from Debian's xz-utils source package and kept
# in the build directory; a changed build script builds it afresh. Two
# variants: the launcher's, the decoders of both package formats alone, and the full one
# mirelk-pack.exe encodes with.
file(SHA256 ${PROJECT_SOURCE_DIR}/scripts/build-liblzma-win32 liblzma_script_hash)
string(SUBSTRING ${liblzma_script_hash} 0 12 liblzma_script_hash)
set(MIRELK_LIBLZMA_CACHE ${PROJECT_BINARY_DIR}/_deps/liblzma-${liblzma_script_hash})
foreach(variant decoder full)
  set(install ${MIRELK_LIBLZMA_CACHE}/install)
  set(target mirelk_liblzma)
  if(variant STREQUAL "full")
    set(install ${MIRELK_LIBLZMA_CACHE}/install-full)
    set(target mirelk_liblzma_full)
  endif()
  if(NOT EXISTS ${install}/lib/liblzma.a)
    message(STATUS "Building liblzma (${variant}) for Windows (once) in ${MIRELK_LIBLZMA_CACHE}")
    execute_process(
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-liblzma-win32 ${MIRELK_LIBLZMA_CACHE} ${MINGW_TRIPLET} ${variant}
      RESULT_VARIABLE liblzma_result)
    if(NOT liblzma_result EQUAL 0)
      message(FATAL_ERROR "scripts/build-liblzma-win32 failed; see its messages above")
    endif()
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${install}/lib/liblzma.a
    INTERFACE_INCLUDE_DIRECTORIES ${install}/include
    INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
endforeach()

# Host tools (mirelk-pack) for packing at build time: the same project, built
# for the build machine.
include(ExternalProject)
set(MIRELK_HOST_DIR ${PROJECT_BINARY_DIR}/host)
set(MIRELK_HOST_PACK ${MIRELK_HOST_DIR}/mirelk-pack)
ExternalProject_Add(host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${MIRELK_HOST_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DMIRELK_BUILD_TESTS=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target mirelk-pack
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${MIRELK_HOST_PACK}
  INSTALL_COMMAND "")

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Small and self-contained: it must start on a bare Windows. mingw keeps frame
# pointers even at -Os, and stamps every object with the compiler's name.
set(MIRELK_WIN32_COMPILE_OPTIONS -Os -ffunction-sections -fdata-sections -fomit-frame-pointer
  -fno-ident)
# 32-bit code without exceptions needs no unwind tables. The x64 ABI requires
# them of every function that calls or keeps stack, so the system can walk
# the stack through the launcher's frames.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND MIRELK_WIN32_COMPILE_OPTIONS -fno-asynchronous-unwind-tables)
endif()
set(MIRELK_WIN32_LINK_OPTIONS -static -s -Wl,--gc-sections -mwindows)
# Link-time optimisation across the launcher and liblzma (built for it), with
# interprocedural points-to analysis: the stages inline into the one sequence
# that calls them, about 700 bytes less code. The link compiles with the same
# options, but without -fdata-sections, which would put liblzma's zero-filled
# tables into .data, and without -ffunction-sections: what the link compiles
# is all reachable, so --gc-sections has nothing to drop there, and a section
# per function pads each to 16 bytes (about 900 bytes of the 64-bit stub).
list(APPEND MIRELK_WIN32_COMPILE_OPTIONS -flto -fipa-pta)
set(lto_link_options ${MIRELK_WIN32_COMPILE_OPTIONS})
list(REMOVE_ITEM lto_link_options -fdata-sections -ffunction-sections)
list(APPEND MIRELK_WIN32_LINK_OPTIONS ${lto_link_options})
# The oldest systems each target runs on: Windows XP, and XP x64 (5.2).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MIRELK_WIN32_WINNT 0x0502)
else()
  set(MIRELK_WIN32_WINNT 0x0501)
endif()
# Paths are UTF-8 in the launcher's buffers, converted to UTF-16 at the seam.
# A buffer holds the temporary directory Windows gives (at most MAX_PATH + 1
# = 261 UTF-16 units, so 783 bytes of UTF-8), a unique name and separator (12)
# and the longest entry name converted (259 bytes of the code page, each at
# most one unit and three bytes: 777): 1,573 bytes with the zero. 2,048
# leaves room for names in folders.
set(MIRELK_WIN32_DEFINITIONS WIN32_LEAN_AND_MEAN __USE_MINGW_ANSI_STDIO=0
  _WIN32_WINNT=${MIRELK_WIN32_WINNT} MIRELK_PATH_SEPARATOR=0x5C MIRELK_PATH_CAPACITY=2048
  MIRELK_UTF8_PATHS)

# The launcher's code and the formats it reads (launcher/, format/), compiled
# for the stub.
target_compile_options(mirelk_launcher_flags INTERFACE ${MIRELK_WIN32_COMPILE_OPTIONS})
target_compile_definitions(mirelk_launcher_flags INTERFACE ${MIRELK_WIN32_DEFINITIONS})
target_link_options(mirelk_launcher_code INTERFACE ${MIRELK_WIN32_LINK_OPTIONS})
# Only libraries every loader takes from the system itself (platform/win32/start.cpp).
target_link_libraries(mirelk_launcher_code INTERFACE ntdll kernel32 user32 gdi32)

# The sample installer, its art and its package.
add_executable(sample-setup resources/sample/win32/setup.c)
target_compile_options(sample-setup PRIVATE -Os)
target_link_options(sample-setup PRIVATE -static -s)
target_link_libraries(sample-setup PRIVATE mirelk_warnings)
set_target_properties(sample-setup PROPERTIES OUTPUT_NAME setup)

set(MIRELK_SAMPLE_DIR ${PROJECT_BINARY_DIR}/sample)
add_custom_command(
  OUTPUT ${MIRELK_SAMPLE_DIR}/splash.bmp ${MIRELK_SAMPLE_DIR}/icon.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MIRELK_SAMPLE_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make-sample-art
          --splash ${MIRELK_SAMPLE_DIR}/splash.bmp --icon ${MIRELK_SAMPLE_DIR}/icon.ico
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make-sample-art
  COMMENT "Drawing the sample splash picture and icon")
add_custom_command(
  OUTPUT ${MIRELK_SAMPLE_DIR}/sample.pkg
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MIRELK_SAMPLE_DIR}
  COMMAND ${MIRELK_HOST_PACK} create -o ${MIRELK_SAMPLE_DIR}/sample.pkg --launch setup.exe
          $<TARGET_FILE:sample-setup>
          ${PROJECT_SOURCE_DIR}/resources/sample/readme.txt
          ${PROJECT_SOURCE_DIR}/resources/sample/license.txt
  DEPENDS ${MIRELK_HOST_PACK} sample-setup
          ${PROJECT_SOURCE_DIR}/resources/sample/readme.txt
          ${PROJECT_SOURCE_DIR}/resources/sample/license.txt
  COMMENT "Packing the Windows sample package")
add_custom_target(sample_data DEPENDS
  ${MIRELK_SAMPLE_DIR}/splash.bmp ${MIRELK_SAMPLE_DIR}/icon.ico ${MIRELK_SAMPLE_DIR}/sample.pkg)
add_dependencies(sample_data host_tools)

# Data supplied with each build; the defaults are the sample ones.
set(MIRELK_PACKAGE "" CACHE FILEPATH "Package to carry (default: the sample package)")
set(MIRELK_SPLASH "" CACHE FILEPATH "Splash picture, 24-bit BMP (default: the sample picture)")
set(MIRELK_ICON "" CACHE FILEPATH "Program icon, .ico (default: the sample icon)")
set(MIRELK_FILE_VERSION "1.0.0.0" CACHE STRING "File version, four numbers")
set(MIRELK_PRODUCT_VERSION "1.0.0.0" CACHE STRING "Product version, four numbers")
set(MIRELK_PRODUCT_NAME "Mirelk Sample" CACHE STRING "Product name")
set(MIRELK_DESCRIPTION "Mirelk Install Wizard" CACHE STRING "File description")
set(MIRELK_COMPANY "Mirelk" CACHE STRING "Company name")
set(MIRELK_COPYRIGHT "Copyright (C) Mirelk" CACHE STRING "Copyright notice")
set(MIRELK_ORIGINAL_FILENAME "setup.exe" CACHE STRING "Original file name")

foreach(kind PACKAGE SPLASH ICON)
  set(default_PACKAGE ${MIRELK_SAMPLE_DIR}/sample.pkg)
  set(default_SPLASH ${MIRELK_SAMPLE_DIR}/splash.bmp)
  set(default_ICON ${MIRELK_SAMPLE_DIR}/icon.ico)
  if(MIRELK_${kind})
    set(MIRELK_${kind}_FILE ${MIRELK_${kind}})
  else()
    set(MIRELK_${kind}_FILE ${default_${kind}})
  endif()
endforeach()

include(${PROJECT_SOURCE_DIR}/cmake/rc-values.cmake)
mirelk_configure_launcher_rc(resources/launcher.rc.in ${PROJECT_BINARY_DIR}/launcher.rc)
# The same inputs as options of mirelk-pack attach, one a line, for the test
# that makes this launcher from the stub without windres.
file(WRITE ${PROJECT_BINARY_DIR}/launcher-inputs.txt
  "--package\n${MIRELK_PACKAGE_FILE}\n--splash\n${MIRELK_SPLASH_FILE}\n--icon\n${MIRELK_ICON_FILE}\n"
  "--version-info\nCompanyName=${MIRELK_COMPANY}\n"
  "--version-info\nFileDescription=${MIRELK_DESCRIPTION}\n"
  "--version-info\nLegalCopyright=${MIRELK_COPYRIGHT}\n"
  "--version-info\nOriginalFilename=${MIRELK_ORIGINAL_FILENAME}\n"
  "--version-info\nProductName=${MIRELK_PRODUCT_NAME}\n"
  "--file-version\n${MIRELK_FILE_VERSION}\n--product-version\n${MIRELK_PRODUCT_VERSION}\n")
set_source_files_properties(${PROJECT_BINARY_DIR}/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${MIRELK_PACKAGE_FILE};${MIRELK_SPLASH_FILE};${MIRELK_ICON_FILE}")

# The launcher linked with the inputs above (by default the sample's): the
# way to a setup with a compiler.
add_executable(mirelk-sample WIN32 ${PROJECT_BINARY_DIR}/launcher.rc)
target_include_directories(mirelk-sample PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(mirelk-sample PRIVATE mirelk_format mirelk_launcher_code)
add_dependencies(mirelk-sample sample_data)

# The prebuilt stub: the launcher's code and its mark, no package and no
# other resources (resources/stub.rc); mirelk-pack attach makes setups from
# it. Its size is the code's.
add_executable(mirelk-launcher WIN32 resources/stub.rc)
target_include_directories(mirelk-launcher PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(mirelk-launcher PRIVATE mirelk_format mirelk_launcher_code)

# mirelk-pack for Windows publishers (tools/pack/), with the full liblzma.
# Self-contained like the launcher, so that it runs on a bare Windows.
target_include_directories(mirelk-pack PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(mirelk-pack PRIVATE -O2)
target_compile_definitions(mirelk-pack PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=${MIRELK_WIN32_WINNT})
target_link_options(mirelk-pack PRIVATE -static -s)
target_link_libraries(mirelk-pack PRIVATE shell32)

if(MIRELK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/win32)
endif()
