// A manual- or auto-reset event with millisecond waits on the monotonic clock.
#pragma once
#include <pthread.h>

class SyncEvent {
public:
    static constexpr unsigned kInfinite = 0xFFFFFFFFu;

    SyncEvent(bool manualReset, bool initialState);
    // Sets the event first. Destroying the condition under a waiter is undefined all the
    // same: owners make sure every waiter has returned before the event goes.
    ~SyncEvent();
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    // Manual reset wakes every waiter, auto reset one.
    void Set();
    void Reset();
    // kInfinite waits without limit, 0 polls. A successful wait on an auto-reset event
    // clears it. False on time-out or error.
    bool Wait(unsigned ms);

private:
    pthread_cond_t cond_;
    pthread_mutex_t mutex_;
    bool signalled_;
    bool manual_;
};
