// A session against the simulator on loopback: query latency (p50/p99) beside a raw TCP
// ping-pong of the same sizes to the same simulator, throughput with 1, 4 and 16 threads
// on one session, and export MB/s in each mode beside a raw socket transfer. The peak
// resident size after the scrambled 16 MiB export is reported as a counter.
//
// The simulator is Python: the raw ping-pong shows its own share, so the client's cost is
// the difference between the two latencies. The raw socket has not logged in, so the
// simulator echoes its request there (20 bytes shorter than the JSON reply, and a cheaper
// handler): the difference is an upper bound of the client's cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <atomic>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "KVNet.h"
#include "side_connection.h"

#include "test_kit.h"

namespace {

struct Sim {
    kvtest::SimProcess sim;
    DevConnection* h = nullptr;
    std::atomic<int> in{0};

    bool Start(const std::string& kind, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--scenario", "device-kind=" + kind};
        for (auto& e : extra) {
            args.push_back("--scenario");
            args.push_back(e);
        }
        if (!sim.Start(args))
            return false;
        KVNetSetEncription(kind == "plain" ? 0 : 1);
        KVNetConnectionParam p{};
        p.szAddr = "127.0.0.1";
        p.nPort = sim.tcp_port();
        p.szUser = "admin";
        p.szPwd = "admin123";
        p.pUser = this;
        p.msgCallback = [](unsigned code, void* u) {
            if (code == 101)
                ++static_cast<Sim*>(u)->in;
        };
        h = KVNetConnectionStartEx(&p);
        return h && kvtest::WaitFor([&] { return in.load() > 0; }, std::chrono::seconds(10));
    }
    ~Sim()
    {
        if (h)
            KVNetConnectionStop(&h);
    }
};

double Percentile(std::vector<double>& v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(q * (v.size() - 1))];
}

const std::string kJson = "{\"get\":\"osd\",\"channel\":1,\"pad\":\"0123456789abcdef0123456789\"}";

void JsonCb(const void*, unsigned, void*) {}

} // namespace

static void BM_QueryLatency(benchmark::State& st)
{
    static Sim s;
    if (!s.h && !s.Start("plain")) {
        st.SkipWithError("no session");
        return;
    }
    KVNetParamJsonParam p{429, kJson.data(), static_cast<uint32_t>(kJson.size()), JsonCb, nullptr};
    std::vector<double> us;
    for (auto _ : st) {
        auto t0 = std::chrono::steady_clock::now();
        if (KVNetQueryParamJson(s.h, &p) != 1)
            st.SkipWithError("query failed");
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    st.counters["p50_us"] = Percentile(us, 0.5);
    st.counters["p99_us"] = Percentile(us, 0.99);
}
BENCHMARK(BM_QueryLatency)->Iterations(3000)->UseRealTime();

// The same request and reply bytes over a plain socket of our own: the simulator's share.
static void BM_RawPingPong(benchmark::State& st)
{
    static Sim s;
    if (!s.h && !s.Start("plain")) {
        st.SkipWithError("no simulator");
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(s.sim.tcp_port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        st.SkipWithError("connect");
        return;
    }
    std::vector<double> us;
    uint32_t seq = 1;
    std::vector<uint8_t> msg(16 + kJson.size()), reply(1 << 16);
    for (auto _ : st) {
        MsgHeadWrap h;
        h.MsgType = 429;
        h.MsgSize = static_cast<uint32_t>(kJson.size());
        h.Seq = seq++;
        std::memcpy(msg.data(), &h, 16);
        std::memcpy(msg.data() + 16, kJson.data(), kJson.size());
        auto t0 = std::chrono::steady_clock::now();
        send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
        MsgHeadWrap r;
        if (recv(fd, &r, 16, MSG_WAITALL) != 16 || recv(fd, reply.data(), r.MsgSize, MSG_WAITALL) != (ssize_t)r.MsgSize)
            st.SkipWithError("recv");
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    close(fd);
    st.counters["p50_us"] = Percentile(us, 0.5);
    st.counters["p99_us"] = Percentile(us, 0.99);
}
BENCHMARK(BM_RawPingPong)->Iterations(3000)->UseRealTime();

static Sim* gShared;

static void BM_QueryThroughput(benchmark::State& st)
{
    if (st.thread_index() == 0 && !gShared) {
        gShared = new Sim;
        if (!gShared->Start("plain"))
            st.SkipWithError("no session");
    }
    // Google Benchmark starts the threads together; the first one set the session up.
    while (!gShared || gShared->in.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    KVNetParamJsonParam p{429, kJson.data(), static_cast<uint32_t>(kJson.size()), JsonCb, nullptr};
    for (auto _ : st)
        if (KVNetQueryParamJson(gShared->h, &p) != 1)
            st.SkipWithError("query failed");
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_QueryThroughput)->Threads(1)->Threads(4)->Threads(16)->UseRealTime()->MinTime(2.0);

static void Export(benchmark::State& st, const char* kind)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    Sim s;
    if (!s.Start(kind, {"export-size=" + std::to_string(size)})) {
        st.SkipWithError("no session");
        return;
    }
    kvside::SideConnection::SetTimeouts(5000, 120000, 5000);
    struct N {
        size_t n = 0;
    } n;
    KVNetExportBackupParam p{&n, [](void*, unsigned sz, void* u) { static_cast<N*>(u)->n = sz; }};
    for (auto _ : st)
        if (KVNetExportBackupNew(s.h, &p) != 1)
            st.SkipWithError("export failed");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    st.counters["maxrss_MB"] = ru.ru_maxrss / 1024.0;
}
static void BM_ExportPlain(benchmark::State& st) { Export(st, "plain"); }
static void BM_ExportScrambled(benchmark::State& st) { Export(st, "scrambled"); }
static void BM_ExportEnveloped(benchmark::State& st) { Export(st, "srp"); }
BENCHMARK(BM_ExportPlain)->Arg(4 << 20)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportScrambled)->Arg(4 << 20)->Arg((16 << 20) - 40)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportEnveloped)->Arg(4 << 20)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same export bytes over a plain socket of our own, with the export's receive buffer
// (1 MiB, set before connect): the simulator's and the kernel's share of an export. The
// simulator's record is made once per size, so both sides send the same cached bytes.
static void BM_RawExportTransfer(benchmark::State& st)
{
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    kvtest::SimProcess sim;
    if (!sim.Start({"--scenario", "export-size=" + std::to_string(size)})) {
        st.SkipWithError("no simulator");
        return;
    }
    // range(1) = 1: like the client, each transfer receives into a fresh zeroed block.
    const bool fresh = st.range(1) != 0;
    std::vector<uint8_t> hot(fresh ? 0 : size + 64);
    for (auto _ : st) {
        uint8_t* block = fresh ? static_cast<uint8_t*>(calloc(size + 64, 1)) : hot.data();
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int rcv = 1 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(sim.tcp_port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        MsgHeadWrap h;
        h.MsgType = 415;
        h.MsgSize = 8;
        h.Seq = 1;
        uint8_t msg[24] = {};
        std::memcpy(msg, &h, 16);
        send(fd, msg, sizeof msg, MSG_NOSIGNAL);
        MsgHeadWrap r;
        recv(fd, &r, 16, MSG_WAITALL);
        recv(fd, block, r.MsgSize, MSG_WAITALL);
        close(fd);
        if (fresh)
            free(block);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * size);
}
BENCHMARK(BM_RawExportTransfer)->Args({4 << 20, 0})->Args({4 << 20, 1})->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
