ph_unit_test(call_cancel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CallCancelTest.cpp LIBS phservice)
