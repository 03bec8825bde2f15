# Installing and packaging (issue 14). Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# A host build installs ftq-sim for the engineers' workstations: the tool in
# bin/, the man pages ftq-sim(1) and ftq(1), the scenario catalog in
# share/ftq/scenarios/ and docs/ (the GTKWave view with it) in
# share/doc/ftq-sim/; CPack makes the ftq-sim package. The board build
# (cross-compiled) installs ftq in bin/; CPack makes the ftq package for
# armhf. scripts/package.sh builds both. Each package's doc folder, named
# after the package, holds its copyright (DEP-5) and its changelog made from
# NEWS.md; lintian's overrides for what it must keep are in
# cmake/lintian/.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/man.cmake)

# The release, from project(); NEWS.md has a section for it.
set(FTQ_VERSION ${PROJECT_VERSION})
option(FTQ_PACKAGE_BOARD "Install and package ftq for the board rather than ftq-sim"
       ${CMAKE_CROSSCOMPILING})
# Debian wants a contact that mail reaches, on a real domain: the default
# is a placeholder of the reserved example.org, to be set for a release.
set(FTQ_PACKAGE_CONTACT "ftq authors <ftq@example.org>" CACHE STRING
    "The Maintainer field of the packages: Name <address>")
if(FTQ_PACKAGE_BOARD)
  set(FTQ_PACKAGE ftq)
else()
  set(FTQ_PACKAGE ftq-sim)
endif()
set(FTQ_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${FTQ_PACKAGE})

# --version: the project version, and the git description of the checkout
# at build time (the header is rewritten only when that changes).
if(TARGET ftq-sim)
  set(FTQ_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/ftq_version.h)
  add_custom_target(
    ftq-version
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR} -DOUT=${FTQ_VERSION_HEADER}
            -DVERSION=${FTQ_VERSION} -P ${CMAKE_SOURCE_DIR}/cmake/version.cmake
    BYPRODUCTS ${FTQ_VERSION_HEADER}
    COMMENT "Reading the git description for --version"
    VERBATIM)
  add_dependencies(ftq-sim ftq-version)
  target_include_directories(ftq-sim PRIVATE ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(ftq-sim PRIVATE FTQ_VERSION_HEADER)
endif()

# The copyright file in Debian's machine-readable form, with the licence's
# text from LICENSE (each line indented, blank lines as " .").
file(READ ${CMAKE_SOURCE_DIR}/LICENSE FTQ_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\n" "" FTQ_LICENSE_TEXT "${FTQ_LICENSE_TEXT}")
string(REGEX REPLACE "\n+$" "" FTQ_LICENSE_TEXT "${FTQ_LICENSE_TEXT}")
string(REPLACE "\n\n" "\n.\n" FTQ_LICENSE_TEXT "${FTQ_LICENSE_TEXT}")
string(REPLACE "\n" "\n " FTQ_LICENSE_TEXT "${FTQ_LICENSE_TEXT}")
set(FTQ_COPYRIGHT ${CMAKE_BINARY_DIR}/copyright)
file(WRITE ${FTQ_COPYRIGHT}
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ftq\n"
     "\n"
     "Files: *\n"
     "Copyright: 2026 the ftq authors\n"
     "License: Expat\n"
     " ${FTQ_LICENSE_TEXT}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)

# The changelog, Debian's form of NEWS.md, compressed without a time stamp.
# Its newest entry must be this release, or the package would describe
# another version than its own.
file(STRINGS ${CMAKE_SOURCE_DIR}/NEWS.md FTQ_NEWS_RELEASES REGEX "^## [0-9]")
list(GET FTQ_NEWS_RELEASES 0 FTQ_NEWS_NEWEST)
if(NOT FTQ_NEWS_NEWEST MATCHES "^## ${FTQ_VERSION} \\(")
  message(FATAL_ERROR "NEWS.md: the newest release is '${FTQ_NEWS_NEWEST}', not ${FTQ_VERSION}: "
                      "add a section '## ${FTQ_VERSION} (YYYY-MM-DD)' for this release")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/NEWS.md)
set(FTQ_CHANGELOG ${CMAKE_BINARY_DIR}/changelog)
add_custom_command(
  OUTPUT ${FTQ_CHANGELOG}.gz
  COMMAND sh -c "\"$0\" -v package=\"$1\" -v maintainer=\"$2\" -f \"$3\" \"$4\" > \"$5\" && gzip -9nc \"$5\" > \"$5.gz\""
          ${FTQ_AWK} ${FTQ_PACKAGE} ${FTQ_PACKAGE_CONTACT}
          ${CMAKE_SOURCE_DIR}/cmake/news-to-changelog.awk ${CMAKE_SOURCE_DIR}/NEWS.md
          ${FTQ_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/NEWS.md ${CMAKE_SOURCE_DIR}/cmake/news-to-changelog.awk
  COMMENT "Writing the changelog of ${FTQ_PACKAGE} from NEWS.md"
  VERBATIM)
add_custom_target(ftq-changelog ALL DEPENDS ${FTQ_CHANGELOG}.gz)

if(TARGET ftq-sim)
  # ftq-sim finds its catalog through $FTQ_SCENARIOS, then the share folder
  # relative to its binary, then this source tree when it runs from its
  # build folder (sim/tool/catalog.cpp).
  file(RELATIVE_PATH FTQ_SHARE_CATALOG ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_DATADIR}/ftq/scenarios)
  target_compile_definitions(ftq-sim PRIVATE FTQ_SHARE_CATALOG="${FTQ_SHARE_CATALOG}"
                                             FTQ_SOURCE_CATALOG="${CMAKE_SOURCE_DIR}/scenarios")
endif()

install(FILES ${FTQ_COPYRIGHT} ${FTQ_CHANGELOG}.gz DESTINATION ${FTQ_PACKAGE_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/cmake/lintian/${FTQ_PACKAGE}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)

if(FTQ_PACKAGE_BOARD)
  install(TARGETS ftq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
elseif(TARGET ftq-sim AND NOT CMAKE_CROSSCOMPILING)
  # The man pages are the tools' own help texts in roff: one source for both.
  ftq_man_page(NAME ftq-sim SECTION 1
               WHATIS "run the factory test program ftq on a simulated board"
               HELP $<TARGET_FILE:ftq-sim> --help
               DEPENDS ftq-sim)
  # ftq's help text comes from the program on the simulated board; the
  # board root file systems carry no man pages, so the page ships here.
  ftq_man_page(NAME ftq SECTION 1
               WHATIS "factory test of the video-recorder main board"
               HELP sh ${CMAKE_SOURCE_DIR}/cmake/ftq-help-text.sh $<TARGET_FILE:ftq-sim>
                    ${CMAKE_SOURCE_DIR}/README.md
               DEPENDS ftq-sim ${CMAKE_SOURCE_DIR}/cmake/ftq-help-text.sh
                       ${CMAKE_SOURCE_DIR}/README.md)

  install(TARGETS ftq-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/scenarios/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/ftq/scenarios
          FILES_MATCHING PATTERN "*.json" PATTERN "*.expected" PATTERN "*.stderr")
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${FTQ_PACKAGE_DOCDIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${FTQ_VERSION})
set(CPACK_PACKAGE_CONTACT ${FTQ_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VENDOR "ftq")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
if(FTQ_PACKAGE_BOARD)
  set(CPACK_PACKAGE_NAME ftq)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "factory test of the video-recorder main board")
  set(CPACK_PACKAGE_DESCRIPTION
      "ftq is the program a production-line operator runs on a freshly built\n"
      "DVR/NVR/DVS main board: front-panel keys and LEDs, network links, alarm\n"
      "I/O, real-time clock, USB ports, SATA disks, RS-485, the board\n"
      "information report and the port multipliers' firmware. It is linked\n"
      "statically and needs no library of the board's.")
  string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  endif()
  # No dependency: cmake/cpack-board.cmake checks, when cpack runs, that the
  # binary is static.
  set(CPACK_FTQ_BOARD_BINARY ${CMAKE_BINARY_DIR}/ftq)
  set(CPACK_FTQ_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-board.cmake)
else()
  set(CPACK_PACKAGE_NAME ftq-sim)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "factory test program ftq on a simulated board")
  set(CPACK_PACKAGE_DESCRIPTION
      "ftq-sim runs the unchanged factory test program ftq of the video-recorder\n"
      "main board on a deterministic simulated board, in virtual time, with\n"
      "scripted operators and fault injection, and shows what the operator\n"
      "would see and what the board did. With the scenario catalog, its\n"
      "expected transcripts and the documentation.")
  string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  find_program(FTQ_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(FTQ_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    # The C++ runtime; the GB2312 converter is glibc's own.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libsqlite3-0")
  endif()
endif()
include(CPack)
