# What `cmake --install` puts where, in components:
#   tool:  bin/mirelk-pack, its manual page, the CMake package (POSIX build);
#          bin/mirelk-pack.exe (Windows builds)
#   stubs: the build's launcher stub, where mirelk-pack attach --target finds it
#   docs:  the README and the licence
# scripts/package puts the POSIX build and the stubs of both Windows builds
# into one tree. The stub places are relative to bin/, so that a relocated
# install (or the unpacked Windows .zip) finds its own stubs. A Windows build
# installs in the same layout (bin/mirelk-pack.exe beside share/): one
# layout, so that the Windows builds' stubs join a POSIX install as they are,
# and the .zip is that same tree.
#
# The POSIX stub is a program of the host's architecture: lib/mirelk/. The
# Windows stubs are the same bytes on every host and never run there:
# architecture-independent data, share/mirelk/stubs/.
set(MIRELK_INSTALL_POSIX_STUB lib/mirelk/mirelk-launcher)
set(MIRELK_INSTALL_WINDOWS_STUB share/mirelk/stubs/mirelk-launcher-windows.exe)
set(MIRELK_INSTALL_WINDOWS64_STUB share/mirelk/stubs/mirelk-launcher-windows64.exe)
set(MIRELK_INSTALL_CMAKE_DIR share/mirelk/cmake)
set(MIRELK_INSTALL_DOC_DIR share/doc/mirelk-pack)

target_compile_definitions(mirelk-pack PRIVATE
  MIRELK_PACK_VERSION="${PROJECT_VERSION}"
  MIRELK_INSTALLED_POSIX_STUB="../${MIRELK_INSTALL_POSIX_STUB}"
  MIRELK_INSTALLED_WINDOWS_STUB="../${MIRELK_INSTALL_WINDOWS_STUB}"
  MIRELK_INSTALLED_WINDOWS64_STUB="../${MIRELK_INSTALL_WINDOWS64_STUB}")

install(TARGETS mirelk-pack RUNTIME DESTINATION bin COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  ${PROJECT_SOURCE_DIR}/docs/making-setups.md ${PROJECT_SOURCE_DIR}/docs/reproducible.md
  DESTINATION ${MIRELK_INSTALL_DOC_DIR} COMPONENT docs)

if(MIRELK_SYSTEM STREQUAL "windows")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(stub_place ${MIRELK_INSTALL_WINDOWS64_STUB})
  else()
    set(stub_place ${MIRELK_INSTALL_WINDOWS_STUB})
  endif()
  get_filename_component(stub_dir ${stub_place} DIRECTORY)
  get_filename_component(stub_name ${stub_place} NAME)
  # Data to copy from, not a program to run: no execute bits.
  install(FILES $<TARGET_FILE:mirelk-launcher> DESTINATION ${stub_dir} RENAME ${stub_name}
    COMPONENT stubs)
else()
  get_filename_component(stub_dir ${MIRELK_INSTALL_POSIX_STUB} DIRECTORY)
  install(TARGETS mirelk-launcher RUNTIME DESTINATION ${stub_dir} COMPONENT stubs)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/mirelk-pack.1 DESTINATION share/man/man1 COMPONENT tool)

  include(CMakePackageConfigHelpers)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MirelkConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/MirelkConfig.cmake
    INSTALL_DESTINATION ${MIRELK_INSTALL_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/MirelkConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  install(FILES ${PROJECT_BINARY_DIR}/package/MirelkConfig.cmake
    ${PROJECT_BINARY_DIR}/package/MirelkConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/cmake/MirelkFunctions.cmake
    DESTINATION ${MIRELK_INSTALL_CMAKE_DIR} COMPONENT tool)
endif()
