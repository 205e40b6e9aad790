upg_unit_test(config_maint_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_maint_test.cpp LIBS devenv)
