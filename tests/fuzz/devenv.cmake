# Parsers of the environment store and the profile reader. Their sources are
# compiled into each target as well, so that libFuzzer sees their coverage;
# devenv brings the rest (shell runner, logging).
set(devenv_fuzzed_sources
  ${PROJECT_SOURCE_DIR}/devenv/profile.cpp
  ${PROJECT_SOURCE_DIR}/devenv/env_store.cpp)
foreach(t profile env hwver)
  upg_fuzz_target(fuzz_${t} ${CMAKE_CURRENT_LIST_DIR}/fuzz_${t}.cpp ${devenv_fuzzed_sources})
  target_link_libraries(fuzz_${t} PRIVATE devenv)
endforeach()

# The layout step and the environment writer run commands and use the
# phone's fixed paths: scripts/fuzz.sh runs them inside a simulated root.
upg_fuzz_target(fuzz_layout ${CMAKE_CURRENT_LIST_DIR}/fuzz_layout.cpp ${PROJECT_SOURCE_DIR}/devenv/mtd_layout.cpp
  ${devenv_fuzzed_sources})
target_link_libraries(fuzz_layout PRIVATE devenv upg_testsupport)
upg_fuzz_target(fuzz_set_env ${CMAKE_CURRENT_LIST_DIR}/fuzz_set_env.cpp ${devenv_fuzzed_sources})
target_link_libraries(fuzz_set_env PRIVATE devenv upg_testsupport)
