# romtool is a host tool: its tests run on the host, not in a simulated
# root, because `romtool check` boots a simulated device of its own.
if(NOT UPG_TARGET_MIPSEL)
  add_executable(romtool_test ${CMAKE_CURRENT_LIST_DIR}/romtool_test.cpp)
  target_link_libraries(romtool_test PRIVATE upg_testsupport GTest::gtest_main Threads::Threads)
  target_compile_definitions(romtool_test PRIVATE UPG_ROMTOOL="$<TARGET_FILE:romtool>"
                             UPG_BINARY_DIR="${CMAKE_BINARY_DIR}" UPG_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(romtool_test romtool)
  add_test(NAME romtool_test COMMAND romtool_test)
endif()
