// The tool's worker pool: a fixed set of workers for the per-device jobs.
//
// Qt-free on purpose: standard threads, mutexes and condition variables, so that the
// thread sanitizer (which cannot see inside a Qt built without it) checks every hand-over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

typedef void (*WorkFunc)(void*);

class EventLoop;

// A job waiting in the queue: a function and its one argument.
struct WorkItem {
    WorkFunc m_pFunc = nullptr;
    void* m_pArg = nullptr;
};

class WorkThread {
public:
    explicit WorkThread(EventLoop* pool);
    ~WorkThread();
    WorkThread(const WorkThread&) = delete;
    WorkThread& operator=(const WorkThread&) = delete;

    void start();
    void join();
    // Number of times the worker actually went to sleep (for tests of the hand-over).
    unsigned long sleepCount() const { return m_nSleeps.load(std::memory_order_relaxed); }
    std::thread::id threadId() const { return m_thread.get_id(); }

private:
    friend class EventLoop;
    void run();
    // Hands a job to this worker; called with the pool lock held, takes the worker's own.
    void give(WorkFunc fn, void* arg);
    // Wakes the worker for good; it ends once its current job is done.
    void wakeToEnd();

    std::mutex m_mutex;              // guards the job fields and m_bEnd
    std::condition_variable m_cond;  // the worker sleeps on it between jobs
    EventLoop* m_pLoop;
    WorkFunc m_pFunc = nullptr;
    void* m_pArg = nullptr;
    bool m_bEnd = false;
    std::atomic<unsigned long> m_nSleeps{0};
    std::thread m_thread;
};

class EventLoop {
public:
    // count 0: 2 x hardware threads + 2; below 0: no workers at all.
    explicit EventLoop(int count = 0);
    // Stops the pool and waits for its workers (the process-wide pool is never destroyed).
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The process-wide pool, created on the first call (by main, before any other thread).
    static EventLoop* getLoop();

    void startLoop() {}
    // Runs fn(arg) once on a worker: the most recently idle one at once, or the first to
    // finish when all are busy. False when the pool was stopped: the job is dropped.
    bool addWork(WorkFunc fn, void* arg);
    // Drops the queued jobs and ends every worker once its current job is done.
    void stopLoop();
    // Waits for the workers that stopLoop ended (tests and orderly shutdown only).
    void joinWorkers();

    int workerCount() const { return m_nCount; }
    bool isStopped() const { return m_nStop.load() != 0; }
    size_t idleCount();
    size_t queuedCount();
    // Blocks until at least n workers are idle or the time-out ends; true when they are.
    bool waitIdle(size_t n, std::chrono::milliseconds timeout);
    const WorkThread* worker(int i) const { return m_workers[static_cast<size_t>(i)]; }

    static EventLoop* s_pEventLoop;

private:
    friend class WorkThread;
    // Called by a worker after each job: the next queued job, or back to the idle list.
    bool switchActiveThread(WorkThread* worker, WorkFunc& fn, void*& arg);

    int m_nCount = 0;
    std::atomic<int> m_nStop{0};
    // One lock for the queue and the idle and busy lists: a worker that finds the queue empty
    // joins the idle list in the same step, so addWork either sees it idle or queues a job
    // that the worker will still find.
    std::mutex m_mutex;
    std::condition_variable m_idleCond;
    std::deque<WorkItem> m_queue;
    std::vector<WorkThread*> m_idle;  // back: the most recently idle worker
    std::list<WorkThread*> m_busy;
    std::vector<WorkThread*> m_workers;  // every worker, owned
};
