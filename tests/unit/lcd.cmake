# The LCD layer: panel and refresh, drawing and font (held against the
# point-by-point reference), board controls, and the framebuffer-to-PNG tool.
set(lcd_reference ${PROJECT_SOURCE_DIR}/lcd/reference/lcd_reference.cpp)
upg_unit_test(lcd_device_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lcd_device_test.cpp LIBS lcd)
upg_unit_test(lcd_draw_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lcd_draw_test.cpp ${lcd_reference} LIBS lcd)
upg_unit_test(devctrl_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/devctrl_test.cpp LIBS lcd)
if(TARGET fbpng)
  upg_unit_test(lcd_fbpng_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lcd_fbpng_test.cpp LIBS fbpng lcd)
endif()
