// Task start latency (parked worker vs new thread) and log lines per second with 8 threads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "test_kit.h"
#include "KVNet.h"
#include "kv_log.h"
#include "sync_event.h"
#include "task_pool.h"

namespace {

void* signal_task(void* arg)
{
    static_cast<SyncEvent*>(arg)->Set();
    return nullptr;
}

// Time from sl_task_add to the task running, on a worker parked and waiting.
void BM_TaskStartParked(benchmark::State& st)
{
    sl_task_set_idle_ms(30000);
    SyncEvent ran(false, false);
    sl_task_add(signal_task, &ran);
    ran.Wait(SyncEvent::kInfinite);
    for (auto _ : st) {
        // Let the worker park again before the next hand-over.
        st.PauseTiming();
        while (sl_task_idle_workers() == 0)
            std::this_thread::yield();
        st.ResumeTiming();
        sl_task_add(signal_task, &ran);
        ran.Wait(SyncEvent::kInfinite);
    }
}
BENCHMARK(BM_TaskStartParked)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same when no worker is parked: a new 2 MiB-stack thread each time.
void BM_TaskStartNewThread(benchmark::State& st)
{
    SyncEvent ran(false, false);
    for (auto _ : st) {
        st.PauseTiming();
        sl_task_set_idle_ms(0); // parked workers end at once
        while (sl_task_idle_workers() != 0)
            std::this_thread::yield();
        st.ResumeTiming();
        sl_task_add(signal_task, &ran);
        ran.Wait(SyncEvent::kInfinite);
    }
    sl_task_set_idle_ms(30000);
}
BENCHMARK(BM_TaskStartNewThread)->UseRealTime()->Unit(benchmark::kMicrosecond);

class LogFixture : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State& st) override
    {
        if (st.thread_index() != 0)
            return;
        path_ = dir_.File("bench.log");
        KVNetLogParam p{};
        snprintf(p.szLogPath, sizeof p.szLogPath, "%s", path_.c_str());
        p.gEnableMsgStatus = 1;
        KVNetInitLog(&p);
    }
    void TearDown(const benchmark::State& st) override
    {
        if (st.thread_index() != 0)
            return;
        KVNetRelease();
        unlink(path_.c_str());
    }
    kvtest::TempDir dir_{"bench-log"}; // goes with the log in it
    std::string path_;
};

BENCHMARK_DEFINE_F(LogFixture, Lines)(benchmark::State& st)
{
    int i = 0;
    for (auto _ : st)
        KV_LOG(gEnableMsgStatus, "recv msg type=%d subtype=%d size=%u seq=%u\n", 31, i++, 1024u, 77u);
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK_REGISTER_F(LogFixture, Lines)->Threads(1)->Threads(8)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
