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
#include "test_util.h"
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

inline long long JsonNumber(const std::string& line, const std::string& key, size_t from = 0)
{
    const std::string k = "\"" + key + "\":";
    size_t p = line.find(k, from);
    if (p == std::string::npos)
        return -1;
    return strtoll(line.c_str() + p + k.size(), nullptr, 10);
}

inline std::string JsonString(const std::string& line, const std::string& key)
{
    const std::string k = "\"" + key + "\":\"";
    size_t p = line.find(k);
    if (p == std::string::npos)
        return "";
    p += k.size();
    return line.substr(p, line.find('"', p) - p);
}

// Received messages (events = true: the handlers' findings instead).
inline std::vector<SimMsg> SimMessages(const SimProcess& sim, bool events = false)
{
    std::vector<SimMsg> out;
    for (const auto& l : sim.LogLines()) {
        SimMsg m;
        m.conn = static_cast<int>(JsonNumber(l, "conn"));
        m.partial = l.find("\"partial\":true") != std::string::npos;
        m.event = JsonString(l, "event");
        const size_t h = l.find("\"head\":{");
        if (h != std::string::npos) {
            m.flags = static_cast<unsigned>(JsonNumber(l, "flags", h));
            m.ack = static_cast<unsigned>(JsonNumber(l, "ack", h));
            m.type = static_cast<unsigned>(JsonNumber(l, "type", h));
            m.subtype = static_cast<unsigned>(JsonNumber(l, "subtype", h));
            m.size = static_cast<unsigned>(JsonNumber(l, "size", h));
            m.seq = static_cast<unsigned>(JsonNumber(l, "seq", h));
        }
        m.body = JsonString(l, "body");
        const std::string k = "\"time\":";
        size_t t = l.find(k);
        if (t != std::string::npos)
            m.time = strtod(l.c_str() + t + k.size(), nullptr);
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
