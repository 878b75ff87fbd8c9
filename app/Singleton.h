// Lazily created process-wide objects (the settings, the device list manager, ...).
#pragma once

#include <atomic>
#include <cstdlib>
#include <mutex>

template <class T>
class Singleton {
public:
    // Creates the object on the first call from any thread; it lives until process exit.
    static T* getInstance()
    {
        T* p = value_.load(std::memory_order_acquire);
        if (p)
            return p;
        std::lock_guard<std::mutex> lock(cri_);
        p = value_.load(std::memory_order_relaxed);
        if (!p) {
            p = new T();
            value_.store(p, std::memory_order_release);
            std::atexit(destroy);
        }
        return p;
    }

    static void destroy()
    {
        delete value_.exchange(nullptr);
    }

private:
    static std::atomic<T*> value_;
    static std::mutex cri_;
};

template <class T>
std::atomic<T*> Singleton<T>::value_{nullptr};
template <class T>
std::mutex Singleton<T>::cri_;
