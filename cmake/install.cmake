# Installing and packaging (issue 14). Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# A host build installs ftq-sim for the engineers' workstations: the tool in
# bin/, its man page, the scenario catalog in share/ftq/scenarios/ and docs/
# (the GTKWave view with it) in share/doc/ftq/; CPack makes the ftq-sim
# package. The board build (cross-compiled) installs ftq in bin/; CPack
# makes the ftq package for armhf. scripts/package.sh builds both.
include(GNUInstallDirs)

if(TARGET ftq-sim)
  # ftq-sim finds its catalog through $FTQ_SCENARIOS, then the share folder
  # relative to its binary, then this source tree when it runs from its
  # build folder (sim/tool/catalog.cpp).
  file(RELATIVE_PATH FTQ_SHARE_CATALOG ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_DATADIR}/ftq/scenarios)
  target_compile_definitions(ftq-sim PRIVATE FTQ_SHARE_CATALOG="${FTQ_SHARE_CATALOG}"
                                             FTQ_SOURCE_CATALOG="${CMAKE_SOURCE_DIR}/scenarios")
endif()

