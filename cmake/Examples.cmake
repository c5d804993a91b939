# qor_examples_beside(TARGET): copies every file of examples/ but its notes (the scripts and the
# images they name) into the build folder of TARGET, made in the calling folder. A program run
# from the build tree finds them there as an installed one finds the scripts beside itself.
function(qor_examples_beside target)
  file(GLOB examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*)
  list(FILTER examples EXCLUDE REGEX "(\\.md|\\.txt|/README[^/]*)$")
  set(copies)
  foreach(example IN LISTS examples)
    if(IS_DIRECTORY ${example})
      continue()
    endif()
    get_filename_component(name ${example} NAME)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name})
    add_custom_command(OUTPUT ${copy}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${example} ${copy}
      DEPENDS ${example} VERBATIM)
    list(APPEND copies ${copy})
  endforeach()
  add_custom_target(${target}_examples ALL DEPENDS ${copies})
  add_dependencies(${target} ${target}_examples)
endfunction()
