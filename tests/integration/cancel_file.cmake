# The service's cancel files: one byte ends every read of a file, whatever
# the path each read gave (on a private bus inside scripts/sandbox); and the
# service at its process limit, which cannot make the watcher's thread.
list(GET PH_BUILT_FAMILIES 0 PH_CANCEL_FAMILY)
add_executable(cancel_file_test ${CMAKE_CURRENT_LIST_DIR}/CancelFileTest.cpp)
target_link_libraries(cancel_file_test PRIVATE ph_many_clients phservice GTest::gtest)
target_compile_definitions(cancel_file_test PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_CANCEL_FAMILY}")
add_dependencies(cancel_file_test printer-helper-service-${PH_CANCEL_FAMILY})
ph_sandbox_test(cancel_file_test TIMEOUT 300 COMMAND $<TARGET_FILE:cancel_file_test>)

ph_sandbox_test(watcher_thread_limit_test TIMEOUT 60
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/watcher_thread_limit_test.sh ${CMAKE_BINARY_DIR} ${PH_CANCEL_FAMILY})
set_tests_properties(watcher_thread_limit_test PROPERTIES SKIP_RETURN_CODE 77)
