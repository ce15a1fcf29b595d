# The service under faults: a stop under load, writers of one file, cancels by
# two spellings; run with scripts/bench faults.
add_executable(bench_faults ${CMAKE_CURRENT_LIST_DIR}/FaultsBench.cpp)
target_link_libraries(bench_faults PRIVATE ph_many_clients)
target_compile_definitions(bench_faults PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_BENCH_FAMILY}")
add_dependencies(bench_faults printer-helper-service-${PH_BENCH_FAMILY})
set_target_properties(bench_faults PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
