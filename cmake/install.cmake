# Installing and packaging (issue 14). Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# A host build installs ftq-sim for the engineers' workstations: the tool in
# bin/, its man page, the scenario catalog in share/ftq/scenarios/ and docs/
# (the GTKWave view with it) in share/doc/ftq/; CPack makes the ftq-sim
# package. The board build (cross-compiled) installs ftq in bin/; CPack
# makes the ftq package for armhf. scripts/package.sh builds both.
include(GNUInstallDirs)

set(FTQ_VERSION 0.1.0)
option(FTQ_PACKAGE_BOARD "Install and package ftq for the board rather than ftq-sim"
       ${CMAKE_CROSSCOMPILING})
set(FTQ_PACKAGE_CONTACT "ftq engineers <ftq@localhost>" CACHE STRING
    "The Maintainer field of the packages")

if(TARGET ftq-sim)
  # ftq-sim finds its catalog through $FTQ_SCENARIOS, then the share folder
  # relative to its binary, then this source tree when it runs from its
  # build folder (sim/tool/catalog.cpp).
  file(RELATIVE_PATH FTQ_SHARE_CATALOG ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_DATADIR}/ftq/scenarios)
  target_compile_definitions(ftq-sim PRIVATE FTQ_SHARE_CATALOG="${FTQ_SHARE_CATALOG}"
                                             FTQ_SOURCE_CATALOG="${CMAKE_SOURCE_DIR}/scenarios")
endif()

if(FTQ_PACKAGE_BOARD)
  install(TARGETS ftq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
elseif(TARGET ftq-sim AND NOT CMAKE_CROSSCOMPILING)
  # The man page is ftq-sim's own --help text in roff: one source for both.
  find_program(FTQ_AWK NAMES mawk gawk awk REQUIRED)
  set(FTQ_SIM_MAN ${CMAKE_BINARY_DIR}/ftq-sim.1)
  add_custom_command(
    OUTPUT ${FTQ_SIM_MAN}
    COMMAND sh -c "\"$0\" --help | \"$1\" -v name=ftq-sim -v section=1 -v version=$2 -v whatis=\"$3\" -f \"$4\" > \"$5\""
            $<TARGET_FILE:ftq-sim> ${FTQ_AWK} ${FTQ_VERSION}
            "run the factory test program ftq on a simulated board"
            ${CMAKE_SOURCE_DIR}/cmake/help-to-man.awk ${FTQ_SIM_MAN}
    DEPENDS ftq-sim ${CMAKE_SOURCE_DIR}/cmake/help-to-man.awk
    COMMENT "Generating the man page ftq-sim.1 from ftq-sim --help"
    VERBATIM)
  add_custom_target(ftq-sim-man ALL DEPENDS ${FTQ_SIM_MAN})

  install(TARGETS ftq-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${FTQ_SIM_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/scenarios/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/ftq/scenarios
          FILES_MATCHING PATTERN "*.json" PATTERN "*.expected" PATTERN "*.stderr")
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "the factory test program ftq on a simulated board")
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
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()
include(CPack)
