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

# The tests on network shares and of a farm (label share): the exchange's end-to-end cases with r:
# on a real share, the farm's, and the shares' faults (harness/, and under Wine
# cmake/WineTests.cmake). The asan preset leaves them out: they run the code that the end-to-end
# tests on a local drive run, which it keeps.
option(TRACKRELAY_SHARE_TESTS "Run the tests on network shares and of a farm" ON)

# The tests that bring up a GlusterFS volume or a Ceph cluster take turns, at most two clusters of a
# kind at a time on the machine: by two lock files, one a turn, that the test's command waits for
# (cmake/cluster-turn.sh), across the runs of several builds at once (scripts/test.sh runs two
# builds' tests side by side), closed in the test itself so that no daemon it starts goes on
# holding it; and within one ctest run by a resource (KIND_cluster), so that ctest starts no more
# than it has turns for. The test presets name how many: two of each in the Windows run
# (cmake/test-resources-wine.json), whose Gluster tests under Wine are the run's longest chain; two
# Ceph clusters and one GlusterFS volume in the POSIX run (cmake/test-resources.json), whose tests
# on shares all start at once, the heaviest minutes of the whole run: with two volumes there, a
# brick starved for 42 s and its clients gave it up. The wait for a turn comes on top of a test's
# own time limit.
set(TRACKRELAY_CLUSTER_LOCK_WAIT 1800)
function(trackrelay_cluster_lock out kind)
  set(${out} sh ${PROJECT_SOURCE_DIR}/cmake/cluster-turn.sh ${kind} 2 ${TRACKRELAY_CLUSTER_LOCK_WAIT} PARENT_SCOPE)
endfunction()

# Marks the test of a share (LABELS share, and cluster on a cluster file system) with its time
# limit, and orders it among the first: without the costs of an earlier run, ctest would start
# the tests that wait longest last.
function(trackrelay_share_test name kind seconds limit)
  set(labels share)
  set(lock "")
  if(kind STREQUAL "gluster" OR kind STREQUAL "ceph")
    list(APPEND labels cluster)
    set(lock RESOURCE_GROUPS ${kind}_cluster:1)
    math(EXPR limit "${limit} + ${TRACKRELAY_CLUSTER_LOCK_WAIT}")
  endif()
  set_property(TEST ${name} APPEND PROPERTY LABELS ${labels})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${limit} COST ${seconds} ${lock})
endfunction()

# The unit tests, each a CTest test of its own. The Windows build runs them, and the end-to-end
# tests (e2e/) of trackrelay.exe, under Wine.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WineTests.cmake)
else()
  gtest_discover_tests(trackrelay_tests DISCOVERY_MODE PRE_TEST)
endif()
