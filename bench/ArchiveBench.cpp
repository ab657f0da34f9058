// Keyed-archive encode and decode of a typical daemon state dictionary and of a 1,000-element
// array, in the binary form the daemon writes.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/archive/KeyedArchive.h"

namespace {

using namespace archive;

// About forty keys of the kinds the daemon keeps: texts, numbers, flags, dates, a server list
// and a record.
Value stateDictionary() {
    Dictionary d;
    for (int i = 0; i < 12; ++i) d["text_" + std::to_string(i)] = "value of setting " + std::to_string(i);
    for (int i = 0; i < 10; ++i) d["number_" + std::to_string(i)] = i * 1000 - 3;
    for (int i = 0; i < 6; ++i) d["flag_" + std::to_string(i)] = i % 2 == 0;
    for (int i = 0; i < 4; ++i) d["time_" + std::to_string(i)] = Date{1700000000.0 + i};
    d["ratio"] = 0.75;
    d["token"] = Data(32, 0xab);
    Array servers;
    for (int i = 0; i < 4; ++i)
        servers.push_back(Dictionary{{"host", "10.0.0." + std::to_string(i)}, {"port", 443}, {"tls", true}});
    d["intra_srv_connaddr"] = servers;
    d["extra_srv_connaddr"] = Array{"gateway.example.com:443"};
    d["record"] = Object{"ZemMachineModel", {{"name", "host-01"}, {"cpu", 8}, {"serial", "SN123"}}};
    return d;
}

Value thousandElementArray() {
    Array a;
    for (int i = 0; i < 1000; ++i) {
        if (i % 3 == 0)
            a.push_back("item " + std::to_string(i));
        else if (i % 3 == 1)
            a.push_back(i);
        else
            a.push_back(Dictionary{{"id", i}, {"name", "entry"}});
    }
    return a;
}

const ClassAllowList kAllowed{"ZemMachineModel"};

void encode(benchmark::State& state, const Value& value) {
    size_t bytes = 0;
    for (auto _ : state) {
        auto data = archivedData(value);
        bytes = data ? data->size() : 0;
        benchmark::DoNotOptimize(data);
    }
    state.counters["archive_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void decode(benchmark::State& state, const Value& value) {
    auto data = archivedData(value);
    if (!data) {
        state.SkipWithError("encoding failed");
        return;
    }
    for (auto _ : state) {
        auto result = unarchive(*data, kAllowed);
        if (!result) state.SkipWithError(result.error.c_str());
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->size()));
}

void BM_EncodeStateDictionary(benchmark::State& state) {
    encode(state, stateDictionary());
}
void BM_DecodeStateDictionary(benchmark::State& state) {
    decode(state, stateDictionary());
}
void BM_EncodeThousandElementArray(benchmark::State& state) {
    encode(state, thousandElementArray());
}
void BM_DecodeThousandElementArray(benchmark::State& state) {
    decode(state, thousandElementArray());
}

}  // namespace

BENCHMARK(BM_EncodeStateDictionary)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeStateDictionary)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeThousandElementArray)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeThousandElementArray)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
