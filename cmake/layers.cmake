# The layers of the portable core, bottom to top:
#
#   tessarin_base     src/card, src/res   ports, value types, failures, the
#                                         system kinds, the operation log
#   tessarin_fat      src/fat             the FAT volume layer
#   tessarin_boot     src/boot            boot records and card definitions
#   tessarin_install  src/install         firmware and project folder
#   tessarin_restore  src/restore         the restore sequence, the unattended restore
#
# A library's include path reaches only its own folders and those of the
# libraries below it, so that "#include "restore/..."" from src/boot does not
# resolve and an upward include fails to build. Each library publishes an
# include root of its own in the build tree holding links to its source
# folders (include/<root>/<folder> -> src/<folder>); the roots of the lower
# libraries come along through target_link_libraries.

set(TESSARIN_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include)

# tessarin_include_root(TARGET ROOT FOLDER...): makes include/ROOT with one
# link per source folder and gives it to TARGET as its PUBLIC include path.
# A FOLDER given as LINK=FOLDER is linked under another name, which may hold
# folders of its own (lx/card=linux/lx/card: include/ROOT/lx/card -> src/linux/lx/card),
# so that a library of a subfolder holds only its own folder under a prefix.
function(tessarin_include_root target root)
  set(dir ${TESSARIN_INCLUDE_ROOTS}/${root})
  file(MAKE_DIRECTORY ${dir})
  foreach(folder IN LISTS ARGN)
    set(name ${folder})
    if(folder MATCHES "^([^=]+)=(.+)$")
      set(name ${CMAKE_MATCH_1})
      set(folder ${CMAKE_MATCH_2})
    endif()
    set(link ${dir}/${name})
    set(source ${PROJECT_SOURCE_DIR}/src/${folder})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    # A link left by an earlier configure may point at a folder that moved.
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} current)
      if(NOT current STREQUAL source)
        file(REMOVE ${link})
      endif()
    endif()
    if(NOT IS_SYMLINK ${link})
      file(CREATE_LINK ${source} ${link} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${dir})
endfunction()
