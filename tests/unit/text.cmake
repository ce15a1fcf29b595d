ph_unit_test(text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TextTest.cpp LIBS phplatform)
