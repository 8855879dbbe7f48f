# The same sources give the same files in any build directory, at any time:
# no source or build path in the objects, no link time in Windows images
# (the setups made from a stub take theirs from SOURCE_DATE_EPOCH).
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
