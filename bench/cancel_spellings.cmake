# Cancels by two spellings of one cancel file, a piece of the fault figures;
# run with scripts/bench cancel_spellings (100 rounds), or for another count
# scripts/sandbox --build-dir DIR DIR/bench/bench_cancel_spellings ROUNDS.
list(GET PH_BUILT_FAMILIES 0 PH_SPELLINGS_FAMILY)
add_executable(bench_cancel_spellings ${CMAKE_CURRENT_LIST_DIR}/CancelSpellingsBench.cpp)
target_link_libraries(bench_cancel_spellings PRIVATE ph_many_clients)
target_compile_definitions(bench_cancel_spellings PRIVATE PH_FAMILY_DIR="${CMAKE_BINARY_DIR}/families/${PH_SPELLINGS_FAMILY}")
add_dependencies(bench_cancel_spellings printer-helper-service-${PH_SPELLINGS_FAMILY})
set_target_properties(bench_cancel_spellings PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
