# mirelk_add_setup(NAME OUTPUT file TARGET windows|windows64|posix LAUNCH name
#                  FILES file... [DIRECTORIES dir...] [FORMAT lzma|xz]
#                  [SPLASH bmp] [ICON ico] [VERSION_INFO KEY=VALUE...]
#                  [EXECUTION_LEVEL level] [WAIT installer|all]
#                  [EXIT_CODE launcher|installer])
#
# A build target NAME (built by default) that packs FILES and DIRECTORIES
# with mirelk-pack create and makes the setup OUTPUT with mirelk-pack attach
# --target TARGET. It is made again when any input changes, a file inside a
# folder of DIRECTORIES included. Relative inputs are from the current
# source directory, a relative OUTPUT in the current binary directory; FILES
# may name other targets' files ($<TARGET_FILE:...>). Options not given are
# not passed, so the setup is made as mirelk-pack makes it by default.
function(mirelk_add_setup name)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
    "OUTPUT;TARGET;LAUNCH;FORMAT;SPLASH;ICON;EXECUTION_LEVEL;WAIT;EXIT_CODE"
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

  set(output ${arg_OUTPUT})
  if(NOT IS_ABSOLUTE "${output}")
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${output})
  endif()
  set(package ${CMAKE_CURRENT_BINARY_DIR}/${name}.mirelk/package)

  set(inputs)
  set(depends)
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
    list(APPEND inputs ${directory})
    # A file added to or removed from the folder reconfigures, so the list
    # of what the setup depends on stays whole.
    file(GLOB_RECURSE contents CONFIGURE_DEPENDS LIST_DIRECTORIES false ${directory}/*)
    list(APPEND depends ${contents})
  endforeach()

  set(create_options --launch ${arg_LAUNCH})
  if(arg_FORMAT)
    list(APPEND create_options --format ${arg_FORMAT})
  endif()
  set(attach_options --target ${arg_TARGET})
  foreach(kind SPLASH ICON)
    if(arg_${kind})
      set(file ${arg_${kind}})
      if(NOT IS_ABSOLUTE "${file}")
        set(file ${CMAKE_CURRENT_SOURCE_DIR}/${file})
      endif()
      string(TOLOWER ${kind} option)
      list(APPEND attach_options --${option} ${file})
      list(APPEND depends ${file})
    endif()
  endforeach()
  foreach(pair IN LISTS arg_VERSION_INFO)
    list(APPEND attach_options --version-info ${pair})
  endforeach()
  if(arg_EXECUTION_LEVEL)
    list(APPEND attach_options --execution-level ${arg_EXECUTION_LEVEL})
  endif()
  if(arg_WAIT)
    list(APPEND attach_options --wait ${arg_WAIT})
  endif()
  if(arg_EXIT_CODE)
    list(APPEND attach_options --exit-code ${arg_EXIT_CODE})
  endif()

  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${name}.mirelk ${output_dir}
    COMMAND Mirelk::mirelk-pack create -o ${package} ${create_options} -- ${inputs}
    COMMAND Mirelk::mirelk-pack attach ${attach_options} --package ${package} -o ${output}
    DEPENDS ${depends} ${MIRELK_PACK_EXECUTABLE}
    COMMENT "Making the setup ${arg_OUTPUT} (${arg_TARGET})"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
