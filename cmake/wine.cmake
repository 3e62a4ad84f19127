# Windows test programs run under Wine, in a prefix of their own under the
# build tree, so that no test depends on the user's own prefix. The prefix
# is made once, by a fixture that every Wine test requires.
#
# Which build runs the Wine suites: the 32-bit build (the program as it
# ships) wherever this machine runs 32-bit programs natively. A kernel
# without 32-bit execution runs them only through qemu's user-mode
# emulator (scripts/install-deps.sh registers it there); under it Wine
# takes many times as long and its processes hang at times, so there the
# 64-bit build of the same sources runs the suites, natively, and the
# 32-bit build is built and checked statically only.
#   TESSARIN_WINE_TESTS: AUTO (that choice), ON or OFF.
set(TESSARIN_WINE_TESTS AUTO CACHE STRING "Run this build's Wine suites: AUTO, ON or OFF")
set_property(CACHE TESSARIN_WINE_TESTS PROPERTY STRINGS AUTO ON OFF)

function(tessarin_i386_emulated result)
  set(emulated FALSE)
  set(handler /proc/sys/fs/binfmt_misc/qemu-i386)
  if(EXISTS ${handler})
    file(STRINGS ${handler} state LIMIT_COUNT 1)
    if(state STREQUAL "enabled")
      set(emulated TRUE)
    endif()
  endif()
  set(${result} ${emulated} PARENT_SCOPE)
endfunction()

set(tessarin_wine_suites OFF)
if(CMAKE_CROSSCOMPILING)
  if(TESSARIN_WINE_TESTS STREQUAL "AUTO")
    tessarin_i386_emulated(i386_emulated)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
      set(tessarin_wine_suites ${i386_emulated})
    else()
      if(NOT i386_emulated)
        set(tessarin_wine_suites ON)
      endif()
    endif()
  elseif(TESSARIN_WINE_TESTS)
    set(tessarin_wine_suites ON)
  endif()
  if(tessarin_wine_suites)
    message(STATUS "Wine suites: run by this ${CMAKE_SYSTEM_PROCESSOR} build")
  elseif(NOT TESSARIN_WINE_TESTS STREQUAL "AUTO")
    message(STATUS "Wine suites: not run by this ${CMAKE_SYSTEM_PROCESSOR} build (TESSARIN_WINE_TESTS=${TESSARIN_WINE_TESTS})")
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    message(STATUS "Wine suites: not run by this ${CMAKE_SYSTEM_PROCESSOR} build: this machine runs 32-bit programs "
                   "natively, so the 32-bit build runs them")
  else()
    message(STATUS "Wine suites: not run by this ${CMAKE_SYSTEM_PROCESSOR} build: this machine runs 32-bit programs "
                   "only through qemu's emulator, so the 64-bit build runs them")
  endif()
endif()
# True where this build registers its Wine suites.
set(TESSARIN_WINE_SUITES ${tessarin_wine_suites})

function(tessarin_wine_test name)
  if(NOT CMAKE_CROSSCOMPILING)
    return()
  endif()
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
    "WINEPREFIX=${TESSARIN_WINEPREFIX}" "WINE=${WINE_PROGRAM}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
endfunction()

if(TESSARIN_WINE_SUITES)
  set(TESSARIN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  add_test(NAME wine_prefix
    COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${TESSARIN_WINEPREFIX} WINE=${WINE_PROGRAM} WINEDEBUG=-all
            "WINEDLLOVERRIDES=mscoree,mshtml=" ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh)
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix)
endif()
