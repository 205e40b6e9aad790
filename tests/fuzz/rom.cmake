# The ROM check on arbitrary bytes, with the device behind test hooks: no
# shell command, no file, no environment write. The check's own sources are
# compiled into the target so that libFuzzer sees their coverage.
upg_fuzz_target(fuzz_rom_check ${CMAKE_CURRENT_LIST_DIR}/fuzz_rom_check.cpp
  ${PROJECT_SOURCE_DIR}/rom/rom_check.cpp ${PROJECT_SOURCE_DIR}/rom/rom_format.cpp)
target_link_libraries(fuzz_rom_check PRIVATE devenv upg_common rl_log)
