# Every family's tool and service end to end, through the sandbox's bus.
ph_sandbox_test(tool_end_to_end_test AGENT TIMEOUT 300
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/tool_end_to_end_test.sh ${CMAKE_BINARY_DIR})
