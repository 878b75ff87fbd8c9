// A counting semaphore with millisecond waits on the monotonic clock.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CountSemaphore {
public:
    static constexpr unsigned kInfinite = 0xFFFFFFFFu;

    // Each post adds one to the count and wakes one waiter.
    void Post(unsigned n = 1);
    // kInfinite waits without limit, 0 only takes what is there. True (and one less)
    // when the count was positive.
    bool Wait(unsigned ms);
    // Takes the count down to zero.
    void Drain();
    int64_t count();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int64_t count_ = 0;
};
