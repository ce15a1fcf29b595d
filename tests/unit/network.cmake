ph_unit_test(network_unit_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkWorkersTest.cpp LIBS phservice)
ph_unit_test(wait_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/WaitTest.cpp LIBS phservice)
