// Collects the callback calls of one search for the tests.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "KVNetTypes.h"

struct SearchResult {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<SearchDevRsp> records;
    int finals = 0;
    int callsAfterFinal = 0;
    std::thread::id thread;
    std::chrono::steady_clock::time_point finalAt;

    static void Callback(const SearchDevRsp* r, void* user)
    {
        auto* self = static_cast<SearchResult*>(user);
        std::lock_guard<std::mutex> l(self->mu);
        self->thread = std::this_thread::get_id();
        if (self->finals)
            ++self->callsAfterFinal;
        if (r) {
            self->records.push_back(*r);
            return;
        }
        ++self->finals;
        self->finalAt = std::chrono::steady_clock::now();
        self->cv.notify_all();
    }
    bool WaitFinal(std::chrono::milliseconds ms)
    {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, ms, [&] { return finals > 0; });
    }
};
