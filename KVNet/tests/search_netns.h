// Private network namespaces for the search and re-addressing tests and benchmarks.
//
// A test that broadcasts never runs in the machine's own namespace: the outer process
// creates NAME-dev and NAME-cli joined by veth (198.51.100.1 / .2, optionally a second
// pair on 203.0.113.0/24), re-executes itself inside NAME-cli and removes everything
// afterwards. The device simulator runs in NAME-dev on UDP 9333. Each test makes its
// own pair even when the whole binary already runs inside one: it binds the fixed
// port, answers device addresses through any-IP routes, and may need a second device
// namespace behind a second client interface.
#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"

namespace kvnetns {

// The initial namespace is that of process 1. Where its entry cannot be read (some
// sandboxes deny it even to root), the kernel's fixed inode of the initial namespace
// stands in, and every IPv4 address here must lie in loopback or the test networks.
constexpr unsigned long long kInitNetInode = 0xEFFFFFF9ull;

inline bool OnlyTestAddresses()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool ok = true;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if ((a >> 24) != 127 && (a >> 8) != 0xC63364 && (a >> 8) != 0xCB0071) // 198.51.100, 203.0.113
            ok = false;
    }
    freeifaddrs(list);
    return ok;
}

inline bool InPrivateNetns()
{
    struct stat self {}, init {};
    if (stat("/proc/self/ns/net", &self) != 0)
        return false;
    if (stat("/proc/1/ns/net", &init) == 0)
        return self.st_ino != init.st_ino;
    return self.st_ino != kInitNetInode && OnlyTestAddresses();
}

// The namespace base name when this process is the re-executed inner one.
inline const char* InnerName()
{
    const char* n = getenv("KV_NETNS");
    if (!n || !*n)
        return nullptr;
    if (!InPrivateNetns()) {
        // Never let a broadcasting test loose on the real network.
        fprintf(stderr, "KV_NETNS is set but this is the initial network namespace\n");
        abort();
    }
    return n;
}

inline int Sh(const std::string& cmd)
{
    int rc = system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// NAME-cli has 198.51.100.2 towards NAME-dev (198.51.100.1); with secondSubnet also
// 203.0.113.2 towards NAME-dev2 (203.0.113.1), so each subnet's devices live apart.
struct Topology {
    bool secondSubnet = false;
};

// Interface names inside the namespaces (veth names are limited to 15 characters).
inline std::string CliIf(const std::string& base, int n) { return base + (n == 0 ? "a" : "c"); }
inline std::string DevIf(const std::string& base, int n) { return base + (n == 0 ? "b" : "d"); }

class Pair {
public:
    explicit Pair(const Topology& t)
    {
        static int counter = 0;
        char b[32];
        snprintf(b, sizeof b, "kvs%d%c", static_cast<int>(getpid() % 100000), 'a' + (counter++ % 26));
        base_ = b;
        const std::string dev = base_ + "-dev", cli = base_ + "-cli";
        ok_ = Sh("ip netns add " + dev) == 0 && Sh("ip netns add " + cli) == 0;
        ok_ = ok_ && Link(0, dev, "198.51.100.2/24", "198.51.100.1/24");
        if (t.secondSubnet) {
            const std::string dev2 = base_ + "-dev2";
            ok_ = ok_ && Sh("ip netns add " + dev2) == 0 && Link(1, dev2, "203.0.113.2/24", "203.0.113.1/24");
            ok_ = ok_ && Sh("ip -n " + dev2 + " link set lo up") == 0;
            ok_ = ok_ && Sh("ip -n " + dev2 + " route add default dev " + DevIf(base_, 1)) == 0;
        }
        ok_ = ok_ && Sh("ip -n " + cli + " link set lo up") == 0 && Sh("ip -n " + dev + " link set lo up") == 0;
        // Default routes give broadcasts a way out, which leads only into the other side.
        ok_ = ok_ && Sh("ip -n " + dev + " route add default dev " + DevIf(base_, 0)) == 0;
        ok_ = ok_ && Sh("ip -n " + cli + " route add default dev " + CliIf(base_, 0)) == 0;
        // Device addresses that answer without an interface of their own (device tables,
        // unicast re-addressing, range probes across a /24 boundary).
        ok_ = ok_ && Sh("ip -n " + dev + " route add local 198.51.100.64/26 dev lo") == 0;
        ok_ = ok_ && Sh("ip -n " + dev + " route add local 198.51.100.240/28 dev lo") == 0;
        ok_ = ok_ && Sh("ip -n " + dev + " route add local 198.51.101.0/24 dev lo") == 0;
        ok_ = ok_ && Sh("ip -n " + cli + " route add 198.51.101.0/24 dev " + CliIf(base_, 0)) == 0;
    }
    ~Pair()
    {
        // Only processes this test started live in these namespaces.
        for (const char* side : {"-dev", "-dev2", "-cli"}) {
            std::string cmd = "ip netns pids " + base_ + side + " 2>/dev/null";
            if (FILE* f = popen(cmd.c_str(), "r")) {
                int pid;
                while (fscanf(f, "%d", &pid) == 1)
                    kill(pid, SIGKILL);
                pclose(f);
            }
            if (access(("/run/netns/" + base_ + side).c_str(), F_OK) == 0)
                Sh("ip netns del " + base_ + side);
        }
    }
    bool ok() const { return ok_; }
    const std::string& base() const { return base_; }

private:
    bool Link(int n, const std::string& dev, const std::string& cliAddr, const std::string& devAddr)
    {
        const std::string c = CliIf(base_, n), d = DevIf(base_, n);
        const std::string cli = base_ + "-cli";
        return Sh("ip link add " + c + " netns " + cli + " type veth peer name " + d + " netns " + dev) == 0 &&
               Sh("ip -n " + cli + " addr add " + cliAddr + " brd + dev " + c) == 0 &&
               Sh("ip -n " + dev + " addr add " + devAddr + " brd + dev " + d) == 0 &&
               Sh("ip -n " + cli + " link set " + c + " up") == 0 &&
               Sh("ip -n " + dev + " link set " + d + " up") == 0;
    }
    std::string base_;
    bool ok_ = false;
};

inline std::string SelfExe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Runs argv inside NAME-cli with KV_NETNS=NAME; returns its exit status (-1 when the
// namespaces could not be made) and its combined output.
inline int RunInside(const Topology& t, const std::vector<std::string>& argv, std::string* output)
{
    Pair pair(t);
    if (!pair.ok())
        return -1;
    std::string cmd = "KV_NETNS=" + pair.base() +
                      " ip netns exec " + pair.base() + "-cli";
    for (const std::string& a : argv)
        cmd += " '" + a + "'";
    cmd += " 2>&1";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        output->append(buf, n);
    int rc = pclose(f);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

// Values of one JSON log line (keys are unique enough in the simulator's log).
inline size_t JsonValue(const std::string& line, const std::string& key)
{
    const std::string k = "\"" + key + "\":";
    size_t p = line.find(k);
    if (p == std::string::npos)
        return p;
    p += k.size();
    while (p < line.size() && line[p] == ' ')
        ++p;
    return p;
}
inline std::string JsonStr(const std::string& line, const std::string& key)
{
    size_t p = JsonValue(line, key);
    if (p == std::string::npos || line[p] != '"')
        return "";
    ++p;
    return line.substr(p, line.find('"', p) - p);
}
inline long long JsonInt(const std::string& line, const std::string& key, long long dflt = -1)
{
    size_t p = JsonValue(line, key);
    return p == std::string::npos ? dflt : strtoll(line.c_str() + p, nullptr, 10);
}
// The client's address of a logged request ("peer": "host:port").
inline std::string PeerHost(const std::string& line)
{
    std::string peer = JsonStr(line, "peer");
    return peer.substr(0, peer.find(':'));
}
// A hex field of the log as bytes.
inline std::vector<uint8_t> JsonHex(const std::string& line, const std::string& key)
{
    std::string h = JsonStr(line, key);
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

// The device simulator (tests/sim/kvsim.py) on UDP 9333 of NAME-dev (or another device
// namespace, e.g. "dev2"), with the given scenarios. Exits when its stdin closes, so a
// crashed test leaves nothing behind.
class UdpSim {
public:
    bool Start(const std::string& sourceDir, const std::vector<std::string>& scenarios, const char* side = "dev")
    {
        (void)sourceDir; // the simulator's path comes with the test build
        const char* ns = InnerName();
        if (!ns)
            return false;
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
            const long long type = JsonInt(line, "type");
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

// In a gtest body: outside the namespaces, run this very test inside them and return.
#define KV_NETNS_OR_REEXEC(topo)                                                                   \
    do {                                                                                           \
        if (!kvnetns::InnerName()) {                                                               \
            const auto* info_ = ::testing::UnitTest::GetInstance()->current_test_info();           \
            std::string filter_ = std::string("--gtest_filter=") + info_->test_suite_name() + "." + \
                                  info_->name();                                                   \
            std::string out_;                                                                      \
            int rc_ = kvnetns::RunInside(topo, {kvnetns::SelfExe(), filter_}, &out_);                \
            if (rc_ == -1)                                                                         \
                GTEST_SKIP() << "cannot create network namespaces (needs root)";                   \
            EXPECT_EQ(rc_, 0) << out_;                                                             \
            EXPECT_NE(out_.find("[  PASSED  ] 1 test"), std::string::npos) << out_;                \
            return;                                                                                \
        }                                                                                          \
    } while (0)
