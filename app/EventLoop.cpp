#include "EventLoop.h"

#include <algorithm>

EventLoop* EventLoop::s_pEventLoop = nullptr;

WorkThread::WorkThread(EventLoop* pool) : m_pLoop(pool) {}

WorkThread::~WorkThread()
{
    join();
}

void WorkThread::start()
{
    m_thread = std::thread([this] { run(); });
}

void WorkThread::join()
{
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void WorkThread::give(WorkFunc fn, void* arg)
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_pFunc = fn;
        m_pArg = arg;
    }
    m_cond.notify_one();
}

void WorkThread::wakeToEnd()
{
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        m_bEnd = true;
    }
    m_cond.notify_one();
}

void WorkThread::run()
{
    for (;;) {
        WorkFunc fn;
        void* arg;
        {
            // The job slot is checked under the worker's mutex before every sleep, so a job
            // or an end set between two passes is never missed.
            std::unique_lock<std::mutex> lk(m_mutex);
            if (!m_pFunc && !m_bEnd) {
                m_nSleeps.fetch_add(1, std::memory_order_relaxed);
                m_cond.wait(lk, [this] { return m_pFunc != nullptr || m_bEnd; });
            }
            if (!m_pFunc)
                return;  // woken to end, no job
            fn = m_pFunc;
            arg = m_pArg;
            m_pFunc = nullptr;
            m_pArg = nullptr;
        }
        do {
            fn(arg);
        } while (m_pLoop->switchActiveThread(this, fn, arg));
        if (m_pLoop->m_nStop.load() != 0) {
            // A job handed over just before the stop still runs once.
            std::lock_guard<std::mutex> lk(m_mutex);
            if (!m_pFunc)
                return;
        }
    }
}

EventLoop::EventLoop(int count)
{
    if (count == 0) {
        unsigned hw = std::thread::hardware_concurrency();
        count = 2 * static_cast<int>(hw == 0 ? 1 : hw) + 2;
    }
    if (count < 0)
        count = 0;
    m_nCount = count;
    m_workers.reserve(static_cast<size_t>(count));
    std::lock_guard<std::mutex> lk(m_mutex);
    for (int i = 0; i < count; ++i) {
        WorkThread* w = new WorkThread(this);
        m_workers.push_back(w);
        m_idle.push_back(w);
        w->start();
    }
}

EventLoop::~EventLoop()
{
    stopLoop();
    joinWorkers();
    for (WorkThread* w : m_workers)
        delete w;
}

EventLoop* EventLoop::getLoop()
{
    // No lock: main creates the pool on the GUI thread before any other thread exists.
    if (!s_pEventLoop)
        s_pEventLoop = new EventLoop(0);
    return s_pEventLoop;
}

bool EventLoop::addWork(WorkFunc fn, void* arg)
{
    if (!fn)
        return false;
    std::lock_guard<std::mutex> lk(m_mutex);
    if (m_nStop.load() != 0)
        return false;
    if (!m_idle.empty()) {
        WorkThread* w = m_idle.back();
        m_idle.pop_back();
        m_busy.push_back(w);
        w->give(fn, arg);
    } else {
        m_queue.push_back(WorkItem{fn, arg});
    }
    return true;
}

bool EventLoop::switchActiveThread(WorkThread* worker, WorkFunc& fn, void*& arg)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    if (m_nStop.load() == 0 && !m_queue.empty()) {
        fn = m_queue.front().m_pFunc;
        arg = m_queue.front().m_pArg;
        m_queue.pop_front();
        return true;  // runs at once, without sleeping and without going idle
    }
    if (m_nStop.load() != 0)
        return false;  // not put back: the worker ends
    auto it = std::find(m_busy.begin(), m_busy.end(), worker);
    if (it != m_busy.end()) {
        m_busy.erase(it);
        m_idle.push_back(worker);
        m_idleCond.notify_all();
    }
    return false;
}

void EventLoop::stopLoop()
{
    std::vector<WorkThread*> idle;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        if (m_nStop.fetch_add(1) != 0)
            return;
        m_queue.clear();
        idle.swap(m_idle);
    }
    // Idle workers are off every list now; busy ones end after their current job.
    for (auto it = idle.rbegin(); it != idle.rend(); ++it)
        (*it)->wakeToEnd();
    m_idleCond.notify_all();
}

void EventLoop::joinWorkers()
{
    for (WorkThread* w : m_workers)
        w->join();
}

size_t EventLoop::idleCount()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_idle.size();
}

size_t EventLoop::queuedCount()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_queue.size();
}

bool EventLoop::waitIdle(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lk(m_mutex);
    return m_idleCond.wait_for(lk, timeout, [&] { return m_idle.size() >= n || m_nStop.load() != 0; }) &&
           m_idle.size() >= n;
}
