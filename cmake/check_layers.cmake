# Proves that the layers only look down: preprocesses a one-line source that
# includes a header with exactly the include path one layer's own sources
# get, and expects it to fail (the header lies above) or to pass (it lies at
# or below). Preprocessing finds every header the include path reaches;
# nothing is compiled.
#
#   cmake -DCXX=<compiler> -DWORK=<dir> -DPATHS=<layer=dir|dir,...;...>
#         -DCASES=<layer:header:refused|found;...> -P check_layers.cmake

file(MAKE_DIRECTORY "${WORK}")
foreach(entry IN LISTS PATHS)
  string(REGEX MATCH "^([a-z]+)=(.*)$" _ "${entry}")
  string(REPLACE "|" ";" dirs "${CMAKE_MATCH_2}")
  set(flags "")
  foreach(dir IN LISTS dirs)
    list(APPEND flags "-I${dir}")
  endforeach()
  set(FLAGS_${CMAKE_MATCH_1} "${flags}")
endforeach()

set(failures 0)
set(n 0)
foreach(case IN LISTS CASES)
  string(REPLACE ":" ";" parts "${case}")
  list(GET parts 0 layer)
  list(GET parts 1 header)
  list(GET parts 2 expect)
  if(NOT DEFINED FLAGS_${layer})
    message(SEND_ERROR "no include path given for layer ${layer}")
    math(EXPR failures "${failures} + 1")
    continue()
  endif()
  math(EXPR n "${n} + 1")
  set(probe "${WORK}/probe_${n}.cpp")
  file(WRITE "${probe}" "#include \"${header}\"\n")
  execute_process(
    COMMAND "${CXX}" -std=c++20 -E -o "${probe}.i" ${FLAGS_${layer}} "${probe}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE out)
  if(expect STREQUAL "refused")
    # Refused for the right reason: the header is not on the path, not some
    # other fault of the probe.
    string(FIND "${out}" "${header}: No such file" missing)
    if(result EQUAL 0 OR missing EQUAL -1)
      message("FAIL: ${layer} reaches ${header}, which lies above it\n${out}")
      math(EXPR failures "${failures} + 1")
    else()
      message("ok: ${layer} cannot include ${header}")
    endif()
  else()
    if(NOT result EQUAL 0)
      message("FAIL: ${layer} cannot include ${header}, which lies at or below it\n${out}")
      math(EXPR failures "${failures} + 1")
    else()
      message("ok: ${layer} includes ${header}")
    endif()
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${n} layer checks failed")
endif()
