# The sources of format/, relative to the project root, by who links them.
# Read by the build and by the fuzz build (tests/fuzz), which fuzzes the
# launcher's alone.

# The formats: one home each, shared by the launcher, mirelk-pack and the tests.
set(MIRELK_FORMAT_SOURCES
  format/bmp.cpp
  format/bundle.cpp
  format/tree_bundle.cpp)

# What only the tools read: whether a package would be taken, whether a
# program is a launcher, and the Windows resources written into launcher
# stubs (PE images, icons, version blocks, manifests). Never linked into the
# launcher.
set(MIRELK_TOOL_FORMAT_SOURCES
  format/elf_image.cpp
  format/package_check.cpp)
set(MIRELK_PE_SOURCES
  format/pe_image.cpp
  format/icon.cpp
  format/version_info.cpp
  format/manifest.cpp
  format/launcher_resources.cpp)
