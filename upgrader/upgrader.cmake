# The program. It links every subsystem; it is installed on the simulated
# phone as /basic/bin/upgrader.
if(TARGET rom AND TARGET basicui AND TARGET devenv)
  set(upg_dir ${PROJECT_SOURCE_DIR}/upgrader)
  add_executable(upgrader ${upg_dir}/main.cpp ${upg_dir}/modes.cpp ${upg_dir}/sequence.cpp
                 ${upg_dir}/failure_screens.cpp)
  set_target_properties(upgrader PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  target_compile_options(upgrader PRIVATE ${UPG_PRODUCT_FLAGS})
  target_include_directories(upgrader PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(upgrader PRIVATE rom devenv basicui lcd semctrl libupgrader libipc uplocks sysrun platform
                        upg_common rl_log Threads::Threads)

  if(UPG_TARGET_MIPSEL)
    add_executable(upgrader_dynamic $<TARGET_OBJECTS:upgrader>)
    set_target_properties(upgrader_dynamic PROPERTIES UPG_DYNAMIC ON RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    target_link_libraries(upgrader_dynamic PRIVATE rom devenv basicui lcd semctrl libupgrader libipc uplocks sysrun platform
                          upg_common rl_log Threads::Threads)
  endif()
endif()
