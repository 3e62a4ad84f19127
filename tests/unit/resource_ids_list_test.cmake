# The build reads the resource identifier list and stops on the faults that
# would give two resources one number or leave one without its file. Each
# case changes one entry of the real list and expects the reading to stop
# with its message; the list itself reads cleanly.
#
#   cmake -DDEF=<resource_ids.def> -DWORK=<folder> -P resource_ids_list_test.cmake
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/resource_ids.cmake)
if(READ_ONLY)
  tessarin_read_resource_ids("${DEF}")
  tessarin_write_rc_ids("${WORK}/resource_ids_rc.h")
  return()
endif()

file(READ "${DEF}" list)
file(MAKE_DIRECTORY "${WORK}")

set(failures "")
execute_process(COMMAND ${CMAKE_COMMAND} -DREAD_ONLY=1 -DDEF=${DEF} -DWORK=${WORK} -P ${CMAKE_CURRENT_LIST_FILE}
                RESULT_VARIABLE status ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the list itself: ${error}")
endif()
# Every name reaches the resource scripts' header with its number.
tessarin_read_resource_ids("${DEF}")
file(READ "${WORK}/resource_ids_rc.h" header)
foreach(name IN LISTS TS_RES_NAMES)
  string(FIND "${header}" "\n#define ${name} ${TS_RES_${name}_ID}\n" at)
  if(at LESS 0)
    string(APPEND failures "the resource scripts' header lacks ${name}\n")
  endif()
endforeach()

# what the case is | the entry as listed | the entry changed | the message
set(dos ${TS_RES_IDI_DOS_ID})
set(drives ${TS_RES_IDC_DRIVE_LIST_ID})
set(cases
  "an icon's number twice|TS_ICON(${TS_RES_IDI_ROMDOS_ID}, IDI_ROMDOS|TS_ICON(${dos}, IDI_ROMDOS|number ${dos} is given twice for TS_ICON"
  "a name twice|, IDA_ROMDOS,|, IDA_DOS,|IDA_DOS is given twice"
  "a control's number twice in one dialog|${TS_RES_IDC_RESTORE_ID}, IDC_RESTORE)|${drives}, IDC_RESTORE)|number ${drives} is given twice for TS_CONTROL"
  "a control of an unknown dialog|TS_CONTROL(IDD_ABOUTBOX, |TS_CONTROL(IDD_NONE, |IDD_NONE is no dialog"
  "a boot image without its file|IDR_BLDR_LOADER, \"bldr_loader.bin\")|IDR_BLDR_LOADER)|TS_BOOT_IMAGE takes 3 values"
  "a file twice|IDA_WINCE, \"clip_wince.avi\"|IDA_WINCE, \"clip_dos.avi\"|the file clip_dos.avi is given twice"
  "a name of the wrong kind|IDC_ABOUT_ICON)|IDI_ABOUT_ICON)|the names of TS_CONTROL start with IDC_"
  "a number that is none|(${TS_RES_IDI_WINCE_ID}, IDI_WINCE|(one, IDI_WINCE|the number one is not a number"
  "an entry that is not at the start of its line|\nTS_ICON(${TS_RES_IDI_WINCE_ID}, |\n  TS_ICON(${TS_RES_IDI_WINCE_ID}, |starts at the beginning of its line"
)

foreach(case IN LISTS cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 what)
  list(GET parts 1 from)
  list(GET parts 2 to)
  list(GET parts 3 expected)
  string(FIND "${list}" "${from}" at)
  if(at LESS 0)
    string(APPEND failures "${what}: the list has no \"${from}\"\n")
    continue()
  endif()
  string(REPLACE "${from}" "${to}" changed "${list}")
  file(WRITE "${WORK}/case.def" "${changed}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DREAD_ONLY=1 -DDEF=${WORK}/case.def -DWORK=${WORK} -P ${CMAKE_CURRENT_LIST_FILE}
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  string(REGEX REPLACE "[ \n]+" " " error "${error}")
  string(FIND "${error}" "${expected}" found)
  if(status EQUAL 0)
    string(APPEND failures "${what}: read without complaint\n")
  elseif(found LESS 0)
    string(APPEND failures "${what}: stopped without \"${expected}\": ${error}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
list(LENGTH cases count)
message("resource identifier list: read cleanly, ${count} faults refused")
