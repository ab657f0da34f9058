add_executable(bench_logger ${CMAKE_CURRENT_LIST_DIR}/LoggerBench.cpp)
target_link_libraries(bench_logger PRIVATE ravaviza_testsupport common_logger benchmark::benchmark)
