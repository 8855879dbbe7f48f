# Writes the launcher's resource script from given inputs exactly as the build
# does, so that the tests can compile it with windres:
#   cmake -DINPUTS=inputs.json -DOUT=launcher.rc -P launcher-rc.cmake
# inputs.json (UTF-8) names the build's values: PACKAGE_FILE, SPLASH_FILE,
# ICON_FILE, FILE_VERSION, PRODUCT_VERSION, PRODUCT_NAME, DESCRIPTION, COMPANY,
# COPYRIGHT, ORIGINAL_FILENAME.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/rc-values.cmake)
file(READ ${INPUTS} inputs)
foreach(name PACKAGE_FILE SPLASH_FILE ICON_FILE FILE_VERSION PRODUCT_VERSION PRODUCT_NAME
             DESCRIPTION COMPANY COPYRIGHT ORIGINAL_FILENAME)
  string(JSON MIRELK_${name} GET "${inputs}" ${name})
endforeach()
mirelk_configure_launcher_rc(${CMAKE_CURRENT_LIST_DIR}/../../resources/launcher.rc.in ${OUT})
