# Image format and ROM check. The check's tests build their images with the
# host romtool (a cross build uses the host build's copy, which must lie in a
# folder the test's device root can see: the source tree or this build tree).
upg_unit_test(rom_format_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rom_format_test.cpp LIBS rom)
upg_unit_test(rom_check_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rom_check_test.cpp LIBS rom)
if(UPG_TARGET_MIPSEL)
  # The romtool target lives in tools/romtool/ of the host tree.
  set(rom_test_romtool ${UPG_HOST_TOOLS_DIR}/tools/romtool/romtool)
else()
  set(rom_test_romtool ${UPG_ROMTOOL})
endif()
target_compile_definitions(rom_check_test PRIVATE UPG_ROMTOOL="${rom_test_romtool}")
if(TARGET romtool)
  add_dependencies(rom_check_test romtool)
endif()
upg_unit_test(release_sig_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/release_sig_test.cpp LIBS rom)
target_compile_definitions(release_sig_test PRIVATE UPG_ROMTOOL="${rom_test_romtool}")
