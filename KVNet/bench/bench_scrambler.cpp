// Scrambler cost per head and per MB, beside memcpy as the bound; peak scratch memory is
// reported through the counters (bytes of scratch per byte of data).
#include <benchmark/benchmark.h>

#include <cstring>
#include <malloc.h>
#include <vector>

#include "scrambler.h"

static void BM_ScrambleHead(benchmark::State& st)
{
    uint8_t head[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    for (auto _ : st) {
        kv_scramble(head, sizeof head);
        benchmark::DoNotOptimize(head);
    }
}
BENCHMARK(BM_ScrambleHead);

static void BM_Scramble(benchmark::State& st)
{
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 0x5A);
    for (auto _ : st) {
        kv_scramble(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
    st.counters["scratch_MB"] = static_cast<double>(kv_scramble_scratch_bytes(buf.size())) / 1e6;
}
BENCHMARK(BM_Scramble)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

static void BM_Unscramble(benchmark::State& st)
{
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 0x5A);
    for (auto _ : st) {
        kv_unscramble(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Unscramble)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

static void BM_Memcpy(benchmark::State& st)
{
    std::vector<uint8_t> a(static_cast<size_t>(st.range(0)), 1), b(a.size());
    for (auto _ : st) {
        memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
