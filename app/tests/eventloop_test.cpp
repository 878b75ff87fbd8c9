// Worker pool: hand-over order, idle reuse, stop, and a lossless hand-over under load.
// Every wait is on a latch or a condition with a generous limit; nothing sleeps.
#include "EventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 60s;  // only reached when the pool has lost a job

// Opens once; every waiter passes from then on.
class Gate {
public:
    void open()
    {
        std::lock_guard<std::mutex> lk(m_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait()
    {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, kLimit, [&] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What a job saw: its order of start and its thread, and the gate it waits at.
struct Probe {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> started;  // job numbers in order of start
    std::vector<std::thread::id> thread;

    explicit Probe(int jobs) : thread(static_cast<size_t>(jobs)) {}
    bool waitStarted(size_t n)
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, kLimit, [&] { return started.size() >= n; });
    }
};

struct GatedJob {
    Probe* probe;
    int number;
    Gate gate;
};

void gatedJob(void* arg)
{
    auto* job = static_cast<GatedJob*>(arg);
    {
        std::lock_guard<std::mutex> lk(job->probe->m);
        job->probe->started.push_back(job->number);
        job->probe->thread[static_cast<size_t>(job->number)] = std::this_thread::get_id();
        job->probe->cv.notify_all();
    }
    job->gate.wait();
}

std::vector<std::unique_ptr<GatedJob>> makeJobs(Probe& probe, int n)
{
    std::vector<std::unique_ptr<GatedJob>> jobs;
    for (int i = 0; i < n; ++i)
        jobs.emplace_back(new GatedJob{&probe, i, {}});
    return jobs;
}

const WorkThread* workerOf(EventLoop& pool, std::thread::id id)
{
    for (int i = 0; i < pool.workerCount(); ++i)
        if (pool.worker(i)->threadId() == id)
            return pool.worker(i);
    return nullptr;
}

TEST(EventLoop, WorkerCounts)
{
    unsigned hw = std::thread::hardware_concurrency();
    struct {
        int asked;
        int made;
    } const cases[] = {{0, 2 * static_cast<int>(hw ? hw : 1) + 2}, {1, 1}, {5, 5}, {-1, 0}, {-7, 0}};
    for (const auto& c : cases) {
        EventLoop pool(c.asked);
        EXPECT_EQ(pool.workerCount(), c.made) << "asked " << c.asked;
        EXPECT_TRUE(pool.waitIdle(static_cast<size_t>(c.made), kLimit));
    }
}

// N idle workers, N + 3 jobs in one burst: N start at once, the last-idle worker first,
// the other three wait and run first in, first out, each on the worker that finished,
// which takes it without sleeping.
TEST(EventLoop, BurstBeyondTheWorkersQueuesInOrder)
{
    const int n = 4;
    EventLoop pool(n);
    ASSERT_TRUE(pool.waitIdle(n, kLimit));
    Probe probe(n + 3);
    auto jobs = makeJobs(probe, n + 3);
    for (auto& j : jobs)
        ASSERT_TRUE(pool.addWork(gatedJob, j.get()));
    ASSERT_TRUE(probe.waitStarted(n));
    EXPECT_EQ(pool.queuedCount(), 3u);
    EXPECT_EQ(pool.idleCount(), 0u);
    for (int i = 0; i < n; ++i)  // the idle list is used from its end
        EXPECT_EQ(probe.thread[static_cast<size_t>(i)], pool.worker(n - 1 - i)->threadId()) << "job " << i;

    struct {
        int release;  // the running job let go
        int next;     // the queued job that must follow on its worker
    } const steps[] = {{0, n}, {2, n + 1}, {1, n + 2}};
    size_t startedSoFar = n;
    for (const auto& s : steps) {
        const WorkThread* w = workerOf(pool, probe.thread[static_cast<size_t>(s.release)]);
        ASSERT_NE(w, nullptr);
        unsigned long sleeps = w->sleepCount();
        jobs[static_cast<size_t>(s.release)]->gate.open();
        ASSERT_TRUE(probe.waitStarted(++startedSoFar));
        std::lock_guard<std::mutex> lk(probe.m);
        EXPECT_EQ(probe.started.back(), s.next);
        EXPECT_EQ(probe.thread[static_cast<size_t>(s.next)], w->threadId());
        EXPECT_EQ(w->sleepCount(), sleeps) << "the worker slept between two jobs";
    }
    EXPECT_EQ(pool.queuedCount(), 0u);
    for (auto& j : jobs)
        j->gate.open();
    EXPECT_TRUE(pool.waitIdle(n, kLimit));
}

// The most recently idle worker takes the next job.
TEST(EventLoop, LastIdleWorkerIsUsedFirst)
{
    EventLoop pool(3);
    ASSERT_TRUE(pool.waitIdle(3, kLimit));
    Probe probe(6);
    auto jobs = makeJobs(probe, 6);
    for (int i = 0; i < 3; ++i)
        pool.addWork(gatedJob, jobs[static_cast<size_t>(i)].get());
    ASSERT_TRUE(probe.waitStarted(3));
    // Let them go in the order 1, 0, 2: the idle list ends with job 2's worker.
    size_t idle = 0;
    for (int i : {1, 0, 2}) {
        jobs[static_cast<size_t>(i)]->gate.open();
        ASSERT_TRUE(pool.waitIdle(++idle, kLimit));
    }
    for (int i : {3, 4, 5})
        pool.addWork(gatedJob, jobs[static_cast<size_t>(i)].get());
    ASSERT_TRUE(probe.waitStarted(6));
    EXPECT_EQ(probe.thread[3], probe.thread[2]);
    EXPECT_EQ(probe.thread[4], probe.thread[0]);
    EXPECT_EQ(probe.thread[5], probe.thread[1]);
    for (auto& j : jobs)
        j->gate.open();
    EXPECT_TRUE(pool.waitIdle(3, kLimit));  // no worker still inside a job's gate
}

void countJob(void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

TEST(EventLoop, JobsAfterStopNeverRun)
{
    std::atomic<int> runs{0};
    EventLoop pool(2);
    pool.stopLoop();
    EXPECT_FALSE(pool.addWork(countJob, &runs));
    pool.stopLoop();  // a second stop changes nothing
    pool.joinWorkers();
    EXPECT_EQ(runs.load(), 0);
    EXPECT_FALSE(pool.addWork(nullptr, &runs));
}

// Stop with every worker busy and jobs queued: the running jobs finish, the queued ones
// are dropped, and every worker ends.
TEST(EventLoop, StopDropsQueuedJobsAndEndsWorkers)
{
    const int n = 2;
    EventLoop pool(n);
    ASSERT_TRUE(pool.waitIdle(n, kLimit));
    Probe probe(n + 2);
    auto jobs = makeJobs(probe, n + 2);
    for (auto& j : jobs)
        pool.addWork(gatedJob, j.get());
    ASSERT_TRUE(probe.waitStarted(n));
    pool.stopLoop();
    EXPECT_EQ(pool.queuedCount(), 0u);
    for (auto& j : jobs)
        j->gate.open();
    pool.joinWorkers();
    EXPECT_EQ(probe.started.size(), static_cast<size_t>(n));
}

// A pool without workers queues and never runs; the stop frees the queue.
TEST(EventLoop, NoWorkersQueuesOnly)
{
    std::atomic<int> runs{0};
    EventLoop pool(-1);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(pool.addWork(countJob, &runs));
    EXPECT_EQ(pool.queuedCount(), 5u);
    pool.stopLoop();
    EXPECT_EQ(pool.queuedCount(), 0u);
    EXPECT_EQ(runs.load(), 0);
}

// Jobs in random bursts from two producers, now and then waiting for the pool to drain so
// that workers keep going idle just as jobs arrive: every job runs exactly once.
struct StressRound {
    std::vector<std::atomic<unsigned char>> hits;
    std::atomic<int> done{0};
    int total;
    std::mutex m;
    std::condition_variable cv;
    explicit StressRound(int n) : hits(static_cast<size_t>(n)), total(n) {}
};

struct StressArg {
    StressRound* round;
    int index;
};

void stressJob(void* p)
{
    auto* a = static_cast<StressArg*>(p);
    a->round->hits[static_cast<size_t>(a->index)].fetch_add(1, std::memory_order_relaxed);
    if (a->round->done.fetch_add(1) + 1 == a->round->total) {
        std::lock_guard<std::mutex> lk(a->round->m);
        a->round->cv.notify_all();
    }
}

TEST(EventLoop, RandomBurstsLoseNothingRunNothingTwice)
{
    const int jobsPerRound = 100000;
    const int rounds = 200;
    EventLoop pool(0);
    std::vector<StressArg> args(static_cast<size_t>(jobsPerRound));
    std::mt19937 seedGen(12345);
    for (int r = 0; r < rounds; ++r) {
        StressRound round(jobsPerRound);
        for (int i = 0; i < jobsPerRound; ++i)
            args[static_cast<size_t>(i)] = StressArg{&round, i};
        auto produce = [&](int from, int to, unsigned seed) {
            std::mt19937 rng(seed);
            std::uniform_int_distribution<int> burst(1, 3000), drain(0, 7);
            int i = from;
            while (i < to) {
                int end = std::min(to, i + burst(rng));
                for (; i < end; ++i)
                    pool.addWork(stressJob, &args[static_cast<size_t>(i)]);
                if (drain(rng) == 0)
                    pool.waitIdle(static_cast<size_t>(pool.workerCount()), kLimit);
            }
        };
        std::thread second(produce, jobsPerRound / 2, jobsPerRound, static_cast<unsigned>(seedGen()));
        produce(0, jobsPerRound / 2, static_cast<unsigned>(seedGen()));
        second.join();
        {
            std::unique_lock<std::mutex> lk(round.m);
            ASSERT_TRUE(round.cv.wait_for(lk, kLimit, [&] { return round.done.load() == jobsPerRound; }))
                << "round " << r << ": " << round.done.load() << " of " << jobsPerRound << " jobs ran";
        }
        int wrong = 0;
        for (auto& h : round.hits)
            wrong += h.load() != 1;
        ASSERT_EQ(wrong, 0) << "round " << r;
        // The last job may still be on its way back to the idle list.
        ASSERT_TRUE(pool.waitIdle(static_cast<size_t>(pool.workerCount()), kLimit));
    }
}

}  // namespace
