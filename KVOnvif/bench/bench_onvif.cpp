// Search and device service timings. The program moves itself into a private network
// namespace first: the search multicasts, and its responders live there too.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include "KVOnvif.h"
#include "netns.h"
#include "onvif_test_util.h"

using kvonviftest::HttpPostJson;
using kvonviftest::PeerProcess;

namespace {

struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool end = false;
    size_t records = 0;
};

void OnRecord(const SearchDevRsp* r, void* user) {
    Done* d = static_cast<Done*>(user);
    std::lock_guard<std::mutex> lock(d->mu);
    if (r) {
        ++d->records;
        return;
    }
    d->end = true;
    d->cv.notify_all();
}

// Time from the search start to the final call, with N responders.
void BM_SearchToFinalCall(benchmark::State& state) {
    const int n = (int)state.range(0);
    PeerProcess peer;
    if (!peer.Start("wsd_responder.py", {"--count", std::to_string(n)})) {
        state.SkipWithError("responder did not start");
        return;
    }
    size_t found = 0;
    for (auto _ : state) {
        Done d;
        KVNetSearchDevParam p;
        memset(&p, 0, sizeof p);
        p.callback = OnRecord;
        p.user = &d;
        auto t0 = std::chrono::steady_clock::now();
        KVOnvifSearchHandle h = KVOnvifSearchDevStart(&p);
        {
            std::unique_lock<std::mutex> lock(d.mu);
            d.cv.wait(lock, [&] { return d.end; });
        }
        auto t1 = std::chrono::steady_clock::now();
        KVOnvifSearchDevStop(&h);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        found = d.records;
    }
    state.counters["records"] = (double)found;
}
BENCHMARK(BM_SearchToFinalCall)->Arg(1)->Arg(50)->Arg(500)->UseManualTime()->Iterations(5)
    ->Unit(benchmark::kMillisecond);

struct Service {
    PeerProcess peer;
    int port = 0;
    KVOnvifHandle h = nullptr;
    bool Start() {
        std::string ready;
        if (!peer.Start("device_service.py", {"--user", "admin", "--password", "secret"}, &ready))
            return false;
        port = atoi(ready.c_str() + ready.find("port=") + 5);
        KVNetConnectionParam c;
        memset(&c, 0, sizeof c);
        c.szAddr = "127.0.0.1";
        c.nPort = (uint32_t)port;
        c.szUser = "admin";
        c.szPwd = "secret";
        c.msgCallback = [](unsigned, void*) {};
        h = KVOnvifConnectionStart(&c);
        return h != nullptr;
    }
    ~Service() { KVOnvifConnectionStop(&h); }
};

// Three requests: interfaces, protocols, gateway.
void BM_Query(benchmark::State& state) {
    Service s;
    if (!s.Start()) { state.SkipWithError("device service did not start"); return; }
    for (auto _ : state) {
        KVNet_NetworkBaseSet_t b;
        memset(&b, 0, sizeof b);
        b.StructSize = sizeof b;
        KVNetQueryParamParamEx q;
        memset(&q, 0, sizeof q);
        q.nParamType = 511;
        q.pStruct = &b;
        q.nStructSize = sizeof b;
        if (KVOnvifQueryParamEx(s.h, &q) != 1) { state.SkipWithError("query failed"); break; }
    }
}
BENCHMARK(BM_Query)->Unit(benchmark::kMillisecond);

// A change of gateway, port and address: three queries, three changes.
void BM_ChangeAll(benchmark::State& state) {
    Service s;
    if (!s.Start()) { state.SkipWithError("device service did not start"); return; }
    int i = 0;
    for (auto _ : state) {
        KVNet_NetworkBaseSet_t b;
        memset(&b, 0, sizeof b);
        b.StructSize = sizeof b;
        char ip[32], gw[32];
        snprintf(ip, sizeof ip, "198.51.100.%d", 20 + (i & 1));
        snprintf(gw, sizeof gw, "198.51.100.%d", 1 + (i & 1));
        inet_pton(AF_INET, ip, b.IPAddr);
        inet_pton(AF_INET, "255.255.255.0", b.NetMask);
        inet_pton(AF_INET, gw, b.Gateway);
        b.HttpPort = 8000 + (i & 1);
        b.AddrMode = 2;
        ++i;
        KVNetSetParamParam p;
        memset(&p, 0, sizeof p);
        p.nParamType = 511;
        p.pStruct = &b;
        if (KVOnvifSetParam(s.h, &p) != 1) { state.SkipWithError("change failed"); break; }
    }
}
BENCHMARK(BM_ChangeAll)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!kvtest::NetnsPair()) {
        // Multicasts never leave a namespace pair made for this run.
        std::vector<std::string> args = {kvtest::SelfExe()};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        kvtest::NetnsOptions o;
        o.side = "dev";
        std::string out;
        const int rc = kvtest::RunInNetns(o, args, &out);
        fputs(out.c_str(), stdout);
        if (rc == -1) fprintf(stderr, "bench_onvif: cannot create network namespaces (needs root)\n");
        return rc == 0 ? 0 : 1;
    }
    // The client's step lines would drown the table.
    if (!freopen("/dev/null", "w", stdout)) return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
