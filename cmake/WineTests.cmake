# The Windows build's tests, run under Wine: the unit tests as they are, and the end-to-end
# tests of trackrelay.exe from a harness built for this machine (it forks, execs and watches
# files the POSIX way), in the same cases as on the POSIX build.
#
# Every test of a run shares one Wine prefix in this build folder; wine-run.sh makes it on first
# use, and the last step of the run removes it again, so that each run starts from a new one.
set(TRACKRELAY_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(TRACKRELAY_WINE_RUN "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")

add_test(NAME wine_prefix_make COMMAND ${TRACKRELAY_WINE_RUN} ${TRACKRELAY_WINE_PREFIX} cmd /c exit 0)
set_tests_properties(wine_prefix_make PROPERTIES FIXTURES_SETUP wine_prefix)
add_test(NAME wine_prefix_remove COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/wine-prefix-remove.sh ${TRACKRELAY_WINE_PREFIX})
set_tests_properties(wine_prefix_remove PROPERTIES FIXTURES_CLEANUP wine_prefix)

# The listing may have to wait for the prefix to be made.
gtest_discover_tests(trackrelay_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES FIXTURES_REQUIRED wine_prefix)

option(TRACKRELAY_WINE_E2E_TESTS "Run the end-to-end tests of trackrelay.exe under Wine" ON)
# The build for this machine whose harness (and simulator) the Wine tests take: the checkout's
# default build where it is configured, which builds the same harness for its own tests, so that
# nothing is built twice; else this project once more, configured for this machine in this build
# folder, for the harness alone.
set(TRACKRELAY_HOST_BUILD "" CACHE PATH
    "A configured build of this project for this machine whose end-to-end harness the Wine tests take")
if(TRACKRELAY_WINE_E2E_TESTS)
  include(ExternalProject)
  set(host_build "${TRACKRELAY_HOST_BUILD}")
  if(host_build STREQUAL "" AND EXISTS "${PROJECT_SOURCE_DIR}/build/default/CMakeCache.txt")
    set(host_build "${PROJECT_SOURCE_DIR}/build/default")
  endif()
  if(NOT host_build STREQUAL "")
    # Brought up to date, a moment's work when its own tests were built.
    ExternalProject_Add(trackrelay_host_e2e
      SOURCE_DIR "${PROJECT_SOURCE_DIR}"
      BINARY_DIR "${host_build}"
      CONFIGURE_COMMAND ""
      BUILD_COMMAND ${CMAKE_COMMAND} --build "${host_build}" --target trackrelay_e2e_tests
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      BUILD_BYPRODUCTS "${host_build}/e2e/trackrelay_e2e_tests"
    )
  else()
    set(host_build "${CMAKE_BINARY_DIR}/host-e2e")
    ExternalProject_Add(trackrelay_host_e2e
      SOURCE_DIR "${PROJECT_SOURCE_DIR}"
      BINARY_DIR "${host_build}"
      CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=
      BUILD_COMMAND ${CMAKE_COMMAND} --build "${host_build}" --target trackrelay_e2e_tests
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      BUILD_BYPRODUCTS "${host_build}/e2e/trackrelay_e2e_tests"
    )
  endif()
  add_dependencies(trackrelay_host_e2e trackrelay trackrelay-check)

  # The harness learns from its environment to run trackrelay.exe under Wine, with drives
  # mapped from the prefix (see e2e/end_to_end_wine.cc).
  add_executable(trackrelay_wine_e2e_tests IMPORTED)
  set_target_properties(trackrelay_wine_e2e_tests PROPERTIES
    IMPORTED_LOCATION "${host_build}/e2e/trackrelay_e2e_tests"
    CROSSCOMPILING_EMULATOR
      "${CMAKE_COMMAND};-E;env;TRACKRELAY_E2E_EXECUTABLE=$<TARGET_FILE:trackrelay>;TRACKRELAY_E2E_CHECK_EXECUTABLE=$<TARGET_FILE:trackrelay-check>;TRACKRELAY_E2E_WINEPREFIX=${TRACKRELAY_WINE_PREFIX}")
  gtest_discover_tests(trackrelay_wine_e2e_tests DISCOVERY_MODE PRE_TEST
                       PROPERTIES FIXTURES_REQUIRED wine_prefix)

  # The same with r: on a real network share (harness/shares/share_test.sh). SFTP always. Samba
  # only on request: Wine renames a file through a handle it holds open on it, and smbnetfs
  # makes of the rename a second SMB open of the file, which the Samba server refuses beside the
  # first (a sharing violation), so that under Wine every publication on that share ends in
  # internal error 3. A Windows client renames on the open handle itself, in one request; there
  # is none on this machine to show it.
  option(TRACKRELAY_WINE_SMB_TESTS "Run the end-to-end tests under Wine with r: on the Samba share too" OFF)
  set(wine_shares sftp gluster ceph)
  if(TRACKRELAY_WINE_SMB_TESTS)
    list(APPEND wine_shares smb)
  endif()
  set(wine_clusters gluster ceph)
  if(NOT TRACKRELAY_SHARE_TESTS)
    set(wine_shares "")
    set(wine_clusters "")
  endif()
  foreach(share ${wine_shares})
    trackrelay_cluster_lock(lock ${share})
    if(NOT share STREQUAL "gluster" AND NOT share STREQUAL "ceph")
      set(lock "")
    endif()
    add_test(NAME share_${share}_wine
      COMMAND ${lock} ${CMAKE_COMMAND} -E env TRACKRELAY_E2E_EXECUTABLE=$<TARGET_FILE:trackrelay>
              TRACKRELAY_E2E_WINEPREFIX=${TRACKRELAY_WINE_PREFIX}
              bash ${PROJECT_SOURCE_DIR}/harness/shares/share_test.sh ${share} ${host_build}/e2e/trackrelay_e2e_tests)
    # Clusters take turns, on the machine as in the POSIX build's tests (cmake/Tests.cmake).
    trackrelay_share_test(share_${share}_wine ${share} 90 450)
    # A quarter of the test run's eight slots, here and for the fault tests below: their Wine
    # processes are the heaviest of the run on 2 cores. Not more: one that waits for its cluster's
    # turn on the machine holds its slots meanwhile.
    set_tests_properties(share_${share}_wine PROPERTIES FIXTURES_REQUIRED wine_prefix PROCESSORS 2)
  endforeach()

  # The farm of web servers on one cluster file system, a GlusterFS volume or CephFS
  # (harness/shares/farm_test.sh), each web server a Wine prefix of its own, c:\woe linked and r:
  # mapped onto the file system through its own client.
  foreach(cluster ${wine_clusters})
    trackrelay_cluster_lock(lock ${cluster})
    add_test(NAME farm_${cluster}_wine
      COMMAND ${lock} ${CMAKE_COMMAND} -E env TRACKRELAY_E2E_EXECUTABLE=$<TARGET_FILE:trackrelay>
              TRACKRELAY_E2E_WINEPREFIX=${TRACKRELAY_WINE_PREFIX}
              bash ${PROJECT_SOURCE_DIR}/harness/shares/farm_test.sh ${cluster} ${host_build}/e2e/trackrelay_e2e_tests)
    trackrelay_share_test(farm_${cluster}_wine ${cluster} 300 900)
    # One farm at a time, beside the other tests: its 240 Wine processes at once take both cores.
    set_tests_properties(farm_${cluster}_wine PROPERTIES FIXTURES_REQUIRED wine_prefix)
    set_property(TEST farm_${cluster}_wine APPEND PROPERTY RESOURCE_LOCK farm)
    set_property(TEST farm_${cluster}_wine APPEND PROPERTY LABELS farm)
  endforeach()

  # The power-cut tests (harness/shares/power_cut_test.sh) with trackrelay.exe under Wine: its
  # FlushFileBuffers is an fsync there, which LazyFS honours as the POSIX build's.
  if(TRACKRELAY_POWER_CUT_TESTS)
    add_test(NAME power_cut_wine
      COMMAND ${CMAKE_COMMAND} -E env TRACKRELAY_E2E_EXECUTABLE=$<TARGET_FILE:trackrelay>
              TRACKRELAY_E2E_WINEPREFIX=${TRACKRELAY_WINE_PREFIX}
              bash ${PROJECT_SOURCE_DIR}/harness/shares/power_cut_test.sh ${TRACKRELAY_LAZYFS_SOURCE}
              ${TRACKRELAY_LAZYFS_BUILD} ${host_build}/e2e/trackrelay_e2e_tests)
    set_tests_properties(power_cut_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1500 FIXTURES_REQUIRED wine_prefix
                         LABELS power_cut COST 150)
  endif()

  # The soak (harness/soak/) with trackrelay.exe under Wine, on the local disk with power cuts
  # (LazyFS): a minute of requests from three clients under random faults, and the quiet after.
  option(TRACKRELAY_SOAK_TESTS "Run the soaks under random faults" ON)
  if(TRACKRELAY_SOAK_TESTS AND TRACKRELAY_POWER_CUT_TESTS)
    add_test(NAME soak_local_wine
      COMMAND ${CMAKE_COMMAND} -E env TRACKRELAY_SOAK_WINE_PREFIX=${TRACKRELAY_WINE_PREFIX}
              TRACKRELAY_LAZYFS_SOURCE=${TRACKRELAY_LAZYFS_SOURCE} TRACKRELAY_LAZYFS_BUILD=${TRACKRELAY_LAZYFS_BUILD}
              bash ${PROJECT_SOURCE_DIR}/harness/soak/soak_test.sh local $<TARGET_FILE:trackrelay>
              ${host_build}/remote_host/trackrelay-remote-host --seconds 60 --clients 3
              --replay "TRACKRELAY_SOAK_SEED={seed} ctest --preset windows -R soak_local_wine")
    set_tests_properties(soak_local_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 FIXTURES_REQUIRED wine_prefix
                         LABELS soak COST 1000)
  endif()

  # The fault tests of the shares (harness/shares/faults.sh) with trackrelay.exe under Wine, on
  # the shares where Wine passes the exchange's tests.
  option(TRACKRELAY_SHARE_FAULT_TESTS "Run the fault tests on the network shares" ON)
  if(TRACKRELAY_SHARE_FAULT_TESTS AND TRACKRELAY_SHARE_TESTS)
    foreach(share sftp gluster ceph)
      trackrelay_cluster_lock(lock ${share})
      if(NOT share STREQUAL "gluster" AND NOT share STREQUAL "ceph")
        set(lock "")
      endif()
      add_test(NAME share_faults_${share}_wine
        COMMAND ${lock} ${CMAKE_COMMAND} -E env TRACKRELAY_E2E_EXECUTABLE=$<TARGET_FILE:trackrelay>
                TRACKRELAY_E2E_WINEPREFIX=${TRACKRELAY_WINE_PREFIX}
                bash ${PROJECT_SOURCE_DIR}/harness/shares/share_test.sh ${share} ${host_build}/e2e/trackrelay_e2e_tests faults)
      trackrelay_share_test(share_faults_${share}_wine ${share} 270 700)
      set_tests_properties(share_faults_${share}_wine PROPERTIES FIXTURES_REQUIRED wine_prefix PROCESSORS 2)
      set_property(TEST share_faults_${share}_wine APPEND PROPERTY LABELS faults)
    endforeach()
  endif()
endif()
