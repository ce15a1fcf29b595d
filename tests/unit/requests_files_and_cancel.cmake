ph_unit_test(request_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/RequestTest.cpp LIBS phservice)
ph_unit_test(file_operations_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileOperationsTest.cpp LIBS phservice)
ph_unit_test(file_url_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileUrlTest.cpp LIBS phplatform)
ph_unit_test(cancel_watcher_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CancelWatcherTest.cpp LIBS phservice)
