# Unit tests sit beside the code they test; the end-to-end tests run the real executable.
if(CMAKE_CROSSCOMPILING)
  # Cross builds compile GoogleTest from the sources Debian ships.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(TRACKRELAY_GTEST GTest::gtest_main)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  set(TRACKRELAY_GTEST GTest::gtest_main)
endif()
include(GoogleTest)

add_executable(trackrelay_tests
  cgi/conversions_test.cc
  cgi/program_run_test.cc
  platform/test_support_posix.cc
)
target_link_libraries(trackrelay_tests PRIVATE trackrelay_core ${TRACKRELAY_GTEST})
gtest_discover_tests(trackrelay_tests DISCOVERY_MODE PRE_TEST)

if(NOT WIN32)
  add_library(trackrelay_e2e STATIC app/end_to_end.cc)
  target_link_libraries(trackrelay_e2e PUBLIC trackrelay_core ${TRACKRELAY_GTEST})
  add_executable(trackrelay_e2e_tests app/end_to_end_test.cc)
  target_link_libraries(trackrelay_e2e_tests PRIVATE trackrelay_e2e)
  target_compile_definitions(trackrelay_e2e PUBLIC
    TRACKRELAY_EXECUTABLE="$<TARGET_FILE:trackrelay>")
  add_dependencies(trackrelay_e2e_tests trackrelay)
  gtest_discover_tests(trackrelay_e2e_tests DISCOVERY_MODE PRE_TEST)
endif()
