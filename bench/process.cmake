# Command-run latency through the command runner.
add_executable(bench_process ${CMAKE_CURRENT_LIST_DIR}/ProcessBench.cpp)
target_link_libraries(bench_process PRIVATE Calix benchmark::benchmark)
