// Worker pool beside QThreadPool, same machine, same run.
//   latency: time from the call that hands over a job to the job's first instruction, one
//            job at a time on an idle pool (p50, p99 over many samples);
//   throughput: empty jobs per second, a million handed over as fast as the caller can.
#include "EventLoop.h"

#include <QCoreApplication>
#include <QRunnable>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct LatencyProbe {
    std::atomic<Clock::rep> started{0};
    std::atomic<bool> ran{false};
};

void latencyJob(void* arg)
{
    auto* p = static_cast<LatencyProbe*>(arg);
    p->started.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    p->ran.store(true, std::memory_order_release);
}

struct Done {
    std::atomic<long> count{0};
    long total = 0;
    std::mutex m;
    std::condition_variable cv;
    void hit()
    {
        if (count.fetch_add(1, std::memory_order_relaxed) + 1 == total) {
            std::lock_guard<std::mutex> lk(m);
            cv.notify_all();
        }
    }
    void wait()
    {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return count.load() == total; });
    }
};

void emptyJob(void* arg)
{
    static_cast<Done*>(arg)->hit();
}

template <class Submit>
void measureLatency(const char* name, int samples, Submit submit)
{
    std::vector<double> us;
    us.reserve(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        LatencyProbe probe;
        auto t0 = Clock::now();
        submit(&probe);
        while (!probe.ran.load(std::memory_order_acquire))
            std::this_thread::yield();
        Clock::time_point t1{Clock::duration{probe.started.load()}};
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[static_cast<size_t>(p * (us.size() - 1))]; };
    std::printf("%-12s hand-off latency  p50 %7.1f us  p99 %7.1f us  (%d samples)\n", name, pct(0.50), pct(0.99),
                samples);
}

template <class Submit>
void measureThroughput(const char* name, long jobs, Submit submit)
{
    Done done;
    done.total = jobs;
    auto t0 = Clock::now();
    for (long i = 0; i < jobs; ++i)
        submit(&done);
    done.wait();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-12s empty jobs        %10.0f per second  (%ld jobs in %.2f s)\n", name, jobs / s, jobs, s);
}

class LatencyRunnable : public QRunnable {
public:
    explicit LatencyRunnable(LatencyProbe* p) : p_(p) {}
    void run() override { latencyJob(p_); }

private:
    LatencyProbe* p_;
};

class EmptyRunnable : public QRunnable {
public:
    explicit EmptyRunnable(Done* d) : d_(d) {}
    void run() override { d_->hit(); }

private:
    Done* d_;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int samples = argc > 1 ? std::atoi(argv[1]) : 20000;
    long jobs = argc > 2 ? std::atol(argv[2]) : 1000000;

    EventLoop pool(0);
    QThreadPool qpool;
    qpool.setMaxThreadCount(pool.workerCount());
    qpool.setExpiryTimeout(-1);  // keep its threads, as the pool keeps its workers
    std::printf("workers: %d on %u hardware threads\n", pool.workerCount(), std::thread::hardware_concurrency());
    pool.waitIdle(static_cast<size_t>(pool.workerCount()), std::chrono::seconds(10));

    for (int pass = 0; pass < 2; ++pass) {  // the first pass warms both pools up
        if (pass == 1)
            std::printf("--\n");
        measureLatency("EventLoop", samples, [&](LatencyProbe* p) { pool.addWork(latencyJob, p); });
        measureLatency("QThreadPool", samples, [&](LatencyProbe* p) { qpool.start(new LatencyRunnable(p)); });
        measureThroughput("EventLoop", jobs, [&](Done* d) { pool.addWork(emptyJob, d); });
        measureThroughput("QThreadPool", jobs, [&](Done* d) { qpool.start(new EmptyRunnable(d)); });
    }
    qpool.waitForDone();
    return 0;
}
