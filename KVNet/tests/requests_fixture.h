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
#include "test_util.h"

namespace kvreqtest {

struct LoggedMsg {
    int conn = 0;
    unsigned type = 0, subtype = 0, size = 0, seq = 0, ack = 0, flags = 0;
    std::vector<uint8_t> body;
};

inline bool JsonUInt(const std::string& line, const char* key, size_t from, unsigned* out)
{
    const std::string k = std::string("\"") + key + "\":";
    size_t at = line.find(k, from);
    if (at == std::string::npos)
        return false;
    *out = static_cast<unsigned>(std::strtoul(line.c_str() + at + k.size(), nullptr, 10));
    return true;
}

inline std::vector<uint8_t> Unhex(const std::string& s, size_t from, size_t to)
{
    std::vector<uint8_t> out;
    out.reserve((to - from) / 2);
    auto v = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (size_t i = from; i + 1 < to; i += 2)
        out.push_back(static_cast<uint8_t>(v(s[i]) << 4 | v(s[i + 1])));
    return out;
}

// Messages the simulator received of MsgType type (0: all), envelopes opened.
inline std::vector<LoggedMsg> Received(const kvtest::SimProcess& sim, unsigned type = 0)
{
    std::vector<LoggedMsg> out;
    for (const std::string& line : sim.LogLines()) {
        // Envelope events carry the inner head and body; plain lines carry "head".
        const bool event = line.find("\"event\":\"envelope\"") != std::string::npos;
        size_t head = line.find("\"head\":{");
        if (head == std::string::npos)
            continue;
        LoggedMsg m;
        unsigned c = 0;
        JsonUInt(line, "conn", 0, &c);
        m.conn = static_cast<int>(c);
        JsonUInt(line, "type", head, &m.type);
        if (m.type == 10003 && !event)
            continue; // the envelope itself; its event line follows
        JsonUInt(line, "subtype", head, &m.subtype);
        JsonUInt(line, "size", head, &m.size);
        JsonUInt(line, "seq", head, &m.seq);
        JsonUInt(line, "ack", head, &m.ack);
        JsonUInt(line, "flags", head, &m.flags);
        size_t b = line.find("\"body\":\"");
        if (b != std::string::npos) {
            b += 8;
            m.body = Unhex(line, b, line.find('"', b));
        }
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
