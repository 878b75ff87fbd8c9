// The client against hostile devices: a device that drips the reply of an export or an
// import, one that drips a message on the session, one that sends a large export over a
// slow link, and devices whose replies are nonsense. Each row runs against the simulator
// with short injected time-outs and asserts what the call returned and how long it held
// its caller (sockets' own time-outs restart with every byte: without the progress rule
// the dripping rows would hold the caller for minutes).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "requests_fixture.h"
#include "session_fixture.h"
#include "side_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using kvreqtest::Session;

struct Exported {
    int calls = 0;
    size_t size = 0;
};

void OnExport(void*, unsigned size, void* user)
{
    auto* e = static_cast<Exported*>(user);
    ++e->calls;
    e->size = size;
}

struct SideScope {
    SideScope(unsigned recvMs, unsigned floorBps)
    {
        kvside::SideConnection::SetTimeouts(0, recvMs, 0);
        kvside::SideConnection::SetFloorRate(floorBps);
    }
    ~SideScope()
    {
        kvside::SideConnection::SetTimeouts(0, 0, 0);
        kvside::SideConnection::SetFloorRate(0);
    }
};

int Export(Session& s, Exported* e)
{
    KVNetExportBackupParam p{e, OnExport};
    return KVNetExportBackupNew(s.h, &p);
}

int Import(Session& s, uint32_t dataLen)
{
    std::vector<uint8_t> rec(KVNET_BACKUP_HEAD_SIZE + dataLen, 0x5A);
    auto* r = reinterpret_cast<KVNetBackupRecord*>(rec.data());
    r->DataLen = dataLen;
    return KVNetRemoteParamImportNew(s.h, r);
}

int Json(Session& s, bool set)
{
    const std::string text = "{\"get\":\"osd\"}";
    KVNetParamJsonParam p{429, text.data(), static_cast<uint32_t>(text.size()),
                          [](const void*, unsigned, void*) {}, nullptr};
    return set ? KVNetSetParamJson(s.h, &p) : KVNetQueryParamJson(s.h, &p);
}

constexpr uint32_t k16MiBData = kvmsg::kMaxBody - KVNET_BACKUP_HEAD_SIZE;

struct SideRow {
    const char* name;
    std::vector<std::string> scenarios;
    unsigned recvMs;    // the side connection's receive time-out (base of the rule)
    unsigned floorBps;  // 0: the default floor rate
    std::function<int(Session&, Exported*)> call;
    int result;
    size_t exportedSize; // when the export succeeds
    long minMs, maxMs;   // the time the call held its caller
};

TEST(HostileDevice, SideConnectionTable)
{
    const long slack = kvtest::kClockSlackMs, load = kvtest::kLoadSlackMs;
    const std::vector<SideRow> rows = {
        // Dripping: 16 head bytes at 100 ms each cannot arrive within the 1 s base.
        {"export reply dripping one byte per 100 ms is cut at the base", {"export-drip=100"}, 1000, 0,
         Export, 0, 0, 1000 - slack, 1000 + load},
        {"import opening reply dripping is cut at the base", {"import-drip=100"}, 1000, 0,
         [](Session& s, Exported*) { return Import(s, 1000); }, 0, 0, 1000 - slack, 1000 + load},
        // A 16 MiB record at 4 MiB/s (about 4 s) passes a rule of 3 s (the device makes
        // the record first) + size at 1 MiB/s (19 s in all), where the 3 s alone would
        // cut it; the margins hold on a loaded machine.
        {"16 MiB export over a slow link above the floor passes",
         {"export-size=" + std::to_string(k16MiBData), "export-rate=4194304"}, 3000, 1u << 20,
         Export, 1, kvmsg::kMaxBody, 3000, 19000 + load},
        // 2 MiB at 128 KiB/s would take 16 s: cut at 3 s (room for the device to make the
        // record on a loaded machine) + 2 MiB at 2 MiB/s.
        {"export below the floor rate is cut at base plus size at the floor",
         {"export-size=" + std::to_string(2u << 20), "export-rate=131072"}, 3000, 2u << 20,
         Export, 0, 0, 4000 - slack, 4000 + load},
        // Nonsense taken for success before.
        {"export record whose size field is below its 40-byte head fails", {"export-lie=small"}, 0, 0,
         Export, 0, 0, 0, load},
        {"JSON query reply of 0 bytes fails", {"json-raw="}, 0, 0,
         [](Session& s, Exported*) { return Json(s, false); }, 0, 0, 0, load},
        {"JSON set reply of 0 bytes fails", {"json-raw="}, 0, 0,
         [](Session& s, Exported*) { return Json(s, true); }, 0, 0, 0, load},
        {"JSON query reply of 1 byte fails", {"json-raw=00"}, 0, 0,
         [](Session& s, Exported*) { return Json(s, false); }, 0, 0, 0, load},
        {"JSON set reply of 1 byte fails", {"json-raw=00"}, 0, 0,
         [](Session& s, Exported*) { return Json(s, true); }, 0, 0, 0, load},
        // The well-formed neighbours still succeed under the same rule.
        {"export of an honest device passes", {"export-size=1000"}, 1000, 0, Export, 1, 1040, 0, load},
        {"JSON set of an honest device passes", {}, 0, 0,
         [](Session& s, Exported*) { return Json(s, true); }, 1, 0, 0, load},
    };
    for (const SideRow& r : rows) {
        SCOPED_TRACE(r.name);
        Session s;
        ASSERT_TRUE(s.Start(r.scenarios));
        SideScope scope(r.recvMs, r.floorBps);
        Exported e;
        const auto t0 = Clock::now();
        const int got = r.call(s, &e);
        const long held = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
        EXPECT_EQ(got, r.result);
        if (r.exportedSize) {
            EXPECT_EQ(e.calls, 1);
            EXPECT_EQ(e.size, r.exportedSize);
        }
        EXPECT_GE(held, r.minMs);
        EXPECT_LE(held, r.maxMs);
        // The session itself is not touched by a failed side connection.
        EXPECT_EQ(s.closed.load(), 0);
    }
}

// A device that drips one message on the session's main connection is given up when a
// silent one would be (the fifth heartbeat due time) and the session reconnects.
TEST(HostileDevice, SessionDrippingOneMessageIsDroppedAndReconnectedLikeASilentOne)
{
    using namespace kvsess;
    KVSessionTimings t = FastTimings();
    t.heartbeatMs = 150;
    TimingsScope ts(t);
    struct Row {
        const char* name;
        const char* scenario;
    };
    const Row rows[] = {
        {"silent device", "silent-after-login"},
        {"device dripping a heartbeat answer one byte per 100 ms", "drip-after-login=100"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        kvtest::SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", "device-kind=plain", "--scenario", r.scenario}));
        Recorder rec;
        DevConnection* s = StartSession(rec, sim.tcp_port(), "admin", "admin123", true);
        ASSERT_NE(s, nullptr);
        // Logged in, dropped (3), logged in again.
        ASSERT_TRUE(kvtest::WaitFor(
            [&] {
                auto c = rec.Codes();
                auto first = std::find(c.begin(), c.end(), 101u);
                return first != c.end() && std::count(first, c.end(), 101u) >= 2 &&
                       std::find(first, c.end(), 3u) != c.end();
            },
            milliseconds(15000)))
            << CodesText(rec.Codes());
        KVNetConnectionStop(&s);
        std::lock_guard<std::mutex> l(rec.mu);
        const size_t at101 = std::find(rec.codes.begin(), rec.codes.end(), 101u) - rec.codes.begin();
        const size_t at3 = std::find(rec.codes.begin() + at101, rec.codes.end(), 3u) - rec.codes.begin();
        const long gap = std::chrono::duration_cast<milliseconds>(rec.times[at3] - rec.times[at101]).count();
        // Five heartbeat periods after the login, as for silence.
        EXPECT_GE(gap, 5 * 150 - kvtest::kClockSlackMs);
        EXPECT_LT(gap, 5 * 150 + kvtest::kLoadSlackMs);
    }
}

} // namespace
