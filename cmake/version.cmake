# Run at build time (cmake -P): writes the header that --version reads, and
# rewrites it only when the text changes, so that a build without a new
# commit recompiles nothing. Variables: SOURCE (the source tree), OUT (the
# header), VERSION (the project version).
execute_process(
  COMMAND git -C "${SOURCE}" describe --always --dirty --tags
  OUTPUT_VARIABLE describe
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE failed)
if(failed)
  # Not a checkout (a source archive) or no git: the version alone.
  set(describe "")
endif()
set(text "#define FTQ_VERSION \"${VERSION}\"\n#define FTQ_GIT_DESCRIBE \"${describe}\"\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
