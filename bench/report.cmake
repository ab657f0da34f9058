# The report body's gzip against zlib's raw deflate at the same level.
add_executable(bench_report ${CMAKE_CURRENT_LIST_DIR}/ReportGzipBench.cpp)
target_link_libraries(bench_report PRIVATE Calix ZLIB::ZLIB benchmark::benchmark)
