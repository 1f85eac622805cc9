# USBREDIR_COVERAGE=ON instruments every target for gcov (scripts/coverage.sh reads the
# counts with gcovr). The counters are updated atomically: the tests run many threads over
# the same code, and racing plain increments leave negative branch counts behind.
option(USBREDIR_COVERAGE "Build with gcov instrumentation (gcc)" OFF)
if(USBREDIR_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "USBREDIR_COVERAGE needs gcc (gcov's data format)")
  endif()
  if(NOT USBREDIR_SANITIZE STREQUAL "")
    message(FATAL_ERROR "USBREDIR_COVERAGE does not combine with USBREDIR_SANITIZE")
  endif()
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()
