# mirelk_add_setup(NAME OUTPUT file TARGET windows|windows64|posix LAUNCH path
#                  FILES file... [DIRECTORIES dir...]
#                  [FORMAT lzma|xz] [CHECK crc32|crc64|sha256] [BUNDLE v1|v2]
#                  [SPLASH bmp] [ICON ico] [VERSION_INFO KEY=VALUE...]
#                  [FILE_VERSION A.B.C.D] [PRODUCT_VERSION A.B.C.D]
#                  [EXECUTION_LEVEL level] [WAIT installer|all]
#                  [EXIT_CODE launcher|installer])
#
# A build target NAME (built by default) that packs FILES and DIRECTORIES
# with mirelk-pack create and makes the setup OUTPUT with mirelk-pack attach
# --target TARGET. Each option is the mirelk-pack option of the same name
# (mirelk-pack(1)); options not given are not passed, so the setup is made as
# mirelk-pack makes it by default. Relative inputs are from the current
# source directory, a relative OUTPUT in the current binary directory; FILES
# may name other targets' files ($<TARGET_FILE:...>).
#
# The setup is made again when an input changes: a file of FILES, SPLASH or
# ICON, mirelk-pack or the stub of TARGET (an upgraded package), and for
# DIRECTORIES every file inside them and every folder (a folder's time
# changes when an entry is added, removed or renamed in it). The list of what
# lies inside is taken again at each build (CONFIGURE_DEPENDS), so a new file
# is followed from then on. Only a changed execute bit goes unseen: touch the
# file.
function(mirelk_add_setup name)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
    "OUTPUT;TARGET;LAUNCH;FORMAT;CHECK;BUNDLE;SPLASH;ICON;FILE_VERSION;PRODUCT_VERSION;EXECUTION_LEVEL;WAIT;EXIT_CODE"
    "FILES;DIRECTORIES;VERSION_INFO")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "mirelk_add_setup(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT TARGET LAUNCH)
    if(NOT arg_${required})
      message(FATAL_ERROR "mirelk_add_setup(${name}): ${required} is required")
    endif()
  endforeach()
  if(NOT arg_FILES AND NOT arg_DIRECTORIES)
    message(FATAL_ERROR "mirelk_add_setup(${name}): FILES or DIRECTORIES is required")
  endif()
  if(NOT arg_TARGET MATCHES "^(windows|windows64|posix)$")
    message(FATAL_ERROR "mirelk_add_setup(${name}): TARGET is windows, windows64 or posix, not '${arg_TARGET}'")
  endif()
  if(NOT EXISTS "${MIRELK_STUB_${arg_TARGET}}")
    message(FATAL_ERROR "mirelk_add_setup(${name}): this install of Mirelk has no stub for TARGET "
      "${arg_TARGET} (no ${MIRELK_STUB_${arg_TARGET}})")
  endif()

  set(output ${arg_OUTPUT})
  if(NOT IS_ABSOLUTE "${output}")
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${output})
  endif()
  if(output STREQUAL "${CMAKE_CURRENT_BINARY_DIR}/${name}")
    # Make would take the file and the target for one another.
    message(FATAL_ERROR "mirelk_add_setup(${name}): OUTPUT is named as the target; name it otherwise")
  endif()
  set(package ${CMAKE_CURRENT_BINARY_DIR}/${name}.mirelk/package)

  set(inputs)
  set(depends ${MIRELK_PACK_EXECUTABLE} ${MIRELK_STUB_${arg_TARGET}})
  foreach(file IN LISTS arg_FILES)
    if(NOT IS_ABSOLUTE "${file}" AND NOT file MATCHES "^\\$<")
      set(file ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    endif()
    list(APPEND inputs ${file})
    list(APPEND depends ${file})
  endforeach()
  foreach(directory IN LISTS arg_DIRECTORIES)
    if(NOT IS_ABSOLUTE "${directory}")
      set(directory ${CMAKE_CURRENT_SOURCE_DIR}/${directory})
    endif()
    if(NOT IS_DIRECTORY "${directory}")
      message(FATAL_ERROR "mirelk_add_setup(${name}): DIRECTORIES: '${directory}' is no folder")
    endif()
    list(APPEND inputs ${directory})
    file(GLOB_RECURSE contents CONFIGURE_DEPENDS LIST_DIRECTORIES true ${directory}/*)
    list(APPEND depends ${directory} ${contents})
  endforeach()

  set(create_options --launch ${arg_LAUNCH})
  foreach(option FORMAT CHECK BUNDLE)
    if(arg_${option})
      string(TOLOWER ${option} flag)
      list(APPEND create_options --${flag} ${arg_${option}})
    endif()
  endforeach()
  set(attach_options --target ${arg_TARGET})
  foreach(kind SPLASH ICON)
    if(arg_${kind})
      set(file ${arg_${kind}})
      if(NOT IS_ABSOLUTE "${file}")
        set(file ${CMAKE_CURRENT_SOURCE_DIR}/${file})
      endif()
      string(TOLOWER ${kind} flag)
      list(APPEND attach_options --${flag} ${file})
      list(APPEND depends ${file})
    endif()
  endforeach()
  foreach(pair IN LISTS arg_VERSION_INFO)
    list(APPEND attach_options --version-info ${pair})
  endforeach()
  foreach(option FILE_VERSION PRODUCT_VERSION EXECUTION_LEVEL WAIT EXIT_CODE)
    if(arg_${option})
      string(TOLOWER ${option} flag)
      string(REPLACE "_" "-" flag ${flag})
      list(APPEND attach_options --${flag} ${arg_${option}})
    endif()
  endforeach()

  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${name}.mirelk ${output_dir}
    COMMAND Mirelk::mirelk-pack create -o ${package} ${create_options} -- ${inputs}
    COMMAND Mirelk::mirelk-pack attach ${attach_options} --package ${package} -o ${output}
    DEPENDS ${depends}
    COMMENT "Making the setup ${arg_OUTPUT} (${arg_TARGET})"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
