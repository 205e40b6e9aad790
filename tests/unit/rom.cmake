# Image format and ROM check. The check's tests build their images with the
# host romtool (a cross build uses the host build's copy).
upg_unit_test(rom_format_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rom_format_test.cpp LIBS rom)
upg_unit_test(rom_check_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/rom_check_test.cpp LIBS rom)
target_compile_definitions(rom_check_test PRIVATE UPG_ROMTOOL="${UPG_ROMTOOL}")
if(TARGET romtool)
  add_dependencies(rom_check_test romtool)
endif()
