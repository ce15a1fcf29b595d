# The network workers against real sockets inside scripts/sandbox.
function(ph_network_sandbox_exe name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE phservice GTest::gtest)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests/unit)
endfunction()

ph_network_sandbox_exe(snmp_get_agent_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetAgentTest.cpp)
ph_sandbox_test(snmp_get_agent_test AGENT TIMEOUT 120 COMMAND $<TARGET_FILE:snmp_get_agent_test>)

ph_network_sandbox_exe(snmp_get_fake_agent_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetFakeAgentTest.cpp)
ph_sandbox_test(snmp_get_fake_agent_test TIMEOUT 120 COMMAND $<TARGET_FILE:snmp_get_fake_agent_test>)

# The second real agent, snmpsimd with a recorded printer: the sandbox's
# --snmpsim instead of --agent.
ph_network_sandbox_exe(snmp_get_recorded_printer_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetRecordedPrinterTest.cpp)
add_test(NAME snmp_get_recorded_printer_test
  COMMAND ${PH_SANDBOX} --build-dir ${CMAKE_BINARY_DIR} --snmpsim $<TARGET_FILE:snmp_get_recorded_printer_test>)
set_tests_properties(snmp_get_recorded_printer_test PROPERTIES LABELS integration TIMEOUT 120 RUN_SERIAL TRUE)

ph_network_sandbox_exe(network_probes_test ${CMAKE_CURRENT_LIST_DIR}/NetworkProbesTest.cpp)
ph_sandbox_test(network_probes_test TIMEOUT 120 COMMAND $<TARGET_FILE:network_probes_test>)

# The service object's six entry points, each answering once.
ph_network_sandbox_exe(entry_points_test ${CMAKE_CURRENT_LIST_DIR}/EntryPointsTest.cpp)
ph_sandbox_test(entry_points_test AGENT TIMEOUT 120 COMMAND $<TARGET_FILE:entry_points_test>)
