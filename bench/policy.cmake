# The policy database: encrypting and storing 10,000 rows, and port queries through the real socket.
add_executable(bench_policy ${CMAKE_CURRENT_LIST_DIR}/PolicyBench.cpp)
target_link_libraries(bench_policy PRIVATE ravaviza_testsupport hollin_policy common_cipher benchmark::benchmark)
