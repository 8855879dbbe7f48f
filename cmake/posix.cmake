# The POSIX launcher, the packing tool and the tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)

# The launcher's code, portable and POSIX alike: one archive, so that the
# portable code and the POSIX side of the seam may call each other.
add_library(mirelk_launcher_code STATIC
  ${MIRELK_PORTABLE_SOURCES}
  platform/posix/descendants.cpp
  platform/posix/interruptions.cpp
  platform/posix/platform.cpp
  platform/posix/resources.cpp
  platform/posix/tree_walk.cpp
  platform/posix/x11_client.cpp
  platform/posix/x11_pixels.cpp
  platform/posix/x11_splash.cpp)
target_include_directories(mirelk_launcher_code PUBLIC ${PROJECT_SOURCE_DIR})
# libX11 is opened with dlopen at run time; only its headers are needed here.
target_link_libraries(mirelk_launcher_code PRIVATE mirelk_launcher_flags
  PUBLIC PkgConfig::LZMA ${CMAKE_DL_LIBS})

# The launcher without resources: mirelk-pack attach makes launchers from it.
# Its mark is an object of its own, so that it is always linked.
add_executable(mirelk-launcher platform/posix/start.cpp format/launcher_note.cpp)
target_link_libraries(mirelk-launcher PRIVATE mirelk_launcher_flags mirelk_launcher_code)

# The formats alone, for mirelk-pack and the tests, with what only the tool
# asks: whether a package would be taken, whether a program is a launcher.
add_library(mirelk_format STATIC ${MIRELK_FORMAT_SOURCES} ${MIRELK_TOOL_FORMAT_SOURCES})
target_include_directories(mirelk_format PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(mirelk_format PRIVATE mirelk_launcher_flags PUBLIC PkgConfig::LZMA)

# Windows resources written into launcher stubs: tool code, never linked into
# the launcher.
add_library(mirelk_pe STATIC ${MIRELK_PE_SOURCES})
target_include_directories(mirelk_pe PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(mirelk_pe PRIVATE mirelk_warnings)

add_executable(mirelk-pack ${MIRELK_PACK_SOURCES} tools/pack/system_posix.cpp)
target_link_libraries(mirelk-pack PRIVATE mirelk_warnings mirelk_format mirelk_pe)

if(MIRELK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()

# The sample launcher: the sample installer and its files, packed at build time.
set(MIRELK_SAMPLE_FILES
  ${PROJECT_SOURCE_DIR}/resources/sample/setup.sh
  ${PROJECT_SOURCE_DIR}/resources/sample/readme.txt
  ${PROJECT_SOURCE_DIR}/resources/sample/license.txt)
set(MIRELK_SAMPLE_PACKAGE ${PROJECT_BINARY_DIR}/sample/sample.pkg)
add_custom_command(OUTPUT ${MIRELK_SAMPLE_PACKAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/sample
  COMMAND mirelk-pack create -o ${MIRELK_SAMPLE_PACKAGE} --launch setup.sh ${MIRELK_SAMPLE_FILES}
  DEPENDS mirelk-pack ${MIRELK_SAMPLE_FILES}
  COMMENT "Packing the sample package")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/mirelk-sample
  COMMAND mirelk-pack attach --stub $<TARGET_FILE:mirelk-launcher>
          --package ${MIRELK_SAMPLE_PACKAGE} -o ${PROJECT_BINARY_DIR}/mirelk-sample
  DEPENDS mirelk-pack mirelk-launcher ${MIRELK_SAMPLE_PACKAGE}
  COMMENT "Attaching the sample package to the launcher")
add_custom_target(sample-launcher ALL DEPENDS ${PROJECT_BINARY_DIR}/mirelk-sample)
