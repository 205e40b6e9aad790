# Every test binary runs inside a fresh simulated device root, in its own
# mount, IPC and PID namespaces, so that the program's fixed paths (/dev,
# /tmp, /var/ipc, /dev/log) and its SysV objects are never the host's.
if(UPG_TARGET_MIPSEL)
  if(NOT UPG_HOST_TOOLS_DIR)
    message(FATAL_ERROR "a cross build needs UPG_HOST_TOOLS_DIR (the host build tree)")
  endif()
  set(UPG_SIMDEV ${UPG_HOST_TOOLS_DIR}/sim/simdev)
  set(UPG_ROMTOOL ${UPG_HOST_TOOLS_DIR}/tools/romtool/romtool)
else()
  set(UPG_SIMDEV $<TARGET_FILE:simdev>)
  set(UPG_ROMTOOL $<TARGET_FILE:romtool>)
endif()

# upg_sim_test(<test name> <executable target> [args...])
function(upg_sim_test name target)
  add_test(NAME ${name}
    COMMAND ${UPG_SIMDEV} run
      --root ${CMAKE_BINARY_DIR}/simroots/${name} --fresh
      --bind ${PROJECT_SOURCE_DIR} --bind ${CMAKE_BINARY_DIR}
      -- $<TARGET_FILE:${target}> ${ARGN})
endfunction()

# upg_unit_test(<name> SOURCES <files...> LIBS <libraries...>)
function(upg_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  # Several people work in one tree: a test whose source is still being
  # written is skipped locally, but never in CI.
  foreach(src ${T_SOURCES})
    if(NOT EXISTS ${src})
      if(DEFINED ENV{CI})
        message(FATAL_ERROR "${name}: missing source ${src}")
      endif()
      message(WARNING "${name} skipped: missing source ${src}")
      return()
    endif()
  endforeach()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} upg_testsupport GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    UPG_SOURCE_DIR="${PROJECT_SOURCE_DIR}" UPG_BINARY_DIR="${CMAKE_BINARY_DIR}")
  upg_sim_test(${name} ${name})
endfunction()
