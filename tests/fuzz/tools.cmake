# The host tools' readers of description and profile text.
upg_fuzz_target(fuzz_romtool_description ${CMAKE_CURRENT_LIST_DIR}/fuzz_description.cpp
  ${PROJECT_SOURCE_DIR}/tools/romtool/ini.cpp)
target_include_directories(fuzz_romtool_description PRIVATE ${PROJECT_SOURCE_DIR})
upg_fuzz_target(fuzz_simdev_profile ${CMAKE_CURRENT_LIST_DIR}/fuzz_description.cpp ${PROJECT_SOURCE_DIR}/sim/profile.cpp)
target_include_directories(fuzz_simdev_profile PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(fuzz_simdev_profile PRIVATE FUZZ_SIMDEV_PROFILE=1)
