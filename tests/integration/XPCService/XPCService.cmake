# The service: its workers against real sockets and agents, its entry points,
# and the whole service on a private bus under many clients and faults, all
# inside scripts/sandbox.
list(GET PH_BUILT_FAMILIES 0 PH_TESTED_FAMILY)
set(PH_TESTED_FAMILY_DIR ${CMAKE_BINARY_DIR}/families/${PH_TESTED_FAMILY})

# A test program of the workers, linked with the service's logic.
function(ph_network_sandbox_exe name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE phservice ph_test_support GTest::gtest)
endfunction()

# A test program of the whole service, through direct bus clients.
function(ph_service_exe name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ph_many_clients phservice GTest::gtest)
  target_compile_definitions(${name} PRIVATE PH_FAMILY_DIR="${PH_TESTED_FAMILY_DIR}")
  add_dependencies(${name} printer-helper-service-${PH_TESTED_FAMILY})
endfunction()

ph_network_sandbox_exe(snmp_get_agent_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetAgentTest.cpp)
ph_sandbox_test(snmp_get_agent_test AGENT TIMEOUT 120 COMMAND $<TARGET_FILE:snmp_get_agent_test>)

ph_network_sandbox_exe(snmp_get_fake_agent_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetFakeAgentTest.cpp)
ph_sandbox_test(snmp_get_fake_agent_test TIMEOUT 120 COMMAND $<TARGET_FILE:snmp_get_fake_agent_test>)

# The second real agent, a recorded printer: the sandbox's --snmpsim instead
# of --agent.
ph_network_sandbox_exe(snmp_get_recorded_printer_test ${CMAKE_CURRENT_LIST_DIR}/SnmpGetRecordedPrinterTest.cpp)
ph_sandbox_test(snmp_get_recorded_printer_test SNMPSIM TIMEOUT 120 COMMAND $<TARGET_FILE:snmp_get_recorded_printer_test>)

ph_network_sandbox_exe(network_probes_test ${CMAKE_CURRENT_LIST_DIR}/NetworkProbesTest.cpp)
ph_sandbox_test(network_probes_test TIMEOUT 120 COMMAND $<TARGET_FILE:network_probes_test>)

# The service object's six entry points, each answering once.
ph_network_sandbox_exe(entry_points_test ${CMAKE_CURRENT_LIST_DIR}/EntryPointsTest.cpp)
ph_sandbox_test(entry_points_test AGENT TIMEOUT 120 COMMAND $<TARGET_FILE:entry_points_test>)

# Many clients at once: life, parallel calls, per-call cancels, clients that
# leave, descriptors, the idle exit.
ph_service_exe(service_load_test ${CMAKE_CURRENT_LIST_DIR}/ServiceLoadTest.cpp)
ph_sandbox_test(service_load_test AGENT TIMEOUT 300 COMMAND $<TARGET_FILE:service_load_test>)

# One byte ends every read of a cancel file, whatever the path each read gave;
# and the service at its process limit, which cannot make the watcher's thread.
ph_service_exe(cancel_file_test ${CMAKE_CURRENT_LIST_DIR}/CancelFileTest.cpp)
ph_sandbox_test(cancel_file_test TIMEOUT 300 COMMAND $<TARGET_FILE:cancel_file_test>)
ph_sandbox_test(watcher_thread_limit_test TIMEOUT 60
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/watcher_thread_limit_test.sh ${CMAKE_BINARY_DIR} ${PH_TESTED_FAMILY})
set_tests_properties(watcher_thread_limit_test PROPERTIES SKIP_RETURN_CODE 77)

# The property-list write under a stop during a 100 MB write.
ph_service_exe(plist_write_faults_test ${CMAKE_CURRENT_LIST_DIR}/PlistWriteFaultsTest.cpp)
ph_sandbox_test(plist_write_faults_test TIMEOUT 300 COMMAND $<TARGET_FILE:plist_write_faults_test>)

# The property-list write as another user: service, tool and bus run as nobody.
ph_sandbox_test(plist_write_as_other_user_test TIMEOUT 60
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/plist_write_as_other_user_test.sh ${CMAKE_BINARY_DIR} ${PH_TESTED_FAMILY})
set_tests_properties(plist_write_as_other_user_test PROPERTIES SKIP_RETURN_CODE 77)

# The file writes on a full disk, with attributes and ACLs, and on kernel
# files, each through its own bus as root or nobody (SKIP_RETURN_CODE: not root).
ph_sandbox_test(file_faults_test TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/file_faults_test.sh ${CMAKE_BINARY_DIR} ${PH_TESTED_FAMILY})
set_tests_properties(file_faults_test PROPERTIES SKIP_RETURN_CODE 77)
