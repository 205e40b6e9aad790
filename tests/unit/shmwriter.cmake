# The shared-memory writer is a host tool; its test runs in a simulated root
# for the root's own SysV IPC namespace.
if(NOT UPG_TARGET_MIPSEL)
  upg_unit_test(shmwriter_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/shmwriter_test.cpp LIBS libupgrader)
  if(TARGET shmwriter_test)
    target_compile_definitions(shmwriter_test PRIVATE SHMWRITER="$<TARGET_FILE:shmwriter>")
    add_dependencies(shmwriter_test shmwriter)
  endif()
endif()
