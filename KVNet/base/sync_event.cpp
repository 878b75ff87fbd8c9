#include "sync_event.h"

#include <cerrno>
#include <ctime>

#include "kv_lock.h"

SyncEvent::SyncEvent(bool manualReset, bool initialState)
    : signalled_(initialState), manual_(manualReset)
{
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &a);
    pthread_condattr_destroy(&a);
    pthread_mutex_init(&mutex_, nullptr);
}

SyncEvent::~SyncEvent()
{
    Set();
    pthread_cond_destroy(&cond_);
    mutex_destroy(&mutex_);
}

void SyncEvent::Set()
{
    ScopedLock lock(&mutex_);
    signalled_ = true;
    if (manual_)
        pthread_cond_broadcast(&cond_);
    else
        pthread_cond_signal(&cond_);
}

void SyncEvent::Reset()
{
    ScopedLock lock(&mutex_);
    signalled_ = false;
}

bool SyncEvent::Wait(unsigned ms)
{
    ScopedLock lock(&mutex_);
    if (ms == kInfinite) {
        while (!signalled_)
            if (pthread_cond_wait(&cond_, &mutex_) != 0)
                return false;
    } else if (ms != 0) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ts.tv_sec += ms / 1000;
        ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec += 1;
            ts.tv_nsec -= 1000000000L;
        }
        // A set that races the deadline still counts: the flag decides, not the wait.
        while (!signalled_)
            if (pthread_cond_timedwait(&cond_, &mutex_, &ts) != 0)
                break;
    }
    if (!signalled_)
        return false;
    if (!manual_)
        signalled_ = false;
    return true;
}
