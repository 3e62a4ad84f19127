# The static checks as tests labelled lint: clang-tidy over each of our
# sources that this build compiles, one test per source so that CTest
# spreads them over the cores beside the other suites, and (native build)
# cppcheck over all sources and tests and the formatting of every source of
# src/ and tests/ against .clang-format. scripts/lint.sh does the checking.
# The checks run at a lower priority: they only need the processor, while
# the suites beside them (and the builds of the test command) have programs
# waiting on them.
#
# TESSARIN_STATIC_CHECKS names the folder below src/ whose sources are
# checked ("." for all of src/); empty leaves the checks out of this build.
# Included at the end of the top-level list file, when every target exists.

# The include check belongs to every build that compiles our programs, with
# or without the static checks.
include(${CMAKE_CURRENT_LIST_DIR}/include_check.cmake)

set(TESSARIN_STATIC_CHECKS "" CACHE STRING "Folder under src/ whose sources get a clang-tidy test (. for all)")
if(TESSARIN_STATIC_CHECKS STREQUAL "")
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)

cmake_path(ABSOLUTE_PATH TESSARIN_STATIC_CHECKS BASE_DIRECTORY ${PROJECT_SOURCE_DIR}/src NORMALIZE
           OUTPUT_VARIABLE lint_root)
string(REGEX REPLACE "/$" "" lint_root "${lint_root}")
tessarin_collect_targets(${PROJECT_SOURCE_DIR} all_targets)
set(lint_sources "")
foreach(target IN LISTS all_targets)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
    continue()
  endif()
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\$<" OR NOT source MATCHES "\\.(c|cc|cpp)$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} NORMALIZE OUTPUT_VARIABLE file)
    string(FIND "${file}" "${lint_root}/" at)
    if(at EQUAL 0)
      list(APPEND lint_sources ${file})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES lint_sources)
list(SORT lint_sources)

# A check alone takes seconds; at its low priority beside the builds and the
# suites it can wait many minutes for a core, so the limit only catches a
# check that hangs.
set(lint_timeout 1800)
foreach(file IN LISTS lint_sources)
  file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${file})
  add_test(NAME lint.tidy:${name}
    COMMAND nice -n 10 ${PROJECT_SOURCE_DIR}/scripts/lint.sh clang-tidy ${CMAKE_BINARY_DIR} ${file})
  set_tests_properties(lint.tidy:${name} PROPERTIES LABELS lint TIMEOUT ${lint_timeout})
endforeach()

if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME lint.cppcheck COMMAND nice -n 10 ${PROJECT_SOURCE_DIR}/scripts/lint.sh cppcheck)
  set_tests_properties(lint.cppcheck PROPERTIES LABELS lint TIMEOUT ${lint_timeout})
  add_test(NAME lint.format COMMAND ${PROJECT_SOURCE_DIR}/scripts/lint.sh clang-format)
  set_tests_properties(lint.format PROPERTIES LABELS lint TIMEOUT ${lint_timeout})
endif()
