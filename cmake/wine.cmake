# Windows test programs run under Wine, in a prefix of their own under the
# build tree, so that no test depends on the user's own prefix. The prefix
# is made once, by a fixture that every Wine test requires.
function(tessarin_wine_test name)
  if(NOT CMAKE_CROSSCOMPILING)
    return()
  endif()
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
    "WINEPREFIX=${TESSARIN_WINEPREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
endfunction()

if(CMAKE_CROSSCOMPILING)
  set(TESSARIN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  add_test(NAME wine_prefix
    COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${TESSARIN_WINEPREFIX} WINEDEBUG=-all
            "WINEDLLOVERRIDES=mscoree,mshtml=" ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh)
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix)
endif()
