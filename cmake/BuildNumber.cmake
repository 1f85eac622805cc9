# The build number that the plug-in reports in its start-up line ("build-<number>"):
#  - USBREDIR_BUILD_NUMBER when set (a packager's or a CI system's own counter);
#  - otherwise the number of commits of the git checkout the sources come from;
#  - otherwise 0 (a source tarball, a shallow clone, or no git on the machine).
# It is worked out again on every build, but ${USBREDIR_GENERATED_DIR}/BuildNumber.h is
# rewritten only when the number changes, and only the files that include it recompile
# (runtime/ProcessUtils.cpp and the start-up test).
set(USBREDIR_BUILD_NUMBER "" CACHE STRING
    "Build number to report (default: the git commit count, or 0 outside a git checkout)")
if(NOT USBREDIR_BUILD_NUMBER MATCHES "^[0-9]*$")
  message(FATAL_ERROR "USBREDIR_BUILD_NUMBER must be a decimal number, not '${USBREDIR_BUILD_NUMBER}'")
endif()

set(USBREDIR_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set(_build_number_command ${CMAKE_COMMAND}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DOUTPUT=${USBREDIR_GENERATED_DIR}/BuildNumber.h
    -DOVERRIDE=${USBREDIR_BUILD_NUMBER})
set(_build_number_script ${CMAKE_CURRENT_LIST_DIR}/WriteBuildNumber.cmake)

# Once now, so that the header exists and the number shows in the configure output.
execute_process(COMMAND ${_build_number_command} -DPRINT=ON -P ${_build_number_script}
                OUTPUT_VARIABLE _build_number
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Build number: ${_build_number}")

# And on every build (BYPRODUCTS: Ninja looks at the header's time again after the run).
add_custom_target(usbredir_build_number
  COMMAND ${_build_number_command} -P ${_build_number_script}
  BYPRODUCTS ${USBREDIR_GENERATED_DIR}/BuildNumber.h
  VERBATIM)
