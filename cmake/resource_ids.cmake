# The program's resource identifiers, read from src/res/resource_ids.def for
# the build: which file is which icon, clip or boot image, and the header of
# #defines that the resource scripts (and only they) include.
#
#   tessarin_read_resource_ids(<def file>)
#     Sets in the caller's scope:
#       TS_RES_NAMES            every name, in the order of the file
#       TS_RES_<KIND>           the names of one kind: ICON, CLIP, DIALOG,
#                               CONTROL, COMMAND, BOOT_IMAGE
#       TS_RES_<name>_KIND      its kind
#       TS_RES_<name>_ID        its number as written (decimal or 0x...)
#       TS_RES_<name>_VALUE     its number in decimal
#       TS_RES_<name>_FILE      the file of an icon, clip or boot image
#       TS_RES_<name>_DIALOG    the dialog of a control
#     Stops with an error on an entry it cannot read, a name given twice, a
#     number given twice for one kind of resource (for controls: within one
#     dialog), a file given twice, or a control of an unknown dialog.
#
#   tessarin_write_rc_ids(<output header>)
#     Writes "#define <name> <number>" for every name read, leaving the file
#     untouched when nothing changed.

function(tessarin_read_resource_ids def)
  file(STRINGS "${def}" lines)
  set(names "")
  set(seen_numbers "")
  set(seen_files "")
  foreach(kind ICON CLIP DIALOG CONTROL COMMAND BOOT_IMAGE)
    set(TS_RES_${kind} "")
  endforeach()
  set(prefix_ICON IDI_)
  set(prefix_CLIP IDA_)
  set(prefix_DIALOG IDD_)
  set(prefix_CONTROL IDC_)
  set(prefix_COMMAND IDM_)
  set(prefix_BOOT_IMAGE IDR_)
  set(args_ICON 3)
  set(args_CLIP 3)
  set(args_DIALOG 2)
  set(args_CONTROL 3)
  set(args_COMMAND 2)
  set(args_BOOT_IMAGE 3)

  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+TS_[A-Z_]+\\([ \t]*([0-9]|IDD_)")
      message(FATAL_ERROR "${def}: an entry starts at the beginning of its line: ${line}")
    endif()
    if(NOT line MATCHES "^TS_")
      continue()
    endif()
    if(NOT line MATCHES "^TS_([A-Z_]+)\\(([^()]*)\\)[ \t]*$")
      message(FATAL_ERROR "${def}: cannot read the entry: ${line}")
    endif()
    set(kind ${CMAKE_MATCH_1})
    string(REPLACE "," ";" args "${CMAKE_MATCH_2}")
    if(NOT DEFINED args_${kind})
      message(FATAL_ERROR "${def}: unknown kind TS_${kind}: ${line}")
    endif()
    list(LENGTH args count)
    if(NOT count EQUAL args_${kind})
      message(FATAL_ERROR "${def}: TS_${kind} takes ${args_${kind}} values: ${line}")
    endif()
    set(values "")
    foreach(arg IN LISTS args)
      string(STRIP "${arg}" arg)
      string(REGEX REPLACE "^\"(.*)\"$" "\\1" arg "${arg}")
      list(APPEND values "${arg}")
    endforeach()

    if(kind STREQUAL "CONTROL")
      list(POP_FRONT values dialog)
      if(NOT dialog IN_LIST TS_RES_DIALOG)
        message(FATAL_ERROR "${def}: ${line}: ${dialog} is no dialog listed before it")
      endif()
      set(scope "CONTROL_${dialog}")
    else()
      set(scope "${kind}")
    endif()
    list(GET values 0 id)
    list(GET values 1 name)

    if(NOT id MATCHES "^(0x[0-9A-Fa-f]+|[0-9]+)$")
      message(FATAL_ERROR "${def}: ${line}: the number ${id} is not a number")
    endif()
    math(EXPR value "${id}")
    if(NOT name MATCHES "^${prefix_${kind}}[A-Z0-9_]+$")
      message(FATAL_ERROR "${def}: ${line}: the names of TS_${kind} start with ${prefix_${kind}}")
    endif()
    if(name IN_LIST names)
      message(FATAL_ERROR "${def}: ${name} is given twice")
    endif()
    if("${scope}=${value}" IN_LIST seen_numbers)
      message(FATAL_ERROR "${def}: ${name}: number ${id} is given twice for TS_${kind}")
    endif()
    list(APPEND seen_numbers "${scope}=${value}")

    list(APPEND names ${name})
    list(APPEND TS_RES_${kind} ${name})
    set(TS_RES_${name}_KIND ${kind} PARENT_SCOPE)
    set(TS_RES_${name}_ID ${id} PARENT_SCOPE)
    set(TS_RES_${name}_VALUE ${value} PARENT_SCOPE)
    if(kind STREQUAL "CONTROL")
      set(TS_RES_${name}_DIALOG ${dialog} PARENT_SCOPE)
    elseif(count EQUAL 3)
      list(GET values 2 file)
      if(file IN_LIST seen_files)
        message(FATAL_ERROR "${def}: ${name}: the file ${file} is given twice")
      endif()
      list(APPEND seen_files ${file})
      set(TS_RES_${name}_FILE ${file} PARENT_SCOPE)
    endif()
  endforeach()

  if(NOT names)
    message(FATAL_ERROR "${def}: no entries")
  endif()
  set(TS_RES_NAMES ${names} PARENT_SCOPE)
  foreach(kind ICON CLIP DIALOG CONTROL COMMAND BOOT_IMAGE)
    set(TS_RES_${kind} ${TS_RES_${kind}} PARENT_SCOPE)
  endforeach()
  # A configured build reads the list again when it changes.
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${def}")
  endif()
endfunction()

function(tessarin_write_rc_ids output)
  set(content "/* Written by the build from src/res/resource_ids.def, for resource scripts\n")
  string(APPEND content "   only: C++ code takes these names from res/resource_ids.h. */\n")
  foreach(name IN LISTS TS_RES_NAMES)
    string(APPEND content "#define ${name} ${TS_RES_${name}_ID}\n")
  endforeach()
  # Written only when it changes, so that nothing rebuilds needlessly.
  file(CONFIGURE OUTPUT "${output}" CONTENT "${content}" @ONLY)
endfunction()
