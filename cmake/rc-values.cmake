# Values written into resource scripts, shared by the Windows build and its tests.

# A string as windres reads it back: it takes backslash escapes, and "" for a quote.
function(mirelk_rc_string out value)
  string(REPLACE "\\" "\\\\" escaped "${value}")
  string(REPLACE "\"" "\"\"" escaped "${escaped}")
  set(${out} "${escaped}" PARENT_SCOPE)
endfunction()

# Resource scripts need four version numbers.
function(mirelk_rc_version out value)
  string(REGEX MATCHALL "[0-9]+" numbers "${value}")
  list(APPEND numbers 0 0 0 0)
  list(SUBLIST numbers 0 4 numbers)
  string(REPLACE ";" "," joined "${numbers}")
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()
