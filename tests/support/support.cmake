# What the tests share: the hex dump, the valid-BER answer builder and the
# private folder (headers), and the many-clients bus client with the service
# harness, also used by bench/.
add_library(ph_test_support INTERFACE)
target_include_directories(ph_test_support INTERFACE ${CMAKE_CURRENT_LIST_DIR})

add_library(ph_many_clients STATIC ${CMAKE_CURRENT_LIST_DIR}/ManyClients.cpp ${CMAKE_CURRENT_LIST_DIR}/ServiceHarness.cpp)
target_link_libraries(ph_many_clients PUBLIC ph_test_support phplatform)
