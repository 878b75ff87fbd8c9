// A logged-in session against the simulator for the request, parameter, command and
// backup tests, and the simulator log read back as messages.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KVNet.h"
#include "test_kit.h"

namespace kvreqtest {

using LoggedMsg = kvtest::SimLogEntry;

// Messages the simulator received of MsgType type (0: all), envelopes opened.
inline std::vector<LoggedMsg> Received(const kvtest::SimProcess& sim, unsigned type = 0)
{
    std::vector<LoggedMsg> out;
    for (const std::string& line : sim.LogLines()) {
        LoggedMsg m = kvtest::ParseSimLogLine(line);
        // Envelope events carry the inner head and body; plain lines carry "head".
        if (!m.hasHead || (m.type == 10003 && m.event != "envelope"))
            continue; // the envelope itself; its event line follows
        if (!type || m.type == type)
            out.push_back(std::move(m));
    }
    return out;
}

inline uint32_t U32(const void* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// A session logged in to a fresh simulator. Device kinds: plain, scrambled, srp.
class Session {
public:
    ~Session() { Stop(); }

    bool Start(const std::vector<std::string>& scenarios, const std::string& kind = "plain")
    {
        std::vector<std::string> args = {"--scenario", "device-kind=" + kind};
        for (const std::string& s : scenarios) {
            args.push_back("--scenario");
            args.push_back(s);
        }
        if (!sim.Start(args))
            return false;
        // The process-wide flag decides whether logins ask for scrambled messages.
        KVNetSetEncription(kind == "plain" ? 0 : 1);
        KVNetConnectionParam p{};
        p.szAddr = "127.0.0.1";
        p.nPort = sim.tcp_port();
        p.szUser = "admin";
        p.szPwd = "admin123";
        p.pUser = this;
        p.msgCallback = OnMsg;
        h = KVNetConnectionStartEx(&p);
        return h && kvtest::WaitFor([&] { return loggedIn.load() > 0; }, std::chrono::seconds(10));
    }
    void Stop()
    {
        if (h)
            KVNetConnectionStop(&h);
        sim.Stop();
    }
    uint32_t SessionId()
    {
        std::vector<uint8_t> info(1232);
        if (!KVNetGetDevInfo(h, info.data(), 1232))
            return 0;
        return U32(info.data() + 160);
    }

    kvtest::SimProcess sim;
    DevConnection* h = nullptr;
    std::atomic<int> loggedIn{0}, closed{0};

private:
    static void OnMsg(unsigned code, void* user)
    {
        auto* s = static_cast<Session*>(user);
        if (code == 101)
            ++s->loggedIn;
        if (code == 3)
            ++s->closed;
    }
};

} // namespace kvreqtest
