# A cross build must not see the build machine's /usr/include as a whole: a header-only library
# is taken from its own folder alone, copied into the build tree, as an imported target of the
# name its package would give.
function(qor_cross_header_library target header)
  string(REGEX REPLACE "/.*" "" folder "${header}")
  find_path(found "${header}" PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT found)
    message(FATAL_ERROR "${header} is missing: run scripts/install-deps")
  endif()
  set(include ${CMAKE_BINARY_DIR}/cross-include)
  file(COPY ${found}/${folder} DESTINATION ${include})
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${include})
  unset(found CACHE)
endfunction()
