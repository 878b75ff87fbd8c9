// Mutexes and the one lock guard of the client.
#pragma once
#include <pthread.h>

// Destroys a mutex; destructors of the client's classes use it for their mutex members.
void mutex_destroy(pthread_mutex_t* m);
// The same, run at process exit for file-static mutexes (see StaticMutex).
void static_mutex_destroy(pthread_mutex_t* m);

// A non-recursive mutex member that destroys itself.
class Mutex {
public:
    Mutex() { pthread_mutex_init(&m_, nullptr); }
    ~Mutex() { mutex_destroy(&m_); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }
    pthread_mutex_t* native() { return &m_; }

private:
    pthread_mutex_t m_;
};

// A file-static mutex: created at load time, destroyed at process exit.
class StaticMutex {
public:
    StaticMutex() { pthread_mutex_init(&m_, nullptr); }
    ~StaticMutex() { static_mutex_destroy(&m_); }
    StaticMutex(const StaticMutex&) = delete;
    StaticMutex& operator=(const StaticMutex&) = delete;
    pthread_mutex_t* native() { return &m_; }

private:
    pthread_mutex_t m_;
};

// Locks at construction, unlocks at scope end. Guards non-recursive mutexes only.
class ScopedLock {
public:
    explicit ScopedLock(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    explicit ScopedLock(Mutex& m) : ScopedLock(m.native()) {}
    explicit ScopedLock(StaticMutex& m) : ScopedLock(m.native()) {}
    ~ScopedLock() { pthread_mutex_unlock(m_); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    pthread_mutex_t* m_;
};
