# Compiler output is kept between builds on one machine by ccache, when it
# is installed, in the per-user cache folder of the test command:
# $TESSARIN_CACHE_DIR, else ${XDG_CACHE_HOME:-~/.cache}/tessarin. The paths
# below the source folder are hashed relative to it, so that another clone
# on the same machine (a fresh one for CI) finds the same entries; only the
# compilation folder recorded in the debug information then names the clone
# that filled the entry. TESSARIN_CCACHE=OFF builds without it.
option(TESSARIN_CCACHE "Compile through ccache when it is installed" ON)
if(NOT TESSARIN_CCACHE)
  return()
endif()
find_program(TESSARIN_CCACHE_PROGRAM ccache)
if(NOT TESSARIN_CCACHE_PROGRAM)
  message(STATUS "ccache not found: compiling without a compiler cache")
  return()
endif()

if(DEFINED ENV{TESSARIN_CACHE_DIR} AND NOT "$ENV{TESSARIN_CACHE_DIR}" STREQUAL "")
  set(cache_root "$ENV{TESSARIN_CACHE_DIR}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(cache_root "$ENV{XDG_CACHE_HOME}/tessarin")
else()
  set(cache_root "$ENV{HOME}/.cache/tessarin")
endif()
set(launcher ${CMAKE_COMMAND} -E env "CCACHE_DIR=${cache_root}/ccache" "CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}"
             CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=4G ${TESSARIN_CCACHE_PROGRAM})
foreach(lang C CXX)
  if(NOT CMAKE_${lang}_COMPILER_LAUNCHER)
    set(CMAKE_${lang}_COMPILER_LAUNCHER ${launcher})
  endif()
endforeach()
message(STATUS "ccache: ${cache_root}/ccache")
