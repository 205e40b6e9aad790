# The host tools' one INI reader (romtool's image descriptions and simdev's
# device profiles), through the profile's entry point.
upg_fuzz_target(fuzz_simdev_profile ${CMAKE_CURRENT_LIST_DIR}/fuzz_description.cpp ${PROJECT_SOURCE_DIR}/sim/profile.cpp
                ${PROJECT_SOURCE_DIR}/hostlib/ini.cpp)
target_include_directories(fuzz_simdev_profile PRIVATE ${PROJECT_SOURCE_DIR})
