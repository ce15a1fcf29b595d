ph_unit_test(client_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ClientQueueTest.cpp LIBS phplatform)
ph_unit_test(file_url_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileUrlTest.cpp LIBS phplatform)
ph_unit_test(text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TextTest.cpp LIBS phplatform)
