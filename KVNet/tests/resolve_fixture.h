// Shared pieces of the address-resolution tests: the lookup peer (tests/sim/idsrv.py)
// with its request log, and a session recorder that notes where each connect goes.
#pragma once
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "test_kit.h"

namespace kvresolvetest {

// The lookup peer with its log in a folder of its own.
class IdServer {
public:
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {})
    {
        log_ = dir_.path() + "/idsrv-" + std::to_string(++starts_) + ".jsonl";
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {KV_PYTHON, std::string(KV_TESTS_DIR) + "/sim/idsrv.py", "--log", log_});
        argv.insert(argv.end(), args.begin(), args.end());
        std::string ready;
        if (!peer_.Launch(argv, &ready))
            return false;
        http_ = kvtest::ReadyPort(ready, "http");
        dir_port_ = kvtest::ReadyPort(ready, "dir");
        return http_ != 0 && dir_port_ != 0;
    }
    void Stop() { peer_.Stop(); }
    uint16_t http() const { return http_; }
    uint16_t dir() const { return dir_port_; }
    // The exact bytes of every request, in arrival order.
    std::vector<std::string> Requests() const
    {
        std::vector<std::string> out;
        for (const std::string& l : kvtest::ReadSimLog(log_))
            if (l.find("\"service\"") != std::string::npos) {
                const std::vector<uint8_t> raw = kvtest::JsonHex(l, "raw");
                out.emplace_back(raw.begin(), raw.end());
            }
        return out;
    }
    size_t Accepts() const
    {
        size_t n = 0;
        for (const std::string& l : kvtest::ReadSimLog(log_))
            n += l.find("\"event\":\"accept\"") != std::string::npos;
        return n;
    }

private:
    kvtest::PeerProcess peer_;
    kvtest::TempDir dir_{"idsrv"};
    std::string log_;
    unsigned starts_ = 0;
    uint16_t http_ = 0, dir_port_ = 0;
};

// Codes of one session, and the address and port each connect start went to.
struct Recorder {
    std::mutex mu;
    std::vector<unsigned> codes;
    std::vector<std::pair<std::string, uint16_t>> targets;
    DevConnection* session = nullptr;

    static void OnMsg(unsigned code, void* user)
    {
        auto* r = static_cast<Recorder*>(user);
        std::lock_guard<std::mutex> l(r->mu);
        r->codes.push_back(code);
        if (code == KVNetMsgConnectStart && r->session) {
            std::string a;
            uint16_t p = 0;
            r->session->GetAddress(&a, &p);
            r->targets.emplace_back(a, p);
        }
    }
    std::vector<unsigned> Codes()
    {
        std::lock_guard<std::mutex> l(mu);
        return codes;
    }
    bool Has(unsigned c)
    {
        std::lock_guard<std::mutex> l(mu);
        for (unsigned x : codes)
            if (x == c)
                return true;
        return false;
    }
    std::pair<std::string, uint16_t> FirstTarget()
    {
        std::lock_guard<std::mutex> l(mu);
        return targets.empty() ? std::make_pair(std::string(), uint16_t(0)) : targets[0];
    }
};

// A session of a login type; the recorder's session pointer is set before any code can
// need it (the first code comes after the resolution step).
inline DevConnection* StartTyped(Recorder& rec, int type, const char* addr, uint16_t port, const char* idServer,
                                 bool autoRe = false, const char* user = "admin", const char* pwd = "")
{
    KVNetConnectionParam p{};
    p.szAddr = addr;
    p.nPort = port;
    p.szUser = user;
    p.szPwd = pwd;
    p.pUser = &rec;
    p.bAutoReconnect = autoRe ? 1 : 0;
    p.msgCallback = &Recorder::OnMsg;
    p.nLoginType = type;
    p.szIDServer = idServer;
    std::lock_guard<std::mutex> l(rec.mu);
    rec.session = KVNetConnectionStartEx(&p);
    return rec.session;
}

inline std::string CodesText(const std::vector<unsigned>& v)
{
    std::string s;
    for (unsigned c : v)
        s += (s.empty() ? "" : ",") + std::to_string(c);
    return s;
}

} // namespace kvresolvetest
