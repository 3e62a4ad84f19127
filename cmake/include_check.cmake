# The layers' rule as a step of the build: every source this build compiles
# reaches only the headers of its own folder and of its include path, and no
# include under src/ climbs with "..". scripts/check_includes.py does the
# checking, by preprocessing each source with its compile command (no
# compile); it runs again when compile_commands.json, the script or any file
# it read last time changes, and then only for the sources whose files
# changed. A fault fails the build.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TESSARIN_INCLUDE_CHECK ${PROJECT_SOURCE_DIR}/scripts/check_includes.py)
set(stamp ${CMAKE_BINARY_DIR}/include_check/checked.stamp)
add_custom_command(
  OUTPUT ${stamp}
  COMMAND ${Python3_EXECUTABLE} ${TESSARIN_INCLUDE_CHECK} --build ${CMAKE_BINARY_DIR} --source ${PROJECT_SOURCE_DIR}
          --stamp ${stamp} --depfile ${CMAKE_BINARY_DIR}/include_check/checked.d
  DEPENDS ${TESSARIN_INCLUDE_CHECK} ${PROJECT_SOURCE_DIR}/scripts/compile_commands.py
          ${CMAKE_BINARY_DIR}/compile_commands.json
  DEPFILE ${CMAKE_BINARY_DIR}/include_check/checked.d
  COMMENT "Checking that every source keeps to its include path"
  VERBATIM)
add_custom_target(include_check ALL DEPENDS ${stamp})
