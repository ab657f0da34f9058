add_executable(bench_archive ${CMAKE_CURRENT_LIST_DIR}/ArchiveBench.cpp)
target_link_libraries(bench_archive PRIVATE platform_archive benchmark::benchmark)
