# Man pages made from a tool's own help text, so that the two never say
# different things, and compressed as Debian ships them.
#
#   ftq_man_page(NAME ftq-sim SECTION 1
#                WHATIS "run the factory test program ftq on a simulated board"
#                HELP $<TARGET_FILE:ftq-sim> --help
#                DEPENDS ftq-sim)
#
# runs the HELP command at build time, turns its standard output into roff
# with cmake/help-to-man.awk (which describes the shape the text must have)
# and installs NAME.SECTION.gz into the man folder of that section. The
# uncompressed page stays in the build folder's man/ for a look with
# `man -l`. HELP may be any command, a script that composes the text
# included; it must succeed and print something, or the build fails.
find_program(FTQ_AWK NAMES mawk gawk awk REQUIRED)
find_program(FTQ_GZIP gzip REQUIRED)

function(ftq_man_page)
  cmake_parse_arguments(PARSE_ARGV 0 MAN "" "NAME;SECTION;WHATIS" "HELP;DEPENDS")
  if(NOT MAN_NAME OR NOT MAN_SECTION OR NOT MAN_WHATIS OR NOT MAN_HELP)
    message(FATAL_ERROR "ftq_man_page needs NAME, SECTION, WHATIS and HELP")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/man)
  set(page ${dir}/${MAN_NAME}.${MAN_SECTION})
  add_custom_command(
    OUTPUT ${page}.gz ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    # The help text first into a file: a command that fails, or prints
    # nothing, must not leave a page that says nothing.
    COMMAND sh -c "out=$0; \"$@\" > \"$out\" && test -s \"$out\"" ${page}.help ${MAN_HELP}
    COMMAND sh -c "\"$0\" -v name=\"$1\" -v section=\"$2\" -v version=\"$3\" -v whatis=\"$4\" -f \"$5\" \"$6\" > \"$7\""
            ${FTQ_AWK} ${MAN_NAME} ${MAN_SECTION} ${PROJECT_VERSION} ${MAN_WHATIS}
            ${CMAKE_SOURCE_DIR}/cmake/help-to-man.awk ${page}.help ${page}
    # -n: no name or time stamp in the gzip header, so that the same page
    # gives the same bytes (lintian's package-contains-timestamped-gzip).
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$1.gz\"" ${FTQ_GZIP} ${page}
    DEPENDS ${MAN_DEPENDS} ${CMAKE_SOURCE_DIR}/cmake/help-to-man.awk
    COMMENT "Generating the man page ${MAN_NAME}(${MAN_SECTION})"
    VERBATIM)
  add_custom_target(${MAN_NAME}-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${MAN_SECTION})
endfunction()
