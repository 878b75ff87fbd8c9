// Parser costs: a user-account reply (48-byte structure, 16 list elements of 272 bytes)
// into callbacks and into Ex buffers, and record item deliveries of 1000 items.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "params_parse.h"

namespace {

std::vector<uint8_t> UserReply(int count)
{
    std::vector<uint8_t> body(48, 0);
    body[0] = 48;
    uint32_t lbytes = count * 276;
    body.resize(body.size() + 4);
    std::memcpy(body.data() + 48, &lbytes, 4);
    for (int i = 0; i < count; ++i) {
        const uint32_t stride = 272;
        size_t at = body.size();
        body.resize(at + 276, static_cast<uint8_t>(i));
        std::memcpy(body.data() + at, &stride, 4);
        std::memcpy(body.data() + at + 4, &stride, 4);
    }
    std::vector<uint8_t> out(4);
    const uint32_t total = static_cast<uint32_t>(body.size());
    std::memcpy(out.data(), &total, 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void Sink(void* item, void* user) { *static_cast<uint32_t*>(user) += static_cast<uint8_t*>(item)[5]; }

} // namespace

static void BM_ParseUserReplyCallbacks(benchmark::State& st)
{
    const std::vector<uint8_t> reply = UserReply(16);
    std::vector<uint8_t> work = reply;
    uint32_t sum = 0;
    for (auto _ : st) {
        std::memcpy(work.data(), reply.data(), reply.size());
        kvparam::ParseParamReply(work.data(), static_cast<uint32_t>(work.size()), nullptr, 48, Sink, 272,
                                 Sink, &sum, 505);
    }
    benchmark::DoNotOptimize(sum);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * reply.size()));
}
BENCHMARK(BM_ParseUserReplyCallbacks);

static void BM_ParseUserReplyEx(benchmark::State& st)
{
    const std::vector<uint8_t> reply = UserReply(16);
    std::vector<uint8_t> work = reply, structBuf(48), list(16 * 272);
    for (auto _ : st) {
        std::memcpy(work.data(), reply.data(), reply.size());
        kvparam::ExAdapter a{structBuf.data(), 48, list.data(), 272, 16, 0};
        kvparam::ParseParamReply(work.data(), static_cast<uint32_t>(work.size()), nullptr, 48,
                                 kvparam::ParamCallbackEx, 272, kvparam::ListParamCallbackEx, &a, 505);
        benchmark::DoNotOptimize(list.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * reply.size()));
}
BENCHMARK(BM_ParseUserReplyEx);

// Items at least the caller's size go in place; shorter ones through the scratch item.
static void BM_DeliverItems(benchmark::State& st)
{
    const uint32_t device = static_cast<uint32_t>(st.range(0));
    std::vector<uint8_t> items(1000 * device, 1);
    for (size_t i = 0; i < items.size(); i += device)
        std::memcpy(items.data() + i, &device, 4);
    uint32_t sum = 0;
    for (auto _ : st) {
        for (size_t i = 0; i < items.size(); i += device)
            std::memcpy(items.data() + i, &device, 4);
        kvparam::DeliverItems(items.data(), static_cast<uint32_t>(items.size()), 28,
                              [](void* item, void* u) {
                                  if (item)
                                      *static_cast<uint32_t*>(u) += static_cast<uint8_t*>(item)[27];
                              },
                              &sum);
    }
    benchmark::DoNotOptimize(sum);
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * 1000);
}
BENCHMARK(BM_DeliverItems)->Arg(20)->Arg(28)->Arg(48);

BENCHMARK_MAIN();
