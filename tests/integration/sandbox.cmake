ph_sandbox_test(sandbox_test AGENT TIMEOUT 60 COMMAND ${CMAKE_CURRENT_LIST_DIR}/sandbox_test.sh)
add_test(NAME sandbox_cleanup_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/sandbox_cleanup_test.sh ${PH_SANDBOX})
set_tests_properties(sandbox_cleanup_test PROPERTIES LABELS integration TIMEOUT 60 RUN_SERIAL TRUE)
