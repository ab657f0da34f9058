# Local IPC: a messaging-library round trip beside a raw socketpair ping-pong, and a named-connection call.
add_executable(bench_ipc ${CMAKE_CURRENT_LIST_DIR}/IpcBench.cpp)
target_link_libraries(bench_ipc PRIVATE ravaviza_testsupport Tessel platform_ipc benchmark::benchmark)
