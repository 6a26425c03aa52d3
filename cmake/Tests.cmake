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

# The power-cut tests build LazyFS from its source beside this project, once for every build of
# the checkout (harness/shares/power_cut_test.sh), and mount it for the drives.
# A clone of a local checkout (as CI makes one) finds it beside the checkout it was cloned from.
set(lazyfs_source "${PROJECT_SOURCE_DIR}/../shared/lazyfs")
if(NOT EXISTS "${lazyfs_source}/CMakeLists.txt")
  execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" remote get-url origin
                  OUTPUT_VARIABLE origin OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE no_origin)
  if(NOT no_origin AND IS_ABSOLUTE "${origin}" AND EXISTS "${origin}/../shared/lazyfs/CMakeLists.txt")
    set(lazyfs_source "${origin}/../shared/lazyfs")
  endif()
endif()
set(TRACKRELAY_LAZYFS_SOURCE "${lazyfs_source}" CACHE PATH "LazyFS's source, for the power-cut tests")
set(TRACKRELAY_LAZYFS_BUILD "${PROJECT_SOURCE_DIR}/build/lazyfs" CACHE PATH
    "Where the power-cut tests build LazyFS")
option(TRACKRELAY_POWER_CUT_TESTS "Run the power-cut tests on LazyFS" ON)
