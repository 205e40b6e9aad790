upg_unit_test(profile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/profile_test.cpp LIBS devenv)
upg_unit_test(env_store_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/env_store_test.cpp LIBS devenv)
