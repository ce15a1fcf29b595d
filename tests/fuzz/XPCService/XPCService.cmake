ph_fuzz_target(fuzz_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzRequest.cpp LIBS phservice)
ph_fuzz_target(fuzz_snmp_answer SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzSnmpAnswer.cpp LIBS phservice ph_test_support)
