ph_unit_test(zel_string_encode_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZelStringEncodeTest.cpp LIBS phtool)
ph_unit_test(tool_command_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ToolCommandTest.cpp LIBS phtool)
