# The connection layer with a service of test methods of its own.
add_executable(bus_test_service ${CMAKE_CURRENT_LIST_DIR}/BusTestService.cpp)
target_link_libraries(bus_test_service PRIVATE phplatform)

add_executable(bus_service_test ${CMAKE_CURRENT_LIST_DIR}/BusServiceTest.cpp)
target_link_libraries(bus_service_test PRIVATE ph_many_clients GTest::gtest_main)
target_compile_definitions(bus_service_test PRIVATE PH_BUS_TEST_SERVICE="$<TARGET_FILE:bus_test_service>")
add_dependencies(bus_service_test bus_test_service)
ph_sandbox_test(bus_service_test TIMEOUT 60 COMMAND $<TARGET_FILE:bus_service_test>)
