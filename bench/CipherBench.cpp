// Throughput of our SM4 block code and of OpenSSL's SM4 (ECB and CBC), and their ratio measured
// side by side in one benchmark so machine noise affects both alike.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/cipher/Sm4.h"

using common::SM4_ENCRYPT;
using common::sm4_context;
using common::sm4_crypt_cbc;
using common::sm4_crypt_ecb;
using common::sm4_setkey_enc;

namespace {

constexpr uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

std::vector<uint8_t> input(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + 7);
    return v;
}

struct Ours {
    sm4_context ctx;
    bool cbc;
    explicit Ours(bool cbc) : cbc(cbc) { sm4_setkey_enc(ctx, kKey); }
    void run(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
        uint8_t iv[16] = {};
        if (cbc) {
            sm4_crypt_cbc(ctx, SM4_ENCRYPT, iv, in, out);
        } else {
            sm4_crypt_ecb(ctx, SM4_ENCRYPT, in, out);
        }
    }
};

struct OpenSsl {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx{EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free};
    explicit OpenSsl(bool cbc) {
        const uint8_t iv[16] = {};
        EVP_EncryptInit_ex(ctx.get(), cbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, kKey, iv);
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    }
    void run(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
        int len = 0;
        EVP_EncryptUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size()));
    }
};

template <typename Impl>
void BM_Sm4(benchmark::State& state, bool cbc) {
    const auto in = input(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size() + 16);
    Impl impl(cbc);
    for (auto _ : state) {
        impl.run(in, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Alternates both implementations on the same buffer and reports each one's MB/s and ours / OpenSSL's.
void BM_Sm4Ratio(benchmark::State& state, bool cbc) {
    const auto in = input(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(in.size() + 16);
    Ours ours(cbc);
    OpenSsl openssl(cbc);
    using Clock = std::chrono::steady_clock;
    Clock::duration oursTime{}, opensslTime{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        ours.run(in, out);
        benchmark::DoNotOptimize(out.data());
        auto t1 = Clock::now();
        openssl.run(in, out);
        benchmark::DoNotOptimize(out.data());
        auto t2 = Clock::now();
        oursTime += t1 - t0;
        opensslTime += t2 - t1;
    }
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(state.range(0));
    const double oursMBs = bytes / 1e6 / std::chrono::duration<double>(oursTime).count();
    const double opensslMBs = bytes / 1e6 / std::chrono::duration<double>(opensslTime).count();
    state.counters["ours_MBps"] = oursMBs;
    state.counters["openssl_MBps"] = opensslMBs;
    state.counters["ours_over_openssl"] = oursMBs / opensslMBs;
}

void BM_Sm4Ours(benchmark::State& state, bool cbc) {
    BM_Sm4<Ours>(state, cbc);
}
void BM_Sm4OpenSsl(benchmark::State& state, bool cbc) {
    BM_Sm4<OpenSsl>(state, cbc);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Sm4Ours, ecb, false)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Sm4OpenSsl, ecb, false)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Sm4Ours, cbc, true)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Sm4OpenSsl, cbc, true)->Arg(4096)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Sm4Ratio, ecb, false)->Arg(1 << 16);
BENCHMARK_CAPTURE(BM_Sm4Ratio, cbc, true)->Arg(1 << 16);

BENCHMARK_MAIN();
