// The lazily created process-wide objects: created on first use under a creation mutex
// (tested before and again after taking it), deleted at process exit through a destroy
// function registered with atexit.
#pragma once
#include <atomic>
#include <cstdlib>
#include <utility>

#include "kv_lock.h"

template <class T>
class Singleton {
public:
    // The arguments reach the constructor of the first call only.
    template <class... Args>
    static T* getInstance(Args&&... args)
    {
        T* v = value_.load(std::memory_order_acquire);
        if (v)
            return v;
        ScopedLock l(cri_);
        v = value_.load(std::memory_order_relaxed);
        if (!v) {
            v = new T(std::forward<Args>(args)...);
            value_.store(v, std::memory_order_release);
            atexit(&Singleton::destroy);
        }
        return v;
    }

    static void destroy()
    {
        delete value_.exchange(nullptr);
    }

private:
    static std::atomic<T*> value_;
    // Initialised before main, destroyed at exit after every destroy registered later.
    static StaticMutex cri_;
};

template <class T>
std::atomic<T*> Singleton<T>::value_{nullptr};
template <class T>
StaticMutex Singleton<T>::cri_;
