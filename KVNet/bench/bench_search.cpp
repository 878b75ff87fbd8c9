// Broadcast search against 100, 500 and 1000 simulated devices answering at once:
// devices found out of devices answering (goal: all), and the time from the request
// to the final call against its floor, 250 ms after the last answer left the
// simulator. Runs itself inside private network namespaces (needs root).
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <time.h>

#include "../tests/search_netns.h"
#include "KVNet.h"
#include "search.h"

namespace {

double MonoSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Collect {
    std::mutex mu;
    std::condition_variable cv;
    size_t records = 0;
    bool done = false;
    double finalAt = 0;
    static void Cb(const SearchDevRsp* r, void* u)
    {
        auto* c = static_cast<Collect*>(u);
        std::lock_guard<std::mutex> l(c->mu);
        if (r) {
            ++c->records;
            return;
        }
        c->finalAt = MonoSeconds();
        c->done = true;
        c->cv.notify_all();
    }
};

double LastTrace(const std::string& path)
{
    std::ifstream f(path);
    double t = 0, last = 0;
    while (f >> t)
        last = t;
    return last;
}

void BM_BroadcastSearch(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    // The trace goes with its folder when the benchmark ends.
    kvtest::TempDir dir("bench-search");
    const std::string trace = dir.File("trace");
    kvnetns::UdpSim sim;
    if (!sim.Start({"devices=" + std::to_string(n), "search-trace=" + trace})) {
        state.SkipWithError("simulator did not start");
        return;
    }
    double found = 0, runs = 0, overFloorMs = 0, totalMs = 0;
    for (auto _ : state) {
        Collect c;
        KVNetSearchDevParam p{Collect::Cb, &c, 0};
        const double t0 = MonoSeconds();
        KVNetSearchDev(&p);
        std::unique_lock<std::mutex> l(c.mu);
        c.cv.wait(l, [&] { return c.done; });
        const double lastAnswer = LastTrace(trace);
        state.SetIterationTime(c.finalAt - t0);
        found += static_cast<double>(c.records);
        runs += 1;
        totalMs += (c.finalAt - t0) * 1000;
        overFloorMs += (c.finalAt - (lastAnswer + 0.250)) * 1000;
    }
    state.counters["answering"] = n;
    state.counters["found"] = found / runs;
    state.counters["found_ratio"] = found / runs / n;
    state.counters["req_to_final_ms"] = totalMs / runs;
    state.counters["over_floor_ms"] = overFloorMs / runs;
}
BENCHMARK(BM_BroadcastSearch)->Arg(100)->Arg(500)->Arg(1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (!kvtest::NetnsPair()) {
        // Broadcasts never leave a namespace pair made for this run.
        std::vector<std::string> args = {kvtest::SelfExe()};
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        std::string out;
        const int rc = kvtest::RunInNetns(kvtest::NetnsOptions{}, args, &out);
        fputs(out.c_str(), stdout);
        if (rc == -1)
            fprintf(stderr, "bench_search: cannot create network namespaces (needs root)\n");
        return rc == 0 ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
