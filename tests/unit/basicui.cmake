upg_unit_test(controls_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/controls_test.cpp LIBS basicui)
upg_unit_test(dialog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/dialog_test.cpp LIBS basicui)
upg_unit_test(keypad_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/keypad_test.cpp LIBS basicui)
