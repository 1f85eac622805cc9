include(GoogleTest)
find_package(GTest REQUIRED)

# usbredir_add_test(<name> SOURCES ... [LIBS ...]): one GoogleTest binary registered with
# CTest test by test, so that ctest -j runs the cases in parallel.
function(usbredir_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 600)
endfunction()
