# SNMP get figures against the sandbox's printer agent; run with scripts/bench.
add_executable(bench_snmp_get ${CMAKE_CURRENT_LIST_DIR}/SnmpGetBench.cpp)
target_link_libraries(bench_snmp_get PRIVATE phservice)
set_target_properties(bench_snmp_get PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
