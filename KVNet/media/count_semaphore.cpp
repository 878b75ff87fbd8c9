#include "count_semaphore.h"

#include <chrono>

void CountSemaphore::Post(unsigned n)
{
    std::lock_guard<std::mutex> l(mu_);
    for (unsigned i = 0; i < n; ++i) {
        ++count_;
        cv_.notify_one();
    }
}

bool CountSemaphore::Wait(unsigned ms)
{
    std::unique_lock<std::mutex> l(mu_);
    auto ready = [this] { return count_ > 0; };
    if (ms == kInfinite)
        cv_.wait(l, ready);
    else if (!cv_.wait_until(l, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ready))
        return false;
    --count_;
    return true;
}

void CountSemaphore::Drain()
{
    std::lock_guard<std::mutex> l(mu_);
    count_ = 0;
}

int64_t CountSemaphore::count()
{
    std::lock_guard<std::mutex> l(mu_);
    return count_;
}
