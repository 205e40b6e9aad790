# The simulator's own tests run on the host side: each case boots a device
# root itself with simdev, around the stand-in program of sim/testdata. A
# cross build runs the host build's test binary and simdev around its own
# (mipsel, under qemu-user) stand-in.
if(NOT UPG_TARGET_MIPSEL)
  add_executable(sim_boot_test ${CMAKE_CURRENT_LIST_DIR}/sim_boot_test.cpp)
  target_link_libraries(sim_boot_test PRIVATE simcore upg_testsupport GTest::gtest_main Threads::Threads)
  set_target_properties(sim_boot_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sim)
  target_compile_definitions(sim_boot_test PRIVATE
    SIM_SIMDEV="$<TARGET_FILE:simdev>" SIM_STANDIN="$<TARGET_FILE:sim_standin>" SIM_ROMTOOL="$<TARGET_FILE:romtool>"
    SIM_WORK_DIR="${CMAKE_BINARY_DIR}/simroots/sim_boot_test" SIM_PROFILES="${PROJECT_SOURCE_DIR}/sim/profiles")
  # The programs the cases start are built with it, so that building the
  # test alone never leaves them stale.
  add_dependencies(sim_boot_test simdev sim_standin romtool)
  if(TARGET shmwriter)
    add_dependencies(sim_boot_test shmwriter)
  endif()
  add_test(NAME sim_boot_test COMMAND sim_boot_test)
else()
  add_test(NAME sim_boot_test COMMAND ${UPG_HOST_TOOLS_DIR}/sim/sim_boot_test)
  set_tests_properties(sim_boot_test PROPERTIES ENVIRONMENT
    "SIM_STANDIN=$<TARGET_FILE:sim_standin>;SIM_WORK_DIR=${CMAKE_BINARY_DIR}/simroots/sim_boot_test")
endif()
