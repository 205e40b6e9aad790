# The bus listener and the keypad reader read what other processes and the
# input device send; scripts/fuzz.sh runs both inside a simulated root.
upg_fuzz_target(fuzz_ipc_listen ${CMAKE_CURRENT_LIST_DIR}/fuzz_ipc_listen.cpp ${PROJECT_SOURCE_DIR}/libipc/libipc.cpp)
target_link_libraries(fuzz_ipc_listen PRIVATE rl_log upg_common Threads::Threads)
upg_fuzz_target(fuzz_keypad ${CMAKE_CURRENT_LIST_DIR}/fuzz_keypad.cpp ${PROJECT_SOURCE_DIR}/basicui/keypad.cpp)
target_link_libraries(fuzz_keypad PRIVATE rl_log upg_common Threads::Threads)
