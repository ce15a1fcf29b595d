# The family's service under many clients at once, on a private bus inside
# scripts/sandbox. The many-clients test client is shared with bench/.
add_library(ph_many_clients STATIC ${CMAKE_CURRENT_LIST_DIR}/ManyClients.cpp ${CMAKE_CURRENT_LIST_DIR}/ServiceHarness.cpp)
target_include_directories(ph_many_clients PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ph_many_clients PUBLIC phplatform)

list(GET PH_BUILT_FAMILIES 0 PH_LOAD_FAMILY)
add_executable(service_load_test ${CMAKE_CURRENT_LIST_DIR}/ServiceLoadTest.cpp)
target_link_libraries(service_load_test PRIVATE ph_many_clients GTest::gtest)
target_compile_definitions(service_load_test PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_LOAD_FAMILY}")
add_dependencies(service_load_test printer-helper-service-${PH_LOAD_FAMILY})
ph_sandbox_test(service_load_test AGENT TIMEOUT 300 COMMAND $<TARGET_FILE:service_load_test>)

# The property-list write as another user: service, tool and bus run as nobody.
ph_sandbox_test(plist_write_as_other_user_test TIMEOUT 60
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/plist_write_as_other_user_test.sh ${CMAKE_BINARY_DIR} ${PH_LOAD_FAMILY})
set_tests_properties(plist_write_as_other_user_test PROPERTIES SKIP_RETURN_CODE 77)

# The property-list write under faults: concurrent writers of one hard-linked
# file and a stop during a 100 MB write, through direct bus clients.
add_executable(plist_write_faults_test ${CMAKE_CURRENT_LIST_DIR}/PlistWriteFaultsTest.cpp)
target_link_libraries(plist_write_faults_test PRIVATE ph_many_clients GTest::gtest)
target_compile_definitions(plist_write_faults_test PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_LOAD_FAMILY}")
add_dependencies(plist_write_faults_test printer-helper-service-${PH_LOAD_FAMILY})
ph_sandbox_test(plist_write_faults_test TIMEOUT 300 COMMAND $<TARGET_FILE:plist_write_faults_test>)

# The file writes on a full disk, with attributes and ACLs, and on kernel
# files, each through its own bus as root or nobody (SKIP_RETURN_CODE: not root).
ph_sandbox_test(file_faults_test TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/file_faults_test.sh ${CMAKE_BINARY_DIR} ${PH_LOAD_FAMILY})
set_tests_properties(file_faults_test PROPERTIES SKIP_RETURN_CODE 77)
