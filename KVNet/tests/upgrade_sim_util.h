// Shared pieces of the upgrade tests that talk to the simulator: a recorder of upgrade
// codes, the simulator's log as messages, and shortened time limits.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sync_event.h"
#include "test_kit.h"
#include "upgrade.h"

namespace kvtest {

inline bool IsFinalUpgradeCode(unsigned c)
{
    return (c >= 390 && c <= 393) || (c >= 395 && c <= 399);
}

// Every callback of one upgrade, with the progress records copied while they are valid.
struct UpgradeRecorder {
    std::mutex mu;
    std::vector<std::pair<unsigned, uintptr_t>> calls;
    std::vector<std::vector<uint8_t>> records;
    SyncEvent final{true, false};
    std::atomic<int> count{0};
    std::atomic<bool> returned{false}; // set by a test after Stop has returned
    std::atomic<int> afterStop{0};
    // Optional: called inside the callback (e.g. to stop from there).
    std::function<void(unsigned)> hook;

    static void Callback(unsigned code, void* param, void* user)
    {
        auto* r = static_cast<UpgradeRecorder*>(user);
        if (r->returned.load())
            r->afterStop.fetch_add(1);
        {
            std::lock_guard<std::mutex> l(r->mu);
            r->calls.emplace_back(code, reinterpret_cast<uintptr_t>(param));
            if (code == 402 && param) {
                const auto* p = static_cast<const uint8_t*>(param);
                uint32_t len;
                memcpy(&len, p, 4);
                r->records.emplace_back(p, p + (len < 64 ? len : 64));
            }
        }
        r->count.fetch_add(1);
        if (r->hook)
            r->hook(code);
        if (IsFinalUpgradeCode(code))
            r->final.Set();
    }

    std::vector<unsigned> Codes()
    {
        std::lock_guard<std::mutex> l(mu);
        std::vector<unsigned> c;
        for (auto& x : calls)
            c.push_back(x.first);
        return c;
    }
    // Codes without the 394 and 402 progress reports.
    std::vector<unsigned> Milestones()
    {
        std::vector<unsigned> out;
        for (unsigned c : Codes())
            if (c != 394 && c != 402)
                out.push_back(c);
        return out;
    }
    std::vector<uintptr_t> Percents()
    {
        std::lock_guard<std::mutex> l(mu);
        std::vector<uintptr_t> p;
        for (auto& x : calls)
            if (x.first == 394)
                p.push_back(x.second);
        return p;
    }
};

// One received message of the simulator's log.
struct SimMsg {
    int conn = 0;
    unsigned ack = 0, type = 0, subtype = 0, size = 0, seq = 0, flags = 0;
    std::string body; // hex
    double time = 0;
    bool partial = false;
    std::string event; // a handler's finding instead of a received message
};

// Received messages (events = true: the handlers' findings instead).
inline std::vector<SimMsg> SimMessages(const SimProcess& sim, bool events = false)
{
    std::vector<SimMsg> out;
    for (const auto& l : sim.LogLines()) {
        const SimLogEntry e = ParseSimLogLine(l);
        SimMsg m;
        m.conn = e.conn;
        m.partial = e.partial;
        m.event = e.event;
        m.flags = e.flags;
        m.ack = e.ack;
        m.type = e.type;
        m.subtype = e.subtype;
        m.size = e.size;
        m.seq = e.seq;
        m.body = JsonStr(l, "body");
        m.time = e.time;
        if (m.event.empty() != events)
            out.push_back(m);
    }
    return out;
}

// Short limits for tests; restored by the destructor.
struct ShortUpgradeTimings {
    KVUpgradeTimings saved = kvnet_upgrade_timings();
    explicit ShortUpgradeTimings(unsigned ms = 2000)
    {
        auto& t = kvnet_upgrade_timings();
        t.connectMs = ms;
        t.startSendMs = ms;
        t.startRecvMs = ms;
        t.plainRecvMs = ms;
        t.dataSendMs = ms;
        t.closeRecvMs = ms;
    }
    ~ShortUpgradeTimings() { kvnet_upgrade_timings() = saved; }
};

} // namespace kvtest
