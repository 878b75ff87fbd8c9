// Detached workers parked in a LIFO list; a parked worker that gets no task within the
// idle time ends. There is no queue: a task never waits for a worker.
#include "task_pool.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <pthread.h>

#include "kv_lock.h"

namespace {

struct Task {
    sl_task_fn fn;
    void* arg;
};

struct Worker {
    Task* task = nullptr;  // set under the pool mutex; non-null means "run this"
    pthread_cond_t cond;
    Worker* prev = nullptr;
    Worker* next = nullptr;
};

pthread_mutex_t g_pool_mutex = PTHREAD_MUTEX_INITIALIZER; // leaf lock
Worker* g_idle_head = nullptr;
unsigned g_idle_count = 0;
std::atomic<unsigned> g_idle_ms{30000};
std::atomic<unsigned long> g_threads_started{0};

constexpr size_t kStackSize = 0x200000;

void unlink_locked(Worker* w)
{
    if (w->prev)
        w->prev->next = w->next;
    else
        g_idle_head = w->next;
    if (w->next)
        w->next->prev = w->prev;
    w->prev = w->next = nullptr;
    --g_idle_count;
}

void push_front_locked(Worker* w)
{
    w->prev = nullptr;
    w->next = g_idle_head;
    if (g_idle_head)
        g_idle_head->prev = w;
    g_idle_head = w;
    ++g_idle_count;
}

timespec mono_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec add_ms(timespec ts, unsigned ms)
{
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool reached(const timespec& now, const timespec& deadline)
{
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

void* worker_main(void* p)
{
    Worker* w = static_cast<Worker*>(p);
    for (;;) {
        Task* t = w->task;
        t->fn(t->arg);
        delete t;

        pthread_mutex_lock(&g_pool_mutex);
        w->task = nullptr;
        push_front_locked(w);
        // The deadline is recomputed after every wake-up so that a changed idle time
        // applies to workers already parked.
        const timespec parked = mono_now();
        while (!w->task) {
            timespec deadline = add_ms(parked, g_idle_ms.load());
            if (reached(mono_now(), deadline))
                break;
            pthread_cond_timedwait(&w->cond, &g_pool_mutex, &deadline);
        }
        // Decided by the task pointer, not by the wait's result: a task handed over right
        // at the deadline still runs. sl_task_add unlinks the worker it hands a task to.
        bool got = w->task != nullptr;
        if (!got)
            unlink_locked(w);
        pthread_mutex_unlock(&g_pool_mutex);
        if (!got)
            break;
    }
    pthread_cond_destroy(&w->cond);
    delete w;
    return nullptr;
}

bool init_cond(pthread_cond_t* c)
{
    pthread_condattr_t a;
    if (pthread_condattr_init(&a) != 0)
        return false;
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(c, &a);
    pthread_condattr_destroy(&a);
    return rc == 0;
}

} // namespace

int sl_task_add(sl_task_fn fn, void* arg)
{
    Task* t = new (std::nothrow) Task{fn, arg};
    if (!t)
        return -1;

    pthread_mutex_lock(&g_pool_mutex);
    if (Worker* w = g_idle_head) {
        if (pthread_cond_signal(&w->cond) == 0) {
            w->task = t;
            unlink_locked(w);
            pthread_mutex_unlock(&g_pool_mutex);
            return 0;
        }
    }
    pthread_mutex_unlock(&g_pool_mutex);

    Worker* w = new (std::nothrow) Worker;
    if (!w) {
        delete t;
        return -1;
    }
    if (!init_cond(&w->cond)) {
        delete w;
        delete t;
        return -1;
    }
    w->task = t;

    pthread_attr_t attr;
    pthread_attr_t* pattr = nullptr;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setstacksize(&attr, kStackSize);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pattr = &attr;
    }
    pthread_t th;
    int rc = pthread_create(&th, pattr, worker_main, w);
    if (pattr)
        pthread_attr_destroy(pattr);
    else if (rc == 0)
        pthread_detach(th);
    if (rc != 0) {
        pthread_cond_destroy(&w->cond);
        delete w;
        delete t;
        return -1;
    }
    g_threads_started.fetch_add(1);
    return 0;
}

void sl_task_set_idle_ms(unsigned ms)
{
    pthread_mutex_lock(&g_pool_mutex);
    g_idle_ms.store(ms);
    for (Worker* w = g_idle_head; w; w = w->next)
        pthread_cond_signal(&w->cond);
    pthread_mutex_unlock(&g_pool_mutex);
}

unsigned sl_task_idle_workers()
{
    pthread_mutex_lock(&g_pool_mutex);
    unsigned n = g_idle_count;
    pthread_mutex_unlock(&g_pool_mutex);
    return n;
}

unsigned long sl_task_threads_started()
{
    return g_threads_started.load();
}
