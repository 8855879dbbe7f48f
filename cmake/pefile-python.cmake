# The Python for tests that read PE images: one that has pefile. Debian's
# python3-pefile installs it for the system's Python only, which need not be
# the first python3 on the PATH.
set(MIRELK_PEFILE_PYTHON ${Python3_EXECUTABLE})
foreach(candidate ${Python3_EXECUTABLE} /usr/bin/python3)
  execute_process(COMMAND ${candidate} -c "import pefile"
    RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
  if(pefile_missing EQUAL 0)
    set(MIRELK_PEFILE_PYTHON ${candidate})
    break()
  endif()
endforeach()
