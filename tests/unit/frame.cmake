ph_unit_test(request_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/RequestTest.cpp LIBS phservice)
ph_unit_test(file_operations_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileOperationsTest.cpp LIBS phservice)
