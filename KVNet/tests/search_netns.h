// The search and re-addressing tests and benchmarks in private namespace pairs.
//
// A test that broadcasts never runs in the machine's own namespace: it starts with
// KV_IN_PRIVATE_NETNS() (the second subnet apart: KV_IN_PRIVATE_NETNS(true, true)) and
// so runs inside NAME-cli of a fresh pair (198.51.100.2 on kv0, 203.0.113.2 on kv1).
// The device simulator runs in NAME-dev (198.51.100.1) or NAME-dev2 (203.0.113.1) on
// UDP 9333. Each test makes its own pair: it binds the fixed port, answers device
// addresses through any-IP routes, and may need a second device namespace.
#pragma once
#include <string>
#include <vector>

#include "netns_test.h"
#include "test_kit.h"

namespace kvnetns {

// Device addresses that answer without an interface of their own (device tables,
// unicast re-addressing, range probes across a /24 boundary). Quiet when they are there.
inline void AddDeviceRoutes(const std::string& pair)
{
    const std::string dev = "ip -n " + pair + "-dev route add ";
    kvtest::Sh(dev + "local 198.51.100.64/26 dev lo");
    kvtest::Sh(dev + "local 198.51.100.240/28 dev lo");
    kvtest::Sh(dev + "local 198.51.101.0/24 dev lo");
    kvtest::Sh("ip route add 198.51.101.0/24 dev kv0");
}

// The device simulator (tests/sim/kvsim.py) on UDP 9333 of NAME-dev (or another device
// namespace, e.g. "dev2"), with the given scenarios. Exits when its stdin closes, so a
// crashed test leaves nothing behind.
class UdpSim {
public:
    bool Start(const std::vector<std::string>& scenarios, const char* side = "dev")
    {
        const char* ns = kvtest::NetnsPair();
        if (!ns)
            return false;
        AddDeviceRoutes(ns);
        std::vector<std::string> args = {"--bind", "0.0.0.0", "--udp-port", "9333"};
        for (const std::string& sc : scenarios) {
            args.push_back("--scenario");
            args.push_back(sc);
        }
        return sim_.Start(args, {"ip", "netns", "exec", std::string(ns) + "-" + side, "env",
                                 "PYTHONDONTWRITEBYTECODE=1"});
    }
    void Stop() { sim_.Stop(); }
    // The logged requests whose MsgType is among types (all when empty).
    std::vector<std::string> Lines(std::vector<int> types = {}) const
    {
        std::vector<std::string> v;
        for (const std::string& line : sim_.LogLines()) {
            const long long type = kvtest::JsonInt(line, "type");
            bool want = types.empty();
            for (int t : types)
                want = want || t == type;
            if (want)
                v.push_back(line + "\n");
        }
        return v;
    }

private:
    kvtest::SimProcess sim_;
};

} // namespace kvnetns
