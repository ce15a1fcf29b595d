# scripts/fresh-check's sources and statuses and scripts/lib.sh, without a
# fresh tree (CI runs the whole check); its one network case is in a network
# namespace of its own.
add_test(NAME fresh_check_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/fresh_check_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(fresh_check_test PROPERTIES LABELS integration TIMEOUT 120)
