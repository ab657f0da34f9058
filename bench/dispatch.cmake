# Dispatch layer: serial-queue round trip and the processor cost of an idle repeating timer.
add_executable(bench_dispatch ${CMAKE_CURRENT_LIST_DIR}/DispatchBench.cpp)
target_link_libraries(bench_dispatch PRIVATE platform_dispatch benchmark::benchmark)
