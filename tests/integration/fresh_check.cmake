# scripts/fresh-check's sources, statuses and help and scripts/lib.sh, and,
# where a Debian 13 tree has been built, what a tree can reach of this
# machine (CI runs the whole check); its network cases run in network
# namespaces of their own, its tree offline.
add_test(NAME fresh_check_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/fresh_check_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(fresh_check_test PROPERTIES LABELS integration TIMEOUT 300)
