# Processor time of one heartbeat: building and encoding the request, decoding and parsing the reply.
add_executable(bench_messages ${CMAKE_CURRENT_LIST_DIR}/MessagesBench.cpp)
target_link_libraries(bench_messages PRIVATE ravaviza_testsupport hollin_messages common_logger benchmark::benchmark)
