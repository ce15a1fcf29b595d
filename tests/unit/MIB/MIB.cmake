ph_unit_test(snmp_message_builder_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/SNMPMessageBuilderTest.cpp LIBS phmib)
ph_unit_test(snmp_message_parser_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/SNMPMessageParserTest.cpp LIBS phmib)
ph_unit_test(mib_connection_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MIBConnectionTest.cpp LIBS phmib)
