# Our SM4 against OpenSSL's SM4 on the same data in the same run.
add_executable(bench_cipher ${CMAKE_CURRENT_LIST_DIR}/CipherBench.cpp)
target_link_libraries(bench_cipher PRIVATE common_cipher OpenSSL::Crypto benchmark::benchmark)
