// Shared pieces of the session tests: a recorder of codes and data events, a session
// started against the simulator, short periods.
#pragma once
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "test_kit.h"

namespace kvsess {

struct Recorder {
    std::mutex mu;
    std::vector<unsigned> codes;
    std::vector<std::chrono::steady_clock::time_point> times;
    std::vector<std::pair<unsigned, std::string>> data;
    std::atomic<DevConnection*> session{nullptr}; // for callbacks that query their session
    std::vector<uint8_t> devInfoAt101;

    static void OnMsg(unsigned code, void* user)
    {
        auto* r = static_cast<Recorder*>(user);
        std::vector<uint8_t> info;
        DevConnection* s = r->session.load();
        if (code == 101 && s) {
            info.resize(1232);
            if (!KVNetGetDevInfo(s, info.data(), 1232))
                info.clear();
        }
        std::lock_guard<std::mutex> l(r->mu);
        r->codes.push_back(code);
        r->times.push_back(std::chrono::steady_clock::now());
        if (code == 101)
            r->devInfoAt101 = info;
    }
    static void OnData(unsigned type, const void* data, unsigned size, void* user)
    {
        auto* r = static_cast<Recorder*>(user);
        std::lock_guard<std::mutex> l(r->mu);
        r->data.emplace_back(type, std::string(static_cast<const char*>(data), size));
    }
    std::vector<unsigned> Codes()
    {
        std::lock_guard<std::mutex> l(mu);
        return codes;
    }
    bool Has(unsigned code)
    {
        std::lock_guard<std::mutex> l(mu);
        for (unsigned c : codes)
            if (c == code)
                return true;
        return false;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> l(mu);
        return codes.size();
    }
};

// Short periods so the round logic runs in milliseconds.
inline KVSessionTimings FastTimings()
{
    KVSessionTimings t;
    t.heartbeatMs = 150;
    t.retryMs = 100;
    t.resolveRetryMs = 100;
    t.connectMs = 1000;
    t.recvTimeoutMs = 3000;
    t.sendTimeoutMs = 3000;
    return t;
}

struct TimingsScope {
    explicit TimingsScope(const KVSessionTimings& t) { kvnet_set_session_timings(t); }
    ~TimingsScope() { kvnet_set_session_timings(KVSessionTimings{}); }
};

inline DevConnection* StartSession(Recorder& rec, uint16_t port, const char* user, const char* pwd, bool autoRe,
                                   uint8_t variant = 0, uint8_t alarm = 0, const char* addr = "127.0.0.1",
                                   uint8_t loginFlag = 0)
{
    KVNetConnectionParam p{};
    p.szAddr = addr;
    p.nPort = port;
    p.szUser = user;
    p.szPwd = pwd;
    p.pUser = &rec;
    p.bAutoReconnect = autoRe ? 1 : 0;
    p.dataCallback = &Recorder::OnData;
    p.msgCallback = &Recorder::OnMsg;
    p.bAlarmReport = alarm;
    p.nLoginVariant = variant;
    p.nLoginFlag = loginFlag;
    DevConnection* s = KVNetConnectionStartEx(&p);
    rec.session = s;
    return s;
}

// A loopback port where nothing listens.
inline uint16_t DeadPort()
{
    return SyncSocket::GetFreePort();
}

using kvtest::JsonField;

// Simulator log lines that carry a given event name.
inline std::vector<std::string> Events(const kvtest::SimProcess& sim, const std::string& name)
{
    std::vector<std::string> out;
    for (auto& l : sim.LogLines())
        if (l.find("\"event\":\"" + name + "\"") != std::string::npos)
            out.push_back(l);
    return out;
}

inline std::string CodesText(const std::vector<unsigned>& v)
{
    std::string s;
    for (unsigned c : v)
        s += (s.empty() ? "" : ",") + std::to_string(c);
    return s;
}

} // namespace kvsess
