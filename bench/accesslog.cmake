add_executable(bench_accesslog ${CMAKE_CURRENT_LIST_DIR}/AccessLogBench.cpp)
target_link_libraries(bench_accesslog PRIVATE tamber_core benchmark::benchmark)
