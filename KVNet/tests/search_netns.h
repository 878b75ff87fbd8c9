// Private network namespaces for the search and re-addressing tests and benchmarks.
//
// A test that broadcasts never runs in the machine's own namespace: the outer process
// creates NAME-dev and NAME-cli joined by veth (198.51.100.1 / .2, optionally a second
// pair on 203.0.113.0/24), re-executes itself inside NAME-cli and removes everything
// afterwards. The UDP device simulator runs in NAME-dev.
#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kvnetns {

// The initial namespace is that of process 1. Inside `ip netns exec` process 1's entry
// may be unreadable; the outer process then hands its inode down in KV_INIT_NETNS_INO.
inline unsigned long long InitNetnsIno()
{
    struct stat init {};
    if (stat("/proc/1/ns/net", &init) == 0)
        return init.st_ino;
    const char* e = getenv("KV_INIT_NETNS_INO");
    return e ? strtoull(e, nullptr, 10) : 0;
}

inline bool InPrivateNetns()
{
    struct stat self {};
    const unsigned long long init = InitNetnsIno();
    if (stat("/proc/self/ns/net", &self) != 0 || init == 0)
        return false;
    return self.st_ino != init;
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
        ok_ = ok_ && Link(0, "198.51.100.2/24", "198.51.100.1/24");
        if (t.secondSubnet)
            ok_ = ok_ && Link(1, "203.0.113.2/24", "203.0.113.1/24");
        ok_ = ok_ && Sh("ip -n " + cli + " link set lo up") == 0 && Sh("ip -n " + dev + " link set lo up") == 0;
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
        for (const char* side : {"-dev", "-cli"}) {
            std::string cmd = "ip netns pids " + base_ + side + " 2>/dev/null";
            if (FILE* f = popen(cmd.c_str(), "r")) {
                int pid;
                while (fscanf(f, "%d", &pid) == 1)
                    kill(pid, SIGKILL);
                pclose(f);
            }
            Sh("ip netns del " + base_ + side);
        }
    }
    bool ok() const { return ok_; }
    const std::string& base() const { return base_; }

private:
    bool Link(int n, const std::string& cliAddr, const std::string& devAddr)
    {
        const std::string c = CliIf(base_, n), d = DevIf(base_, n);
        const std::string dev = base_ + "-dev", cli = base_ + "-cli";
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
    // When process 1's entry cannot be read, the namespace this outer process runs in
    // stands for the initial one: the inner one is always a fresh namespace.
    unsigned long long init = InitNetnsIno();
    struct stat self {};
    if (init == 0 && stat("/proc/self/ns/net", &self) == 0)
        init = self.st_ino;
    std::string cmd = "KV_INIT_NETNS_INO=" + std::to_string(init) + " KV_NETNS=" + pair.base() +
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

// The UDP device simulator (tests/sim/kvsim_udp.py) in NAME-dev. Exits when its stdin
// closes, so a crashed test leaves nothing behind.
class UdpSim {
public:
    UdpSim() = default;
    ~UdpSim() { Stop(); }
    UdpSim(const UdpSim&) = delete;
    UdpSim& operator=(const UdpSim&) = delete;

    bool Start(const std::string& sourceDir, const std::vector<std::string>& args)
    {
        const char* ns = InnerName();
        if (!ns)
            return false;
        static int counter = 0;
        char lp[256];
        snprintf(lp, sizeof lp, "/tmp/kvsim-udp-%d-%d.log", static_cast<int>(getpid()), counter++);
        log_ = lp;
        unlink(log_.c_str());
        std::vector<std::string> argv = {"ip", "netns", "exec", std::string(ns) + "-dev", "/usr/bin/python3",
                                         sourceDir + "/tests/sim/kvsim_udp.py", "--log", log_};
        argv.insert(argv.end(), args.begin(), args.end());
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            std::vector<char*> c;
            for (auto& a : argv)
                c.push_back(const_cast<char*>(a.c_str()));
            c.push_back(nullptr);
            execvp(c[0], c.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        std::string line;
        bool ready = false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!ready && std::chrono::steady_clock::now() < end) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char ch;
            if (read(out[0], &ch, 1) <= 0)
                break;
            if (ch != '\n') {
                line += ch;
                continue;
            }
            ready = line.rfind("READY", 0) == 0;
            line.clear();
        }
        close(out[0]);
        if (!ready)
            Stop();
        return ready;
    }
    void Stop()
    {
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            waitpid(pid_, &st, 0);
            pid_ = -1;
        }
    }
    // Every JSON line logged so far.
    std::vector<std::string> Lines(const char* ev = nullptr) const
    {
        std::vector<std::string> v;
        FILE* f = fopen(log_.c_str(), "r");
        if (!f)
            return v;
        char* l = nullptr;
        size_t cap = 0;
        ssize_t n;
        std::string want = ev ? std::string("\"ev\": \"") + ev + "\"" : "";
        while ((n = getline(&l, &cap, f)) > 0)
            if (want.empty() || strstr(l, want.c_str()))
                v.emplace_back(l, static_cast<size_t>(n));
        free(l);
        fclose(f);
        return v;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::string log_;
};

// Values of one flat JSON line as written by Python's json.dumps.
inline std::string JsonStr(const std::string& line, const std::string& key)
{
    const std::string k = "\"" + key + "\": \"";
    size_t p = line.find(k);
    if (p == std::string::npos)
        return "";
    p += k.size();
    return line.substr(p, line.find('"', p) - p);
}
inline long long JsonInt(const std::string& line, const std::string& key, long long dflt = -1)
{
    const std::string k = "\"" + key + "\": ";
    size_t p = line.find(k);
    if (p == std::string::npos)
        return dflt;
    return strtoll(line.c_str() + p + k.size(), nullptr, 10);
}
inline double JsonNum(const std::string& line, const std::string& key)
{
    const std::string k = "\"" + key + "\": ";
    size_t p = line.find(k);
    return p == std::string::npos ? -1.0 : strtod(line.c_str() + p + k.size(), nullptr);
}

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
