upg_unit_test(controls_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/controls_test.cpp LIBS basicui)
upg_unit_test(dialog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/dialog_test.cpp LIBS basicui)
upg_unit_test(keypad_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/keypad_test.cpp LIBS basicui)

# The screens, with their golden pictures (tests/golden). The argument is the
# folder of the pictures; the PNG reader beside them needs no library, so the
# cross build compares too.
add_executable(screens_test ${CMAKE_CURRENT_LIST_DIR}/screens_test.cpp)
target_link_libraries(screens_test PRIVATE basicui upg_testsupport GTest::gtest Threads::Threads)
target_compile_definitions(screens_test PRIVATE
  UPG_SOURCE_DIR="${PROJECT_SOURCE_DIR}" UPG_BINARY_DIR="${CMAKE_BINARY_DIR}")
upg_sim_test(screens_test screens_test ${PROJECT_SOURCE_DIR}/tests/golden)
# The same pictures on the 4-bit panel.
add_test(NAME screens_test_4bit
  COMMAND ${UPG_SIMDEV} run --root ${CMAKE_BINARY_DIR}/simroots/screens_test_4bit --fresh
    --bind ${PROJECT_SOURCE_DIR} --bind ${CMAKE_BINARY_DIR} --env UPG_PANEL=4bit
    -- $<TARGET_FILE:screens_test> --gtest_filter=Screens.GoldenPictures ${PROJECT_SOURCE_DIR}/tests/golden)

# Rewrites the golden pictures from the current screens, then their PNG
# copies that docs/screens.md shows (lcd_fbpng_test holds them to the goldens):
#   cmake --build <host build> --target update_golden_screens
if(TARGET simdev AND TARGET fbpng)
  set(golden_root ${CMAKE_BINARY_DIR}/simroots/update_golden_screens)
  set(png_root ${CMAKE_BINARY_DIR}/simroots/update_screen_pngs)
  add_custom_target(update_golden_screens
    COMMAND $<TARGET_FILE:simdev> run --root ${golden_root} --fresh --keep
      --bind ${PROJECT_SOURCE_DIR} --bind ${CMAKE_BINARY_DIR} --env UPG_UPDATE_GOLDEN=1
      -- $<TARGET_FILE:screens_test> --gtest_filter=Screens.GoldenPictures /tmp/golden
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${golden_root}/tmp/golden ${PROJECT_SOURCE_DIR}/tests/golden
    COMMAND $<TARGET_FILE:simdev> run --root ${png_root} --fresh --keep
      --bind ${PROJECT_SOURCE_DIR} --bind ${CMAKE_BINARY_DIR} --env UPG_UPDATE_GOLDEN=1
      -- $<TARGET_FILE:lcd_fbpng_test> --gtest_filter=FbPng.DocsShowEachGoldenAsAPngCopy
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${png_root}/tmp/screens ${PROJECT_SOURCE_DIR}/docs/screens
    DEPENDS screens_test lcd_fbpng_test simdev
    COMMENT "Writing the golden pictures of the screens into tests/golden, their PNG copies into docs/screens"
    VERBATIM)
endif()
