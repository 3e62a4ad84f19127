# The Linux program as the system installs it: `cmake --install` puts the
# program, its man page and the sample card definitions into the FHS places
# under the prefix, and CPack's DEB generator makes a Debian package of
# them (`cpack -G DEB` in the build folder). Native builds only.
#
# The program looks for CFDef.ini in the working folder first, then in
# ../share/tessarin beside its own folder, where this installs it.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)

# Hardening as Debian builds its packages: the stack protector, checked
# string and memory functions and format strings everywhere, the GOT
# read-only and every symbol bound at start. The checked functions need the
# optimiser, which the suites' own sources go without, so they are asked
# for by the program's sources alone (tessarin_harden_program_sources).
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
add_link_options(LINKER:-z,relro LINKER:-z,now)

# Every target made of sources under src/ gets _FORTIFY_SOURCE, once every
# target is known.
function(tessarin_harden_program_sources)
  tessarin_collect_targets(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(dir ${target} SOURCE_DIR)
    if(type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$" AND dir MATCHES "^${PROJECT_SOURCE_DIR}/src(/|$)")
      target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    endif()
  endforeach()
endfunction()

# Installing never builds first: the package is made from the built tree.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

function(tessarin_install_rules)
  install(TARGETS tessarin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian's policy: manual pages and changelogs compressed, without the
  # name and time of the file in the gzip header (-n), so that the package
  # is the same each time it is made.
  set(man ${CMAKE_BINARY_DIR}/packaging/tessarin.1.gz)
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(
    OUTPUT ${man} ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND sh -c "gzip -9nc \"$1\" >\"$2\" && gzip -9nc \"$3\" >\"$4\"" sh ${PROJECT_SOURCE_DIR}/doc/tessarin.1
            ${man} ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/tessarin.1 ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Compressing the man page and the changelog"
    VERBATIM)
  add_custom_target(packaging_files ALL DEPENDS ${man} ${changelog})
  install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/src/res/cfdef_sample.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/tessarin
          RENAME CFDef.ini)
  install(FILES ${changelog} ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessarin)
endfunction()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessarin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessarin developers <${TESSARIN_BUG_ADDRESS}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restore an operator panel's system onto its boot card")
# The long description, in lines of Debian's width.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "tessarin restores the system software of an industrial operator panel"
       "(ROM-DOS, DOS or Windows CE) onto the panel's SD or CompactFlash boot card,"
       "given as a block device or a whole-card image: it saves the card's project"
       "folder, formats the card FAT32, writes the boot records, installs the system"
       "from its installer archive, puts the project folder back and reads"
       "everything back before it reports success.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dosfstools")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
