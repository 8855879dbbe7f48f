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

# Writes the launcher's resource script `out` from `template` with the
# MIRELK_*_FILE inputs and MIRELK_* version values in scope.
function(mirelk_configure_launcher_rc template out)
  mirelk_rc_version(MIRELK_RC_FILE_VERSION_NUMBERS "${MIRELK_FILE_VERSION}")
  mirelk_rc_version(MIRELK_RC_PRODUCT_VERSION_NUMBERS "${MIRELK_PRODUCT_VERSION}")
  foreach(field FILE_VERSION PRODUCT_VERSION PRODUCT_NAME DESCRIPTION COMPANY COPYRIGHT ORIGINAL_FILENAME)
    mirelk_rc_string(MIRELK_RC_${field} "${MIRELK_${field}}")
  endforeach()
  set(MIRELK_RC_PACKAGE ${MIRELK_PACKAGE_FILE})
  set(MIRELK_RC_SPLASH ${MIRELK_SPLASH_FILE})
  set(MIRELK_RC_ICON ${MIRELK_ICON_FILE})
  configure_file(${template} ${out} @ONLY)
endfunction()
