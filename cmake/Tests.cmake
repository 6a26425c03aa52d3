# Unit tests sit beside the code they test (trackrelay_tests); the end-to-end tests run the real
# executable (trackrelay_e2e_tests). Each folder's CMakeLists.txt adds its own test sources.
if(CMAKE_CROSSCOMPILING)
  # Cross builds compile GoogleTest from the sources Debian ships.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

add_executable(trackrelay_tests)
target_link_libraries(trackrelay_tests PRIVATE trackrelay_core GTest::gtest_main)
