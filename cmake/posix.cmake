# The POSIX launcher, the packing tool and the tests.
find_package(PkgConfig REQUIRED)

# One liblzma serves the launcher and the tool.
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET GLOBAL liblzma)
add_library(mirelk_liblzma INTERFACE)
target_link_libraries(mirelk_liblzma INTERFACE PkgConfig::LZMA)
add_library(mirelk_liblzma_full INTERFACE)
target_link_libraries(mirelk_liblzma_full INTERFACE PkgConfig::LZMA)

# The launcher without resources: mirelk-pack attach makes launchers from it.
# Its mark is an object of its own, so that it is always linked.
add_executable(mirelk-launcher platform/posix/start.cpp format/launcher_note.cpp)
target_link_libraries(mirelk-launcher PRIVATE mirelk_launcher_flags mirelk_launcher_code)

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
