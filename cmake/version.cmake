# The project's one version (project() in the top CMakeLists) and the commit
# the tree was configured from, when it is a git checkout, in a generated
# header for the programs that print them.
set(CALLCTLD_COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE CALLCTLD_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_result ERROR_QUIET)
  if(NOT git_result EQUAL 0)
    set(CALLCTLD_COMMIT "")
  endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)

# The first local year the schedule's driver takes for a set clock: a board
# without a battery-backed clock starts in 1970 and waits until the network
# time arrives. Fixed here (the release year by default) rather than taken
# from the build date, so that a build is reproducible and a later build does
# not turn valid test dates into "waiting for a valid clock".
set(CALLCTLD_VALID_CLOCK_YEAR 2026 CACHE STRING "First local year of a valid clock for the schedule's driver")
if(NOT CALLCTLD_VALID_CLOCK_YEAR MATCHES "^[0-9][0-9][0-9][0-9]$")
  message(FATAL_ERROR "CALLCTLD_VALID_CLOCK_YEAR must be a year of four digits, not '${CALLCTLD_VALID_CLOCK_YEAR}'")
endif()
