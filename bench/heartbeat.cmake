# One heartbeat through the daemon's whole path against the test management server on loopback,
# with the processor time of every thread of the process.
add_executable(bench_heartbeat ${CMAKE_CURRENT_LIST_DIR}/HeartbeatBench.cpp)
target_link_libraries(bench_heartbeat PRIVATE hollin_core benchmark::benchmark)
target_compile_definitions(bench_heartbeat PRIVATE
  RAVAVIZA_PYTHON="${RAVAVIZA_PYTHON}"
  ZEM_SERVER="${CMAKE_SOURCE_DIR}/tests/server/zem_server.py"
  ZEM_PROTO_PYTHON="${CMAKE_BINARY_DIR}/proto/python")
add_dependencies(bench_heartbeat zem_proto_python)
