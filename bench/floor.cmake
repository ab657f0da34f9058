# The floor the daemon's cost is read against (run by bench/daemon/bench_daemon.py).
find_package(CURL REQUIRED)
add_executable(bench_floor_probe ${CMAKE_CURRENT_LIST_DIR}/FloorProbe.cpp)
target_link_libraries(bench_floor_probe PRIVATE CURL::libcurl)
