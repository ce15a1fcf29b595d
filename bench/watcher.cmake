# The cancel watcher's sweep with many files watched; run with scripts/bench watcher.
add_executable(bench_watcher ${CMAKE_CURRENT_LIST_DIR}/WatcherBench.cpp)
target_link_libraries(bench_watcher PRIVATE phservice)
set_target_properties(bench_watcher PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
