# "50 writers on one file", a figure of the service under faults; run with
# scripts/bench (faults_writers).
add_executable(bench_faults_writers ${CMAKE_CURRENT_LIST_DIR}/PlistWritersBench.cpp)
target_link_libraries(bench_faults_writers PRIVATE ph_many_clients)
target_compile_definitions(bench_faults_writers PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_BENCH_FAMILY}")
add_dependencies(bench_faults_writers printer-helper-service-${PH_BENCH_FAMILY})
set_target_properties(bench_faults_writers PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
