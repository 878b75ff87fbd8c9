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

// range(1): 0 the automatic choice (the word path where BMI2 exists), 1 the portable path.
static void BM_Scramble(benchmark::State& st)
{
    kv_scramble_force_portable(st.range(1) != 0);
    st.SetLabel(st.range(1) ? "portable" : (kv_scramble_has_word_path() ? "word (BMI2)" : "portable (no BMI2)"));
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 0x5A);
    for (auto _ : st) {
        kv_scramble(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
    st.counters["scratch_MB"] = static_cast<double>(kv_scramble_scratch_bytes(buf.size())) / 1e6;
    kv_scramble_force_portable(false);
}
// The sizes of the goal (64 KiB, 1 MiB, 16 MiB) on both paths, with memcpy beside them.
static void Sizes(benchmark::internal::Benchmark* b)
{
    for (int portable : {0, 1})
        for (int n : {1 << 10, 64 << 10, 1 << 20, 16 << 20})
            b->Args({n, portable});
}
BENCHMARK(BM_Scramble)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

static void BM_Unscramble(benchmark::State& st)
{
    kv_scramble_force_portable(st.range(1) != 0);
    st.SetLabel(st.range(1) ? "portable" : (kv_scramble_has_word_path() ? "word (BMI2)" : "portable (no BMI2)"));
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 0x5A);
    for (auto _ : st) {
        kv_unscramble(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
    kv_scramble_force_portable(false);
}
BENCHMARK(BM_Unscramble)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

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
