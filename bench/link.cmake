# Main server link: a request's loopback round trip through the link (queue, write tick, POST,
# reply parsed and handed on) against the link tests' loopback stub server, the same POST by a bare
# libcurl handle as the baseline, and the read side's parse.
add_executable(bench_link ${CMAKE_CURRENT_LIST_DIR}/LinkBench.cpp)
find_package(CURL REQUIRED)
target_link_libraries(bench_link PRIVATE ravaviza_testsupport hollin_link benchmark::benchmark CURL::libcurl)
target_compile_definitions(bench_link PRIVATE
  RAVAVIZA_PYTHON="${RAVAVIZA_PYTHON}"
  LINK_STUB_SERVER="${CMAKE_SOURCE_DIR}/daemon/link/tests/link_stub_server.py")
