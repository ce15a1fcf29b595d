ph_unit_test(zel_string_encode_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZelStringEncodeTest.cpp LIBS phtool)
