# The scripts the other tests stand on: the sandbox, and scripts/fresh-check's
# sources, statuses and help with scripts/lib.sh and, where a Debian 13 tree
# has been built, what a tree can reach of this machine (CI runs the whole
# check); its network cases run in network namespaces of their own, its tree
# offline.
ph_sandbox_test(sandbox_test AGENT TIMEOUT 60 COMMAND ${CMAKE_CURRENT_LIST_DIR}/sandbox_test.sh)
add_test(NAME sandbox_cleanup_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/sandbox_cleanup_test.sh ${PH_SANDBOX})
set_tests_properties(sandbox_cleanup_test PROPERTIES LABELS integration TIMEOUT 60 RUN_SERIAL TRUE)

add_test(NAME fresh_check_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/fresh_check_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(fresh_check_test PROPERTIES LABELS integration TIMEOUT 300)
