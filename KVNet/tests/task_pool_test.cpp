// Task pool, SyncEvent and the message sequence counter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <sys/syscall.h>
#include <vector>

#include "kv_globals.h"
#include "sync_event.h"
#include "task_pool.h"
#include "test_kit.h"

using namespace std::chrono;
using kvtest::WaitFor;

namespace {

pid_t tid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// A task that records its thread and signals completion.
struct Probe {
    std::atomic<pid_t> thread{0};
    SyncEvent done{true, false};
    SyncEvent release{true, true}; // set: the task returns at once
};

void* probe_task(void* arg)
{
    auto* p = static_cast<Probe*>(arg);
    p->thread = tid();
    p->release.Wait(SyncEvent::kInfinite);
    p->done.Set();
    return nullptr;
}

class TaskPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Start each case from an empty idle list: let parked workers expire quickly.
        sl_task_set_idle_ms(1);
        ASSERT_TRUE(WaitFor([] { return sl_task_idle_workers() == 0; }, seconds(5)));
    }
    void TearDown() override { sl_task_set_idle_ms(30000); }
};

TEST_F(TaskPool, ParkedWorkerIsReused)
{
    sl_task_set_idle_ms(10000);
    Probe a, b;
    ASSERT_EQ(sl_task_add(probe_task, &a), 0);
    ASSERT_TRUE(a.done.Wait(5000));
    ASSERT_TRUE(WaitFor([] { return sl_task_idle_workers() == 1; }, seconds(5)));
    unsigned long started = sl_task_threads_started();
    ASSERT_EQ(sl_task_add(probe_task, &b), 0);
    ASSERT_TRUE(b.done.Wait(5000));
    EXPECT_EQ(a.thread.load(), b.thread.load());
    EXPECT_EQ(sl_task_threads_started(), started);
}

TEST_F(TaskPool, MostRecentlyParkedWorkerGoesFirst)
{
    sl_task_set_idle_ms(10000);
    Probe a, b;
    a.release.Reset();
    b.release.Reset();
    ASSERT_EQ(sl_task_add(probe_task, &a), 0);
    ASSERT_EQ(sl_task_add(probe_task, &b), 0);
    ASSERT_TRUE(WaitFor([&] { return a.thread && b.thread; }, seconds(5)));
    ASSERT_NE(a.thread.load(), b.thread.load());
    a.release.Set(); // a parks first
    ASSERT_TRUE(a.done.Wait(5000));
    ASSERT_TRUE(WaitFor([] { return sl_task_idle_workers() == 1; }, seconds(5)));
    b.release.Set(); // then b
    ASSERT_TRUE(b.done.Wait(5000));
    ASSERT_TRUE(WaitFor([] { return sl_task_idle_workers() == 2; }, seconds(5)));
    Probe c;
    ASSERT_EQ(sl_task_add(probe_task, &c), 0);
    ASSERT_TRUE(c.done.Wait(5000));
    EXPECT_EQ(c.thread.load(), b.thread.load());
}

TEST_F(TaskPool, BusyWorkersMeanNewThreadsAtOnce)
{
    sl_task_set_idle_ms(10000);
    Probe p[3];
    for (auto& x : p)
        x.release.Reset();
    unsigned long started = sl_task_threads_started();
    for (auto& x : p)
        ASSERT_EQ(sl_task_add(probe_task, &x), 0);
    // All three run concurrently: none waits for another to finish.
    ASSERT_TRUE(WaitFor([&] { return p[0].thread && p[1].thread && p[2].thread; }, seconds(5)));
    EXPECT_EQ(sl_task_threads_started(), started + 3);
    std::set<pid_t> ids{p[0].thread, p[1].thread, p[2].thread};
    EXPECT_EQ(ids.size(), 3u);
    for (auto& x : p)
        x.release.Set();
    for (auto& x : p)
        ASSERT_TRUE(x.done.Wait(5000));
}

TEST_F(TaskPool, IdleWorkerExpiresAndNextTaskGetsANewThread)
{
    sl_task_set_idle_ms(50);
    Probe a, b;
    ASSERT_EQ(sl_task_add(probe_task, &a), 0);
    ASSERT_TRUE(a.done.Wait(5000));
    ASSERT_TRUE(WaitFor([] { return sl_task_idle_workers() == 0; }, seconds(5)));
    unsigned long started = sl_task_threads_started();
    ASSERT_EQ(sl_task_add(probe_task, &b), 0);
    ASSERT_TRUE(b.done.Wait(5000));
    EXPECT_EQ(sl_task_threads_started(), started + 1);
}

// A task handed over right as the worker's idle deadline passes must still run.
TEST_F(TaskPool, NoTaskLostAtTheIdleDeadline)
{
    std::atomic<int> ran{0};
    auto count = [](void* p) -> void* {
        static_cast<std::atomic<int>*>(p)->fetch_add(1);
        return nullptr;
    };
    const int kTasks = 3000;
    for (int i = 0; i < kTasks; ++i) {
        sl_task_set_idle_ms(static_cast<unsigned>(i % 3)); // 0..2 ms: hand-over races expiry
        ASSERT_EQ(sl_task_add(count, &ran), 0);
        if (i % 7 == 0)
            std::this_thread::sleep_for(microseconds(i % 1500));
    }
    EXPECT_TRUE(WaitFor([&] { return ran.load() == kTasks; }, seconds(30)));
}

// The real 30 s idle time: a task 31 s after the last one starts a new thread.
TEST_F(TaskPool, SlowRealIdleExpiry)
{
    sl_task_set_idle_ms(30000);
    Probe a, b, c;
    ASSERT_EQ(sl_task_add(probe_task, &a), 0);
    ASSERT_TRUE(a.done.Wait(5000));
    std::this_thread::sleep_for(seconds(1));
    ASSERT_EQ(sl_task_add(probe_task, &b), 0);
    ASSERT_TRUE(b.done.Wait(5000));
    EXPECT_EQ(a.thread.load(), b.thread.load());
    std::this_thread::sleep_for(seconds(31));
    ASSERT_EQ(sl_task_add(probe_task, &c), 0);
    ASSERT_TRUE(c.done.Wait(5000));
    EXPECT_NE(c.thread.load(), b.thread.load());
}

TEST(SyncEventTest, ManualResetStaysSetAndWakesAll)
{
    SyncEvent ev(true, false);
    EXPECT_FALSE(ev.Wait(0));
    std::atomic<int> woke{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            if (ev.Wait(SyncEvent::kInfinite))
                woke++;
        });
    ev.Set();
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(woke.load(), 4);
    EXPECT_TRUE(ev.Wait(0));
    ev.Reset();
    EXPECT_FALSE(ev.Wait(0));
}

TEST(SyncEventTest, AutoResetReleasesOneWaitPerSet)
{
    SyncEvent ev(false, true);
    EXPECT_TRUE(ev.Wait(0));  // a successful poll clears it
    EXPECT_FALSE(ev.Wait(0));
    ev.Set();
    EXPECT_TRUE(ev.Wait(10));
    EXPECT_FALSE(ev.Wait(10));
}

TEST(SyncEventTest, TimedWaitRespectsItsDeadline)
{
    SyncEvent ev(true, false);
    auto t0 = steady_clock::now();
    EXPECT_FALSE(ev.Wait(120));
    auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_GE(ms, 120 - kvtest::kClockSlackMs);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(30));
        ev.Set();
    });
    EXPECT_TRUE(ev.Wait(5000));
    setter.join();
}

TEST(MsgSeq, UniqueAcrossThreads)
{
    std::mutex m;
    std::set<uint32_t> all;
    std::vector<std::thread> ts;
    const int kPer = 10000;
    for (int t = 0; t < 16; ++t)
        ts.emplace_back([&] {
            std::vector<uint32_t> mine;
            for (int i = 0; i < kPer; ++i)
                mine.push_back(kvnet_next_seq());
            std::lock_guard<std::mutex> g(m);
            all.insert(mine.begin(), mine.end());
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(all.size(), 16u * kPer);
}

TEST(MsgSeq, WrapsToZero)
{
    uint32_t saved = gMsgSeq.load();
    gMsgSeq.store(0xFFFFFFFEu);
    EXPECT_EQ(kvnet_next_seq(), 0xFFFFFFFFu);
    EXPECT_EQ(kvnet_next_seq(), 0u);
    gMsgSeq.store(saved);
}

} // namespace
