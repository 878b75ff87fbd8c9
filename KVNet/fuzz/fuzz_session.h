// One session of the client against a scripted loopback device: the device answers the
// session's connection with fixed bytes and the fuzz input, reads whatever the client
// sends and closes; the session is stopped once the device was served. Codes and data
// events are read in full, and the stored login reply is copied out when logged in.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "scripted_device.h"

namespace fuzzsession {

struct Events {
    std::atomic<DevConnection*> session{nullptr};
    std::mutex mu;
    std::condition_variable cv;
    bool loggedIn = false;
    uint32_t sum = 0;

    static void OnMsg(unsigned code, void* user)
    {
        auto* e = static_cast<Events*>(user);
        if (code == KVNetMsgLoginSuccess) {
            if (DevConnection* s = e->session.load()) {
                static uint8_t info[4096];
                KVNetGetDevInfo(s, info, sizeof info);
                KVNetGetDevInfoEx(s, info, sizeof info);
            }
            std::lock_guard<std::mutex> l(e->mu);
            e->loggedIn = true;
            e->cv.notify_all();
        }
    }
    static void OnData(unsigned, const void* data, unsigned size, void* user)
    {
        auto* e = static_cast<Events*>(user);
        const auto* p = static_cast<const volatile uint8_t*>(data);
        uint32_t s = 0;
        for (unsigned i = 0; i < size; ++i)
            s += p[i];
        e->sum += s;
    }
    bool WaitLoggedIn(int ms)
    {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return loggedIn; });
    }
};

inline kvtest::ScriptedDevice& Device()
{
    static auto* d = [] {
        // Failures end in milliseconds, a stuck exchange within seconds.
        KVSessionTimings t;
        t.retryMs = 1;
        t.resolveRetryMs = 1;
        t.connectMs = 1000;
        t.sendTimeoutMs = 2000;
        t.recvTimeoutMs = 2000;
        kvnet_set_session_timings(t);
        return new kvtest::ScriptedDevice;
    }();
    return *d;
}

// A message head and body as the device sends them (plain).
inline std::string Message(uint16_t type, uint16_t sub, uint16_t ack, const std::string& body, uint32_t seq = 0)
{
    MsgHeadWrap h;
    h.AckFlag = ack;
    h.MsgType = type;
    h.MsgSubType = sub;
    h.MsgSize = static_cast<uint32_t>(body.size());
    h.Seq = seq;
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + body;
}

// An accepted login reply: the device block with the magic at offset 6.
inline std::string AcceptedLogin()
{
    std::string block(1232, '\0');
    block[6] = 0x56;
    block[7] = 0x4B;
    block[160] = 7; // session id
    return Message(31, 0, 0, block);
}

struct Options {
    bool alarm = false;
    bool scrambledLogin = false;
    uint8_t loginVariant = 0;
};

// Takes the options from one selector byte.
inline Options OptionsOf(uint8_t b)
{
    Options o;
    o.alarm = b & 1;
    o.scrambledLogin = b & 2;
    o.loginVariant = static_cast<uint8_t>((b >> 2) & 7);
    return o;
}

// Runs one session to the device's answers; whileLoggedIn runs on the fuzz thread once
// the session reported its login (not at all when it never did).
inline void Run(std::vector<kvtest::ScriptedDevice::Answer> answers, const Options& o,
                const std::function<void(DevConnection*)>& whileLoggedIn = nullptr)
{
    kvtest::ScriptedDevice& dev = Device();
    KVNetSetEncription(o.scrambledLogin ? 1 : 0);
    dev.Start(std::move(answers));
    Events ev;
    KVNetConnectionParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = dev.port();
    p.szUser = "admin";
    p.szPwd = "secret";
    p.pUser = &ev;
    p.bAutoReconnect = 0;
    p.dataCallback = Events::OnData;
    p.bAlarmReport = o.alarm;
    p.msgCallback = Events::OnMsg;
    p.nLoginVariant = o.loginVariant;
    DevConnection* h = KVNetConnectionStartEx(&p);
    if (!h) {
        dev.Stop();
        return;
    }
    ev.session = h;
    if (whileLoggedIn && ev.WaitLoggedIn(3000))
        whileLoggedIn(h);
    dev.WaitServed(5000);
    KVNetConnectionStop(&h);
    dev.Stop();
}

} // namespace fuzzsession
