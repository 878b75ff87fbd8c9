// Media figures: FrameBuf reassembly speed beside memcpy of the same bytes, allocations per
// pack once warm, and live preview on loopback (frame age at the callback, CPU per frame)
// for 1, 4 and 16 streams of about 8 Mbit/s from the simulator.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "frame_buf.h"
#include "test_kit.h"

// Counting allocator: every operator new of the program (malloc underneath, so free is
// the matching release).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<uint64_t> gNews{0};
void* operator new(size_t n)
{
    ++gNews;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr int kPacks = 64;

std::vector<PackBuf> MakeFrame(uint32_t slot)
{
    const size_t total = static_cast<size_t>(kPacks) * slot;
    std::vector<uint8_t> bytes(total, 0x3C);
    KVFrameHead h{};
    h.Magic = KV_FRAME_MAGIC;
    h.FrameType = KV_FRAME_I;
    h.FrameSize = static_cast<uint32_t>(total - 40);
    memcpy(bytes.data(), &h, 40);
    std::vector<PackBuf> packs(kPacks);
    for (int i = 0; i < kPacks; ++i) {
        PackBuf& p = packs[static_cast<size_t>(i)];
        p.head = PackHead{};
        p.head.flags = slot == 8192 ? 1 : 0;
        p.head.PackNum = kPacks;
        p.head.PackNo = static_cast<uint16_t>(i);
        p.head.PackSize = static_cast<uint16_t>(slot);
        memcpy(p.data, bytes.data() + static_cast<size_t>(i) * slot, slot);
    }
    return packs;
}

void BM_FrameBuf(benchmark::State& st)
{
    const uint32_t slot = static_cast<uint32_t>(st.range(0));
    const bool reversed = st.range(1) != 0;
    auto packs = MakeFrame(slot);
    if (reversed)
        std::reverse(packs.begin(), packs.end());
    FrameBuf fb;
    uint32_t no = 0;
    uint64_t frames = 0;
    for (auto _ : st) {
        ++no;
        for (PackBuf& p : packs) {
            p.head.FrameNo = no;
            frames += fb.AddPack(p, true);
        }
        benchmark::DoNotOptimize(fb.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kPacks * slot);
    st.counters["frames"] = static_cast<double>(frames);
}

void BM_Memcpy(benchmark::State& st)
{
    const uint32_t slot = static_cast<uint32_t>(st.range(0));
    auto packs = MakeFrame(slot);
    std::vector<uint8_t> dst(static_cast<size_t>(kPacks) * slot + 65536);
    for (auto _ : st) {
        for (PackBuf& p : packs)
            memcpy(dst.data() + static_cast<size_t>(p.head.PackNo) * slot, p.data, p.head.PackSize);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kPacks * slot);
}

// 10^6 packs after a warm-up frame: allocations of any kind per pack.
void BM_FrameBufAllocations(benchmark::State& st)
{
    auto packs = MakeFrame(1400);
    for (auto _ : st) {
        FrameBuf fb;
        for (PackBuf& p : packs)
            fb.AddPack(p, true);
        const uint64_t news0 = gNews.load();
        const unsigned bufs0 = fb.allocations();
        uint64_t n = 0;
        for (uint32_t no = 1; n < 1000000; ++no)
            for (PackBuf& p : packs) {
                p.head.FrameNo = no;
                fb.AddPack(p, true);
                ++n;
            }
        // Read before the counters map allocates its entries.
        const double news = static_cast<double>(gNews.load() - news0);
        const double bufs = fb.allocations() - bufs0;
        st.counters["packs"] = static_cast<double>(n);
        st.counters["news_after_warmup"] = news;
        st.counters["buffer_allocs_after_warmup"] = bufs;
    }
}

double CpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct AgeRecorder {
    std::mutex mu;
    std::vector<double> ageMs;
    std::atomic<uint64_t> bytes{0};
    std::atomic<bool> on{false};
    static void OnFrame(const KVFrameHead* f, uint32_t size, void* user)
    {
        auto* r = static_cast<AgeRecorder*>(user);
        if (!r->on)
            return;
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        std::lock_guard<std::mutex> l(r->mu);
        r->ageMs.push_back((static_cast<double>(now) - static_cast<double>(f->Reserved)) / 1000.0);
        r->bytes += size;
    }
};

std::atomic<int> gLogged{0};
void OnSessionMsg(unsigned code, void*)
{
    if (code == 101)
        ++gLogged;
}

// Streams of about 8 Mbit/s each (the synthetic stream averages ~7.5 KB a frame; 133
// frames a second), each on its own channel, one session.
void BM_PreviewLoopback(benchmark::State& st)
{
    const int clients = static_cast<int>(st.range(0));
    for (auto _ : st) {
        kvtest::SimProcess sim;
        if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "media-loop", "--scenario", "media-fps=133",
                        "--scenario", "media-stamp", "--scenario", "media-frames=200"})) {
            st.SkipWithError("simulator did not start");
            return;
        }
        gLogged = 0;
        KVNetConnectionParam cp{};
        cp.szAddr = "127.0.0.1";
        cp.nPort = sim.tcp_port();
        cp.szUser = "admin";
        cp.szPwd = "admin123";
        cp.msgCallback = &OnSessionMsg;
        DevConnection* s = KVNetConnectionStartEx(&cp);
        kvtest::WaitFor([] { return gLogged.load() > 0; }, std::chrono::milliseconds(10000));
        AgeRecorder rec;
        std::vector<KVNetPreviewHandle> hs;
        for (int c = 0; c < clients; ++c) {
            KVNetPreviewParam p{};
            p.nChannel = static_cast<uint32_t>(c);
            p.dataCallback = &AgeRecorder::OnFrame;
            p.pUser = &rec;
            p.pQuiet = &rec;
            hs.push_back(KVNetStartPreview(s, &p));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        rec.on = true;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));
        rec.on = false;
        const double cpu = CpuSeconds() - cpu0;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (auto& h : hs)
            KVNetStopPreview(s, &h);
        KVNetConnectionStop(&s);
        std::lock_guard<std::mutex> l(rec.mu);
        std::sort(rec.ageMs.begin(), rec.ageMs.end());
        const size_t n = rec.ageMs.size();
        st.counters["frames"] = static_cast<double>(n);
        st.counters["mbit_per_s_per_client"] = rec.bytes.load() * 8.0 / 1e6 / secs / clients;
        st.counters["age_p50_ms"] = n ? rec.ageMs[n / 2] : -1;
        st.counters["age_p99_ms"] = n ? rec.ageMs[n * 99 / 100] : -1;
        st.counters["cpu_us_per_frame"] = n ? cpu * 1e6 / static_cast<double>(n) : -1;
    }
}

} // namespace

BENCHMARK(BM_FrameBuf)->Args({1400, 0})->Args({1400, 1})->Args({8192, 0})->Args({8192, 1});
BENCHMARK(BM_Memcpy)->Arg(1400)->Arg(8192);
BENCHMARK(BM_FrameBufAllocations)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreviewLoopback)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
