// Address resolution of login types 0, 1, 10, 11 and 23 against the lookup peer
// (tests/sim/idsrv.py) on its real ports 80 and 7026, inside private namespace pairs:
// the peer on the device side (198.51.100.1), the client on the other.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "resolve_config.h"
#include "netns_test.h"
#include "resolve_fixture.h"
#include "test_kit.h"

using namespace std::chrono;
using kvresolvetest::IdServer;
using kvresolvetest::Recorder;

namespace {

const char* kServer = "198.51.100.1";

KVSessionTimings Fast()
{
    KVSessionTimings t;
    t.retryMs = 50;
    t.resolveRetryMs = 50;
    t.connectMs = 300;
    t.lookupConnectMs = 2000;
    t.lookupRecvMs = 3000;
    return t;
}

struct TimingsScope {
    explicit TimingsScope(const KVSessionTimings& t) { kvnet_set_session_timings(t); }
    ~TimingsScope() { kvnet_set_session_timings(KVSessionTimings{}); }
};

struct DirHostsScope {
    explicit DirHostsScope(std::vector<std::string> h) { kv_resolve_set_dir_hosts(h); }
    ~DirHostsScope() { kv_resolve_set_dir_hosts({}); }
};

std::string IdRequest(const char* path, const std::string& id, const char* host)
{
    return std::string("GET ") + path + id + " HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: " + host +
           "\r\n\r\n";
}

// One session until its task ends (no automatic reconnection: two rounds at most).
void RunSession(Recorder& rec, int type, const char* addr, uint16_t port, const char* idServer)
{
    DevConnection* s = kvresolvetest::StartTyped(rec, type, addr, port, idServer);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->WaitTaskEnded(30000));
    KVNetConnectionStop(&s);
}

} // namespace

TEST(ResolveNetns, LookupTable)
{
    KV_IN_PRIVATE_NETNS(true);
    TimingsScope timings(Fast());
    DirHostsScope hosts({kServer});
    const std::string id = "KV0123456789";
    const std::string req1 = IdRequest("/queryinfo.php?DevID=", id + "?", kServer);
    const std::string req11 = IdRequest("/get_info?dev_id=", id, kServer);
    const std::string req10 = "DIRGETSVRINFO BMSP/0.3\r\nID:" + id + "\r\n\r\n\r\n";
    const std::string req23 =
        std::string("GET / HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: ") + kServer + "\r\n\r\n";
    struct Row {
        const char* name;
        int type;
        const char* scenario;
        std::string request; // the exact bytes the peer must see ("" = none at all)
        bool ok;
        const char* addr;
        uint16_t port;
    } rows[] = {
        {"type 1", 1, "ok", req1, true, "203.0.113.7", 9000},
        {"type 11", 11, "ok", req11, true, "203.0.113.7", 9000},
        {"type 10", 10, "ok", req10, true, "203.0.113.7", 9000},
        {"type 23: the host of Location, the request's port", 23, "ok", req23, true, "198.51.100.4", 8000},
        {"type 1, one byte per send", 1, "split", req1, true, "203.0.113.7", 9000},
        {"type 10, one byte per send", 10, "split", req10, true, "203.0.113.7", 9000},
        {"type 23, one byte per send", 23, "split", req23, true, "198.51.100.4", 8000},
        {"type 23, lower-case header", 23, "location-lower", req23, true, "198.51.100.4", 8000},
        {"type 23, upper-case header", 23, "location-upper", req23, true, "198.51.100.4", 8000},
        {"type 23, host only", 23, "location-host-only", req23, true, "198.51.100.9", 8000},
        {"type 23, host and path", 23, "location-path-only", req23, true, "198.51.100.9", 8000},
        {"type 1, no address", 1, "missing-addr", req1, false, "", 0},
        {"type 1, no port", 1, "missing-port", req1, false, "", 0},
        {"type 1, no terminator", 1, "no-terminator", req1, false, "", 0},
        {"type 1, over 8192 bytes", 1, "oversized", req1, false, "", 0},
        {"type 1, address outside the document", 1, "outside", req1, false, "", 0},
        {"type 11, port 0", 11, "port-zero", req11, false, "", 0},
        {"type 11, port 65536", 11, "port-big", req11, false, "", 0},
        {"type 11, port with text", 11, "port-text", req11, false, "", 0},
        {"type 11, 64-character address", 11, "long-addr", req11, false, "", 0},
        {"type 1, closed without reply", 1, "close", req1, false, "", 0},
        {"type 10, no address line", 10, "missing-addr", req10, false, "", 0},
        {"type 10, no port line", 10, "missing-port", req10, false, "", 0},
        {"type 10, line unfinished", 10, "no-terminator", req10, false, "", 0},
        {"type 10, over 8192 bytes", 10, "oversized", req10, false, "", 0},
        {"type 10, address inside another line", 10, "outside", req10, false, "", 0},
        {"type 10, port 0", 10, "port-zero", req10, false, "", 0},
        {"type 10, port 70000", 10, "port-big", req10, false, "", 0},
        {"type 23, no Location", 23, "missing-addr", req23, false, "", 0},
        {"type 23, https", 23, "location-https", req23, false, "", 0},
        {"type 23, relative", 23, "location-relative", req23, false, "", 0},
        {"type 23, line unfinished", 23, "location-no-eol", req23, false, "", 0},
        {"type 23, over 8192 bytes", 23, "oversized", req23, false, "", 0},
        {"type 23, 64-character host", 23, "long-addr", req23, false, "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        IdServer srv;
        ASSERT_TRUE(srv.Start({"--bind", "0.0.0.0", "--scenario", r.scenario}, kvtest::InNetnsSide("dev")));
        ASSERT_EQ(srv.http(), 80);
        ASSERT_EQ(srv.dir(), 7026);
        Recorder rec;
        RunSession(rec, r.type, r.type == 23 ? kServer : id.c_str(), 8000, r.type == 23 ? "" : kServer);
        const std::vector<unsigned> codes = rec.Codes();
        ASSERT_FALSE(codes.empty());
        if (r.ok) {
            EXPECT_EQ(codes[0], unsigned(KVNetMsgConnectStart)) << kvresolvetest::CodesText(codes);
            EXPECT_EQ(rec.FirstTarget().first, r.addr);
            EXPECT_EQ(rec.FirstTarget().second, r.port);
        } else {
            // Both rounds fail in the resolution step: no connect is started.
            EXPECT_EQ(codes, (std::vector<unsigned>{KVNetMsgConnectFail, KVNetMsgConnectFail}));
        }
        const std::vector<std::string> reqs = srv.Requests();
        ASSERT_FALSE(reqs.empty());
        for (const std::string& q : reqs)
            EXPECT_EQ(q, r.request);
    }
}

TEST(ResolveNetns, NoLookupSocketUnlessNeeded)
{
    KV_IN_PRIVATE_NETNS(true);
    TimingsScope timings(Fast());
    IdServer srv;
    ASSERT_TRUE(srv.Start({"--bind", "0.0.0.0"}, kvtest::InNetnsSide("dev")));
    const std::string longId(128, 'A');
    struct Row {
        const char* name;
        int type;
        const char* addr;
        const char* idServer;
    } rows[] = {
        {"type 1, ID longer than a request carries", 1, longId.c_str(), kServer},
        {"type 11, no ID server", 11, "KV01", ""},
        // Type 0 connects where it is told (nothing listens on port 9 of the peer).
        {"type 0", 0, kServer, ""},
        // The peer's address is no directory host (the default list is in force).
        {"type 10, unknown host", 10, "KV0123", kServer},
        {"type 1, line break in the ID", 1, "KV01\r\nX-Evil: 1", kServer},
        {"type 11, space in the host", 11, "KV01", "198.51.100.1 x"},
        {"type 23, control character in the host", 23, "198.51.100.1\x01", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Recorder rec;
        RunSession(rec, r.type, r.addr, 9, r.idServer);
        if (r.type != 0)
            EXPECT_EQ(rec.Codes(), (std::vector<unsigned>{KVNetMsgConnectFail, KVNetMsgConnectFail}));
        else
            EXPECT_EQ(rec.FirstTarget(), std::make_pair(std::string(kServer), uint16_t(9)));
    }
    EXPECT_EQ(srv.Accepts(), 0u);
}

TEST(ResolveNetns, ResolvedSessionLogsIn)
{
    KV_IN_PRIVATE_NETNS(true);
    TimingsScope timings(Fast());
    // The reply's address lives on the device side next to the lookup peer.
    std::string add;
    for (const std::string& a : kvtest::InNetnsSide("dev"))
        add += a + " ";
    ASSERT_EQ(kvtest::Sh(add + "ip addr add 203.0.113.7/24 dev kv1"), 0);
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--bind", "203.0.113.7", "--tcp-port", "9000", "--scenario", "device-kind=plain"},
                          kvtest::InNetnsSide("dev")));
    IdServer srv;
    ASSERT_TRUE(srv.Start({"--bind", "0.0.0.0"}, kvtest::InNetnsSide("dev")));
    Recorder rec;
    DevConnection* s = kvresolvetest::StartTyped(rec, 1, "KV0123", 8000, kServer, false, "admin", "admin123");
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(kvtest::WaitFor([&] { return rec.Has(KVNetMsgLoginSuccess); }, seconds(20)))
        << kvresolvetest::CodesText(rec.Codes());
    EXPECT_EQ(rec.FirstTarget(), std::make_pair(std::string("203.0.113.7"), uint16_t(9000)));
    KVNetConnectionStop(&s);
}

TEST(ResolveNetns, StopEndsASilentLookup)
{
    KV_IN_PRIVATE_NETNS(true);
    // The reply wait keeps its full 15 s: only Stop can end it early.
    TimingsScope timings(KVSessionTimings{});
    DirHostsScope hosts({kServer});
    struct Row {
        int type;
        const char* addr;
        const char* idServer;
    } rows[] = {{1, "KV0123", kServer}, {10, "KV0123", kServer}, {23, kServer, ""}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        IdServer srv;
        ASSERT_TRUE(srv.Start({"--bind", "0.0.0.0", "--scenario", "silence"}, kvtest::InNetnsSide("dev")));
        Recorder rec;
        DevConnection* s = kvresolvetest::StartTyped(rec, r.type, r.addr, 8000, r.idServer, true);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(kvtest::WaitFor([&] { return !srv.Requests().empty(); }, seconds(10)));
        const auto t0 = steady_clock::now();
        KVNetConnectionStop(&s);
        const long ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
        EXPECT_LT(ms, 100 + kvtest::kLoadSlackMs);
        EXPECT_TRUE(rec.Codes().empty()) << kvresolvetest::CodesText(rec.Codes());
    }
}
