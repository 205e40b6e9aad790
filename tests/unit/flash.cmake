# Flash programming, the MTD layout step and the MTD device layer, on
# file-backed flash inside the simulated phone.
upg_unit_test(mtd_device_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mtd_device_test.cpp LIBS platform)
if(TARGET devenv)
  upg_unit_test(mtd_layout_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mtd_layout_test.cpp LIBS devenv)
endif()
if(TARGET rom)
  upg_unit_test(flash_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/flash_test.cpp ${CMAKE_CURRENT_LIST_DIR}/ui_recorder.cpp
    LIBS rom)
endif()
