ph_sandbox_test(introspection_files_match_what_the_running_services_answer TIMEOUT 120
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/introspection_test.sh ${CMAKE_BINARY_DIR})
