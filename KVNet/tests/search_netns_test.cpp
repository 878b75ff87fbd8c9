// The search against the UDP device simulator, inside private network namespaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "test_kit.h"
#include "KVNet.h"
#include "search.h"
#include "search_collect.h"
#include "search_netns.h"

using namespace std::chrono;

namespace {

struct SearchTimeouts {
    SearchTimeouts(int recvMs, int totalMs) { kv_search_set_timeouts(recvMs, totalMs); }
    ~SearchTimeouts() { kv_search_set_timeouts(0, 0); }
};

// Runs one broadcast search to its final call.
void Broadcast(SearchResult& res, uint8_t variant = 0)
{
    KVNetSearchDevParam p{};
    p.callback = SearchResult::Callback;
    p.user = &res;
    p.variant = variant;
    KVNetSearchDev(&p);
    ASSERT_TRUE(res.WaitFinal(seconds(15)));
}

std::string Mac(const SearchDevRsp& r) { return std::string(r.szMac, strnlen(r.szMac, sizeof r.szMac)); }

} // namespace

TEST(SearchNetns, NoDeviceGivesOneFinalCallAfterTheReceiveTimeout)
{
    KV_IN_PRIVATE_NETNS();
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"search-silent"}));
    SearchResult res;
    const auto t0 = steady_clock::now();
    KVNetSearchDevParam p{SearchResult::Callback, &res, 0};
    KVNetSearchDev(&p);
    const auto callerThread = std::this_thread::get_id();
    ASSERT_TRUE(res.WaitFinal(seconds(5)));
    std::this_thread::sleep_for(milliseconds(300)); // a second final call would show here
    std::lock_guard<std::mutex> l(res.mu);
    EXPECT_EQ(res.finals, 1);
    EXPECT_TRUE(res.records.empty());
    EXPECT_EQ(res.callsAfterFinal, 0);
    EXPECT_NE(res.thread, callerThread) << "delivery must run on the search task";
    const auto ms = duration_cast<milliseconds>(res.finalAt - t0).count();
    EXPECT_GE(ms, 250 - kvtest::kClockSlackMs);
    EXPECT_LT(ms, 1000 + kvtest::kLoadSlackMs);
    auto lines = sim.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(kvtest::JsonInt(lines[0], "type"), 11);
    EXPECT_EQ(kvtest::JsonInt(lines[0], "size"), 0);
    EXPECT_EQ(kvtest::JsonStr(lines[0], "raw").size(), 32u) << "a head without body";
    EXPECT_EQ(kvtest::JsonStr(lines[0], "dst"), "255.255.255.255");
}

TEST(SearchNetns, DuplicateMacsAndStaleSeqAreDropped)
{
    KV_IN_PRIVATE_NETNS();
    kvnetns::UdpSim sim;
    // 200 devices, the last 20 repeating MACs of the first 20, 10 stale-Seq extras, and
    // 5 devices answering twice: 180 distinct devices.
    ASSERT_TRUE(sim.Start({"devices=200", "dup-macs=20", "search-stale=10", "search-duplicate=5"}));
    SearchResult res;
    Broadcast(res);
    std::lock_guard<std::mutex> l(res.mu);
    EXPECT_EQ(res.finals, 1);
    ASSERT_EQ(res.records.size(), 180u);
    std::set<std::string> macs;
    for (const SearchDevRsp& r : res.records)
        macs.insert(Mac(r));
    EXPECT_EQ(macs.size(), 180u);
    // The first reply of a shared MAC wins: device 0 answered before device 180.
    auto it = std::find_if(res.records.begin(), res.records.end(),
                           [](const SearchDevRsp& r) { return Mac(r) == "00-4B-56-00-00-00"; });
    ASSERT_NE(it, res.records.end());
    EXPECT_STREQ(it->szDevName, "SIM-0000");
    EXPECT_STREQ(it->szIP, "198.51.100.64");
    EXPECT_EQ(it->nChannelCount, 4u);
}

TEST(SearchNetns, VariantsSendTheTypesOfTheTable)
{
    KV_IN_PRIVATE_NETNS();
    SearchTimeouts t(1000, 5000); // a silence a busy machine's answer never outlasts
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"devices=2"}));
    const int expected[] = {11, 618, 11, 620, 623, 11, 625, 628, 11, 11};
    const uint8_t variants[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 200};
    for (size_t i = 0; i < sizeof variants; ++i) {
        SearchResult res;
        Broadcast(res, variants[i]);
        std::lock_guard<std::mutex> l(res.mu);
        // The simulator answers with the request's type: the reply matched.
        EXPECT_EQ(res.records.size(), 2u) << "variant " << int(variants[i]);
    }
    auto lines = sim.Lines();
    ASSERT_EQ(lines.size(), sizeof variants);
    long long lastSeq = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(kvtest::JsonInt(lines[i], "type"), expected[i]) << "variant " << int(variants[i]);
        EXPECT_EQ(kvtest::JsonInt(lines[i], "subtype"), 0);
        EXPECT_GT(kvtest::JsonInt(lines[i], "seq"), lastSeq); // a new Seq per request
        lastSeq = kvtest::JsonInt(lines[i], "seq");
    }
}

TEST(SearchNetns, OddRepliesGiveWellFormedRecords)
{
    KV_IN_PRIVATE_NETNS();
    SearchTimeouts t(1000, 5000); // a silence a busy machine's answer never outlasts
    struct Case {
        const char* name;
        std::vector<std::string> args;
        size_t nonZeroUpTo; // record bytes after this offset must be zero
    } cases[] = {
        {"short record", {"search-short=300"}, 300},
        {"record over 448 bytes", {"search-long=700"}, 448},
        {"MsgSize beyond the datagram", {"search-lying-size"}, 448},
        {"delayed replies", {"search-delay=60"}, 448},
    };
    for (const Case& c : cases) {
        kvnetns::UdpSim sim;
        std::vector<std::string> args = {"devices=3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(sim.Start(args)) << c.name;
        SearchResult res;
        Broadcast(res);
        std::lock_guard<std::mutex> l(res.mu);
        ASSERT_EQ(res.records.size(), 3u) << c.name;
        const auto* b = reinterpret_cast<const uint8_t*>(&res.records[0]);
        EXPECT_STREQ(res.records[0].szIP, "198.51.100.64") << c.name;
        for (size_t i = c.nonZeroUpTo; i < sizeof(SearchDevRsp); ++i)
            ASSERT_EQ(b[i], 0) << c.name << " at " << i;
        EXPECT_STREQ(res.records[0].szMac, "00-4B-56-00-00-00") << c.name;
        EXPECT_EQ(res.records[0].nChannelCount, 4u) << c.name;
    }
}

TEST(SearchNetns, SlowEndlessReplierIsCutAtFiveSeconds)
{
    KV_IN_PRIVATE_NETNS();
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"devices=1", "search-endless"}));
    SearchResult res;
    const auto t0 = steady_clock::now();
    KVNetSearchDevParam p{SearchResult::Callback, &res, 0};
    KVNetSearchDev(&p);
    ASSERT_TRUE(res.WaitFinal(seconds(10)));
    std::lock_guard<std::mutex> l(res.mu);
    const auto ms = duration_cast<milliseconds>(res.finalAt - t0).count();
    EXPECT_GE(ms, 4750 - kvtest::kClockSlackMs);
    EXPECT_LE(ms, 5250 + kvtest::kLoadSlackMs);
    EXPECT_EQ(res.records.size(), 1u);
    EXPECT_EQ(res.finals, 1);
}

namespace {
std::mutex gBlocksMu;
std::vector<std::pair<uint32_t, uint32_t>> gBlocks;
void OnBlock(uint32_t first, uint32_t count)
{
    std::lock_guard<std::mutex> l(gBlocksMu);
    gBlocks.emplace_back(first, count);
}
uint32_t Addr(const char* t)
{
    in_addr a{};
    inet_pton(AF_INET, t, &a);
    return ntohl(a.s_addr);
}
} // namespace

TEST(SearchNetns, RangeProbesBlocksOfTenAndSkipsNetworkAndBroadcastOctets)
{
    KV_IN_PRIVATE_NETNS();
    SearchTimeouts t(60, 5000);
    kv_search_set_block_observer(OnBlock);
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"device-ips=198.51.100.245,198.51.101.2,198.51.101.8,198.51.101.9"}));
    SearchResult res;
    KVNetSearchDevPoint2PointParam p{};
    p.callback = SearchResult::Callback;
    p.user = &res;
    strcpy(p.szStartIP, "198.51.100.240");
    strcpy(p.szEndIP, "198.51.101.8"); // 25 addresses across a /24 boundary
    KVNetSearchDevPoint2Point(&p);
    ASSERT_TRUE(res.WaitFinal(seconds(15)));
    kv_search_set_block_observer(nullptr);

    std::lock_guard<std::mutex> l(res.mu);
    EXPECT_EQ(res.finals, 1);
    std::set<std::string> found;
    for (const SearchDevRsp& r : res.records)
        found.insert(r.szIP);
    EXPECT_EQ(found, (std::set<std::string>{"198.51.100.245", "198.51.101.2", "198.51.101.8"}));

    std::sort(gBlocks.begin(), gBlocks.end());
    const std::vector<std::pair<uint32_t, uint32_t>> blocks = {
        {Addr("198.51.100.240"), 10}, {Addr("198.51.100.250"), 10}, {Addr("198.51.101.4"), 5}};
    EXPECT_EQ(gBlocks, blocks);

    std::set<std::string> probed;
    for (const std::string& line : sim.Lines())
        probed.insert(kvtest::JsonStr(line, "dst"));
    std::set<std::string> expected;
    for (uint32_t a = Addr("198.51.100.240"); a <= Addr("198.51.101.8"); ++a) {
        const uint8_t last = a & 0xFF;
        if (last == 0 || last == 1 || last == 255)
            continue;
        in_addr ia{htonl(a)};
        expected.insert(inet_ntoa(ia));
    }
    EXPECT_EQ(expected.size(), 22u);
    EXPECT_EQ(probed, expected);
}

TEST(SearchNetns, TwoInterfacesOnTwoSubnetsFindTheDevicesOfBoth)
{
    KV_IN_PRIVATE_NETNS(true, true);
    SearchTimeouts t(150, 5000);
    // A second address on the first interface must not make a second request there.
    ASSERT_EQ(kvtest::Sh("ip addr add 198.51.100.3/24 dev kv0"), 0);
    kvnetns::UdpSim simA, simB;
    ASSERT_TRUE(simA.Start({"devices=3"}));
    ASSERT_TRUE(simB.Start({"devices=2", "first-ip=203.0.113.50", "mac-prefix=00-4B-56-11"}, "dev2"));
    SearchResult res;
    Broadcast(res);
    std::lock_guard<std::mutex> l(res.mu);
    std::set<std::string> ips;
    for (const SearchDevRsp& r : res.records)
        ips.insert(r.szIP);
    EXPECT_EQ(ips, (std::set<std::string>{"198.51.100.64", "198.51.100.65", "198.51.100.66", "203.0.113.50",
                                          "203.0.113.51"}));
    // One request, same Seq, out of each interface, from its first address.
    auto a = simA.Lines(), b = simB.Lines();
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(kvtest::JsonInt(a[0], "seq"), kvtest::JsonInt(b[0], "seq"));
    EXPECT_EQ(kvtest::PeerHost(a[0]), "198.51.100.2");
    EXPECT_EQ(kvtest::PeerHost(b[0]), "203.0.113.2");
}

namespace {
std::mutex gThreadsMu;
std::set<std::thread::id> gBlockThreads;
int gBlockCount = 0;
void OnBlockThread(uint32_t, uint32_t)
{
    std::lock_guard<std::mutex> l(gThreadsMu);
    gBlockThreads.insert(std::this_thread::get_id());
    ++gBlockCount;
}
} // namespace

TEST(SearchNetns, RangeTasksAreBoundedAndShareTheBlocks)
{
    KV_IN_PRIVATE_NETNS();
    SearchTimeouts t(20, 5000);
    kv_search_set_max_range_tasks(3);
    kv_search_set_block_observer(OnBlockThread);
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"device-ips=198.51.100.70,198.51.100.127"}));
    SearchResult res;
    KVNetSearchDevPoint2PointParam p{};
    p.callback = SearchResult::Callback;
    p.user = &res;
    strcpy(p.szStartIP, "198.51.100.64");
    strcpy(p.szEndIP, "198.51.100.127"); // 64 addresses: 7 blocks
    KVNetSearchDevPoint2Point(&p);
    ASSERT_TRUE(res.WaitFinal(seconds(20)));
    kv_search_set_block_observer(nullptr);
    kv_search_set_max_range_tasks(0);
    std::lock_guard<std::mutex> l(res.mu);
    EXPECT_EQ(res.records.size(), 2u);
    EXPECT_EQ(gBlockCount, 7);
    EXPECT_LE(gBlockThreads.size(), 3u);
    EXPECT_EQ(sim.Lines().size(), 64u);
}
