ph_unit_test(client_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ClientQueueTest.cpp LIBS phplatform)
