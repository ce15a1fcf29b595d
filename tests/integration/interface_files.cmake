ph_sandbox_test(introspection_files_match_what_the_running_services_answer AGENT TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/interface_file_test.sh ${CMAKE_BINARY_DIR})
