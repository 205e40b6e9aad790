# The ROM check on arbitrary bytes, with the device behind test hooks: no
# shell command, no file, no environment write. The check's own sources are
# compiled into the target so that libFuzzer sees their coverage.
upg_fuzz_target(fuzz_rom_check ${CMAKE_CURRENT_LIST_DIR}/fuzz_rom_check.cpp
  ${PROJECT_SOURCE_DIR}/rom/rom_check.cpp ${PROJECT_SOURCE_DIR}/rom/rom_format.cpp)
target_link_libraries(fuzz_rom_check PRIVATE devenv upg_common rl_log)

# The signature block and key readers, and the check against one key.
upg_fuzz_target(fuzz_release_sig ${CMAKE_CURRENT_LIST_DIR}/fuzz_release_sig.cpp ${PROJECT_SOURCE_DIR}/rom/release_sig.cpp
  ${PROJECT_SOURCE_DIR}/rom/rom_format.cpp)
include(${PROJECT_SOURCE_DIR}/cmake/nettle.cmake)
target_link_libraries(fuzz_release_sig PRIVATE upg_nettle upg_common rl_log)
