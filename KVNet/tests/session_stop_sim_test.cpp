// Stop is prompt and final in every state of a session: connecting to an address that
// drops packets, logging in to a device that stalls, logged in, reconnecting.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "session_fixture.h"
#include "task_pool.h"

using namespace kvsess;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

// A loopback listener whose accept queue is full: further connection requests are
// dropped, so a connect to it hangs like one to a host that drops packets.
struct DroppingListener : kvtest::LoopbackListener {
    DroppingListener() : kvtest::LoopbackListener(0) { EXPECT_TRUE(FillBacklog()); }
};

size_t CountDir(const char* path)
{
    size_t n = 0;
    DIR* d = opendir(path);
    if (!d)
        return 0;
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

long StopMs(DevConnection*& s)
{
    auto t0 = Clock::now();
    KVNetConnectionStop(&s);
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
}

} // namespace

TEST(SessionStop, PromptInEveryState)
{
    // The protocol's own long periods: promptness must not come from short time-outs.
    kvnet_set_session_timings(KVSessionTimings{});
    {
        SCOPED_TRACE("connecting to an address that drops packets");
        DroppingListener drop;
        Recorder rec;
        DevConnection* s = StartSession(rec, drop.port(), "admin", "admin123", true);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(0); }, milliseconds(2000)));
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(CodesText(rec.Codes()), "0") << "the connect hangs";
        EXPECT_LT(StopMs(s), 100 + kvtest::kLoadSlackMs);
        EXPECT_EQ(CodesText(rec.Codes()), "0");
    }
    {
        SCOPED_TRACE("logging in to a device that stalls");
        kvtest::SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", "silent"}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", true);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(100); }, milliseconds(2000)));
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_LT(StopMs(s), 100 + kvtest::kLoadSlackMs);
        EXPECT_EQ(CodesText(rec.Codes()), "0,1,100");
    }
    {
        SCOPED_TRACE("logged in");
        kvtest::SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", "device-kind=srp"}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", true);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(101); }, milliseconds(5000)));
        EXPECT_LT(StopMs(s), 100 + kvtest::kLoadSlackMs);
        EXPECT_EQ(CodesText(rec.Codes()), "0,1,100,101") << "no code 3 or 4 after the stop";
    }
    {
        SCOPED_TRACE("waiting between attempts");
        Recorder rec;
        DevConnection* s = StartSession(rec, DeadPort(), "admin", "admin123", true);
        ASSERT_TRUE(kvtest::WaitFor([&] { return rec.Has(2); }, milliseconds(2000)));
        EXPECT_LT(StopMs(s), 100 + kvtest::kLoadSlackMs);
    }
}

TEST(SessionStop, TwoHundredStopsAtRandomMoments)
{
    KVSessionTimings t = FastTimings();
    t.connectMs = 5000;
    t.recvTimeoutMs = 15000;
    kvnet_set_session_timings(t);
    kvtest::SimProcess srp, silent, plain;
    ASSERT_TRUE(srp.Start({"--scenario", "device-kind=srp"}));
    ASSERT_TRUE(silent.Start({"--scenario", "silent"}));
    ASSERT_TRUE(plain.Start({"--scenario", "device-kind=scrambled"}));
    DroppingListener drop;
    const uint16_t ports[] = {srp.tcp_port(), silent.tcp_port(), plain.tcp_port(), drop.port(), DeadPort()};
    std::mt19937 rng(12345);
    std::vector<long> stops;
    for (int i = 0; i < 200; ++i) {
        Recorder rec;
        DevConnection* s = StartSession(rec, ports[i % 5], "admin", "admin123", rng() & 1);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 120000));
        stops.push_back(StopMs(s));
        const size_t n = rec.Count();
        std::this_thread::sleep_for(milliseconds(2));
        ASSERT_EQ(rec.Count(), n) << "a code after the stop";
    }
    kvnet_set_session_timings(KVSessionTimings{});
    std::sort(stops.begin(), stops.end());
    const long p99 = stops[stops.size() * 99 / 100 - 1];
    RecordProperty("stop_p99_ms", static_cast<int>(p99));
    EXPECT_LT(p99, 100) << "max " << stops.back();
}

TEST(SessionStop, ThousandStartStopCyclesLeaveNothingBehind)
{
    kvnet_set_session_timings(FastTimings());
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--scenario", "device-kind=srp"}));
    const uint16_t dead = DeadPort();
    // Warm the pool so its parked workers are counted in the baseline.
    for (int i = 0; i < 5; ++i) {
        Recorder rec;
        DevConnection* s = StartSession(rec, dead, "a", "b", false);
        KVNetConnectionStop(&s);
    }
    const size_t fds = CountDir("/proc/self/fd");
    const size_t threads = CountDir("/proc/self/task");
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; ++i) {
        Recorder rec;
        DevConnection* s = StartSession(rec, (i & 1) ? sim.tcp_port() : dead, "admin", "admin123", true);
        if (rng() % 4 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        KVNetConnectionStop(&s);
    }
    kvnet_set_session_timings(KVSessionTimings{});
    EXPECT_EQ(CountDir("/proc/self/fd"), fds);
    // A worker that has just ended its session may not be parked yet when the next one
    // starts, so the pool can grow by a few threads; it must not grow with the cycles.
    EXPECT_LE(CountDir("/proc/self/task"), threads + 4);
}
