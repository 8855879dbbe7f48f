# The formats the launcher itself links, shared by the launcher, mirelk-pack,
# the tests and the fuzz targets. The rest of format/ (the PE resource writer)
# is tool code: it uses the full standard library, exceptions included.
set(MIRELK_FORMAT_SOURCES
  format/bmp.cpp
  format/bundle.cpp)
