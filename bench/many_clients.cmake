# The service under many clients at once; run with scripts/bench (many_clients).
list(GET PH_BUILT_FAMILIES 0 PH_BENCH_FAMILY)
add_executable(bench_many_clients ${CMAKE_CURRENT_LIST_DIR}/ManyClientsBench.cpp)
target_link_libraries(bench_many_clients PRIVATE ph_many_clients)
target_compile_definitions(bench_many_clients PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_BENCH_FAMILY}")
add_dependencies(bench_many_clients printer-helper-service-${PH_BENCH_FAMILY})
set_target_properties(bench_many_clients PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

# The bare service that the probes figure measures the service against. Its
# vtable macros use designated initializers, which C++17 knows only as an
# extension.
add_executable(bench_bare_service ${CMAKE_CURRENT_LIST_DIR}/BareService.cpp)
target_link_libraries(bench_bare_service PRIVATE PkgConfig::LIBSYSTEMD)
target_compile_options(bench_bare_service PRIVATE -Wno-pedantic -Wno-missing-field-initializers)
set_target_properties(bench_bare_service PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench/bin)
target_compile_definitions(bench_many_clients PRIVATE PH_BARE_SERVICE="$<TARGET_FILE:bench_bare_service>")
add_dependencies(bench_many_clients bench_bare_service)
