# The same sources for 64-bit Windows: the Wine suites run here, natively,
# where this machine runs 32-bit programs only through an emulator.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
