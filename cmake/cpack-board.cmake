# Read by cpack for the board package (cmake/install.cmake): ftq is linked
# statically, so the package depends on nothing. A binary that would need
# the board's loader or libraries is refused here rather than shipped with
# a dependency the board's root file system cannot meet.
if(NOT CPACK_FTQ_BOARD_BINARY)
  return()
endif()
execute_process(COMMAND ${CPACK_FTQ_OBJDUMP} -p ${CPACK_FTQ_BOARD_BINARY}
                OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed OR NOT dump MATCHES "Program Header:")
  message(FATAL_ERROR "cannot read ${CPACK_FTQ_BOARD_BINARY} with ${CPACK_FTQ_OBJDUMP}")
endif()
if(dump MATCHES "INTERP|NEEDED")
  message(FATAL_ERROR "${CPACK_FTQ_BOARD_BINARY} is not static: the board package must depend on nothing")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
