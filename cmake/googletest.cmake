# GoogleTest: Debian's library for the native build; for the Windows build,
# Debian's sources compiled with the cross toolchain.
#
# The test programs' own sources (and the framework itself) are compiled
# without optimisation: they hold the checks, not the code under test, which
# keeps the build's flags; unoptimised they compile in about half the time.
if(TARGET GTest::gtest_main)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  target_compile_options(gtest PRIVATE -w -O0)
  target_compile_options(gtest_main PRIVATE -w -O0)
  target_compile_options(gtest INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-O0>)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  set_property(TARGET GTest::gtest APPEND PROPERTY INTERFACE_COMPILE_OPTIONS $<$<COMPILE_LANGUAGE:CXX>:-O0>)
endif()
