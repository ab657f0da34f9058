add_executable(bench_scheduler ${CMAKE_CURRENT_LIST_DIR}/SchedulerBench.cpp)
target_link_libraries(bench_scheduler PRIVATE ravaviza_testsupport hollin_core benchmark::benchmark)
