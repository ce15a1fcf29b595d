ph_sandbox_test(introspection_files_match_what_the_running_services_answer TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/interface_file_test.sh ${CMAKE_BINARY_DIR})
ph_sandbox_test(every_documented_example_request_gets_its_documented_reply_through_gdbus AGENT TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/interface_file_examples_test.sh ${CMAKE_BINARY_DIR})
