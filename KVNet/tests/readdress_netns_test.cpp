// The re-addressing against the UDP device simulator, inside private network namespaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "test_kit.h"
#include "KVNet.h"
#include "local_addrs.h"
#include "readdress.h"
#include "search.h"
#include "search_collect.h"
#include "search_netns.h"

using namespace std::chrono;

namespace {

struct ReaddressTimeouts {
    ReaddressTimeouts(int b, int u) { kv_readdress_set_timeouts(b, u); }
    ~ReaddressTimeouts() { kv_readdress_set_timeouts(0, 0); }
};

void Quad(uint8_t out[4], const char* text)
{
    inet_pton(AF_INET, text, out);
}

// The request the tool builds from a search record.
KVNetSetNewDevInfoExParam Request(const char* mac, const char* cur, const char* user = "admin", const char* pwd = "")
{
    KVNetSetNewDevInfoExParam p{};
    strcpy(p.szToken, "12");
    snprintf(p.szUser, sizeof p.szUser, "%s", user);
    snprintf(p.szPwd, sizeof p.szPwd, "%s", pwd);
    Quad(p.CurIP, cur);
    Quad(p.NewIP, "198.51.100.77");
    Quad(p.NewMask, "255.255.0.0");
    Quad(p.NewGateway, "198.51.100.250");
    Quad(p.ExtraAddr1, "198.51.100.3");
    Quad(p.ExtraAddr2, "198.51.100.4");
    strcpy(p.szMac, mac);
    memcpy(p.carry, "\xC0\x01\x02\x03\x04\x05\x06\x07", 8);
    p.nMediaPort = 0x12345; // the legacy form carries the low 16 bits
    p.nWebPort = 8080;
    p.nNetMode = 0;
    p.nFlag = 1;
    return p;
}

const char* kMac0 = "00-4B-56-00-00-00";

} // namespace

TEST(ReaddressNetns, BothFormsGoOutFromEveryLocalAddress)
{
    KV_IN_PRIVATE_NETNS(true, true);
    ReaddressTimeouts t(1500, 1500);
    kvnetns::UdpSim simA, simB;
    ASSERT_TRUE(simA.Start({"devices=1"}));
    ASSERT_TRUE(simB.Start({"devices=1", "mac-prefix=00-4B-56-11"}, "dev2"));
    const KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64");
    EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 1); // the device behind the first subnet answers

    // The legacy body, field by field from the full request.
    std::vector<uint8_t> legacy(116, 0);
    memcpy(&legacy[0], "12", 2);
    memcpy(&legacy[16], "admin", 5);
    const uint8_t addrs[24] = {198, 51, 100, 64, 198, 51, 100, 77, 255, 255, 0, 0,
                               198, 51, 100, 250, 198, 51, 100, 3, 198, 51, 100, 4};
    memcpy(&legacy[40], addrs, 24);
    legacy[64] = 0x45; // media port 0x12345, low 16 bits
    legacy[65] = 0x23;
    legacy[66] = 8080 & 0xFF;
    legacy[67] = 8080 >> 8;
    legacy[68] = 0; // mode
    legacy[69] = 1; // flag
    legacy[70] = 0;
    memcpy(&legacy[72], "\xC0\x01\x02\x03\x04\x05\x06\x07", 8);
    memcpy(&legacy[80], kMac0, strlen(kMac0));

    struct Want {
        kvnetns::UdpSim* sim;
        const char* src;
    } wants[] = {{&simA, "198.51.100.2"}, {&simB, "203.0.113.2"}};
    for (const Want& w : wants) {
        auto lines = w.sim->Lines({12, 13});
        ASSERT_EQ(lines.size(), 2u) << w.src;
        std::set<long long> types, seqs;
        for (const std::string& l : lines) {
            types.insert(kvtest::JsonInt(l, "type"));
            seqs.insert(kvtest::JsonInt(l, "seq"));
            EXPECT_EQ(kvtest::PeerHost(l), w.src);
            EXPECT_EQ(kvtest::JsonStr(l, "dst"), "255.255.255.255");
            EXPECT_EQ(kvtest::JsonInt(l, "flags"), 0);
            EXPECT_EQ(kvtest::JsonInt(l, "ack"), 0);
            EXPECT_EQ(kvtest::JsonInt(l, "subtype"), 0);
            const std::vector<uint8_t> body = kvtest::JsonHex(l, "body");
            if (kvtest::JsonInt(l, "type") == 13) {
                EXPECT_EQ(kvtest::JsonInt(l, "size"), 744);
                ASSERT_EQ(body.size(), 744u);
                EXPECT_EQ(memcmp(body.data(), &p, 744), 0) << "the request goes out unchanged";
            } else {
                EXPECT_EQ(kvtest::JsonInt(l, "size"), 116);
                EXPECT_EQ(body, legacy);
            }
        }
        EXPECT_EQ(types, (std::set<long long>{12, 13})) << w.src;
        EXPECT_EQ(seqs.size(), 2u) << "every sender takes its own Seq";
    }
}

TEST(ReaddressNetns, CredentialLengthsChooseTheForms)
{
    KV_IN_PRIVATE_NETNS();
    ReaddressTimeouts t(300, 300);
    struct Case {
        const char* user;
        const char* pwd;
        bool legacy;
        const char* legacyUserHex; // the 10 user bytes of the legacy body
        const char* legacyPwdHex;  // its 14 password bytes
    } cases[] = {
        {"abcde", "0123456789abcdefghij", true, "61626364650000000000", ""},
        {"abcdefghijkl", "0123456789abcdef", false, "", ""},
        {"abcdefghijkl", "01234567", true, "6162636465666768696a", "3031323334353637000000000000"},
        {"abcdefghi", "0123456789abcdef", true, "61626364656667686900", "3031323334353637383961626364"},
        {"abcdefghij", "0123456789abcd", false, "", ""},
        {"abcdefghij", "0123456789abc", true, "6162636465666768696a", "30313233343536373839616263"},
    };
    for (const Case& c : cases) {
        kvnetns::UdpSim sim;
        ASSERT_TRUE(sim.Start({"devices=1", "readdress-ack=0"}));
        KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64", c.user, c.pwd);
        EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 1) << c.user;
        auto lines = sim.Lines({12, 13});
        ASSERT_EQ(lines.size(), c.legacy ? 2u : 1u) << c.user << "/" << c.pwd;
        for (const std::string& l : lines) {
            const std::string body = kvtest::JsonStr(l, "body");
            if (kvtest::JsonInt(l, "type") == 13) {
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(kvtest::JsonHex(l, "body").data()) + 16), c.user);
                continue;
            }
            EXPECT_EQ(body.substr(32, 20), c.legacyUserHex) << c.user;
            if (*c.legacyPwdHex) {
                EXPECT_EQ(body.substr(52, strlen(c.legacyPwdHex)), c.legacyPwdHex) << c.user;
            }
        }
    }
}

TEST(ReaddressNetns, AnswersAndTheirResults)
{
    KV_IN_PRIVATE_NETNS();
    ReaddressTimeouts t(600, 900);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool unicast;
        int result;
        long maxMs;           // the call never outlasts its cap
        const char* dst;      // where the request went
    } cases[] = {
        {"acknowledged", {}, false, 1, 600, "255.255.255.255"},
        {"answer by broadcast", {"readdress-broadcast"}, false, 1, 600, "255.255.255.255"},
        {"no right (AckFlag 50)", {"readdress-ack=50"}, false, 0, 600, "255.255.255.255"},
        {"wrong password", {"device-password=secret"}, false, 0, 600, "255.255.255.255"},
        {"token mismatch ignored", {"readdress-bad-token"}, false, 0, 900, "255.255.255.255"},
        {"no answer", {"readdress-silent"}, false, 0, 900, "255.255.255.255"},
        {"junk flood is cut at the cap", {"readdress-silent", "readdress-junk"}, false, 0, 900, "255.255.255.255"},
        {"unicast", {}, true, 1, 900, "198.51.100.64"},
        {"unicast, answer by broadcast", {"readdress-broadcast"}, true, 1, 900, "198.51.100.64"},
        {"unicast, no answer waits the unicast time-out", {"readdress-silent"}, true, 0, 1200, "198.51.100.64"},
    };
    for (const Case& c : cases) {
        kvnetns::UdpSim sim;
        std::vector<std::string> args = {"devices=1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(sim.Start(args)) << c.name;
        KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64");
        p.bUnicast = c.unicast ? 1 : 0;
        const auto t0 = steady_clock::now();
        EXPECT_EQ(KVNetSetNewDevInfoEx(&p), c.result) << c.name;
        const long ms = static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
        EXPECT_LT(ms, c.maxMs + kvtest::kLoadSlackMs) << c.name;
        if (c.result == 0 && !c.args.empty() && c.args[0].rfind("readdress-ack", 0) != 0 &&
            c.args[0].rfind("device-password", 0) != 0) {
            EXPECT_GE(ms, (c.unicast ? 900 : 600) - kvtest::kClockSlackMs) << c.name << ": waited its time-out";
        }
        auto lines = sim.Lines({12, 13});
        ASSERT_EQ(lines.size(), 2u) << c.name;
        for (const std::string& l : lines) {
            EXPECT_EQ(kvtest::JsonStr(l, "dst"), c.dst) << c.name;
            EXPECT_EQ(kvtest::PeerHost(l), "198.51.100.2") << c.name;
        }
    }
}

TEST(ReaddressNetns, ASearchAfterReaddressingShowsTheNewValues)
{
    KV_IN_PRIVATE_NETNS();
    kv_search_set_timeouts(150, 5000);
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"devices=3"}));
    auto search = [](SearchResult& r) {
        KVNetSearchDevParam sp{SearchResult::Callback, &r, 0};
        KVNetSearchDev(&sp);
        return r.WaitFinal(seconds(10));
    };
    SearchResult before;
    ASSERT_TRUE(search(before));
    ASSERT_EQ(before.records.size(), 3u);
    const SearchDevRsp& dev = before.records[1];

    // Built from the record the way the tool does.
    KVNetSetNewDevInfoExParam p = Request(dev.szMac, dev.szIP);
    memcpy(p.carry, dev.carry, 8);
    p.nMediaPort = 9100;
    p.nWebPort = 8081;
    p.nNetMode = 0;
    EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 1);

    SearchResult after;
    ASSERT_TRUE(search(after));
    kv_search_set_timeouts(0, 0);
    ASSERT_EQ(after.records.size(), 3u);
    const SearchDevRsp* moved = nullptr;
    for (const SearchDevRsp& r : after.records)
        if (!strcmp(r.szMac, dev.szMac))
            moved = &r;
    ASSERT_NE(moved, nullptr);
    EXPECT_STREQ(moved->szIP, "198.51.100.77");
    EXPECT_STREQ(moved->szMask, "255.255.0.0");
    EXPECT_STREQ(moved->szGateway, "198.51.100.250");
    EXPECT_STREQ(moved->szExtraAddr1, "198.51.100.3");
    EXPECT_EQ(moved->nMediaPort, 9100u);
    EXPECT_EQ(moved->nWebPort, 8081u);
    EXPECT_EQ(moved->nNetMode, 0u);
    // The other devices kept theirs.
    EXPECT_STREQ(after.records[0].szIP, before.records[0].szIP);
}

namespace {
std::vector<KVLocalAddr> NoAddresses() { return {}; }
} // namespace

TEST(ReaddressNetns, WithoutLocalAddressesOneSenderPerFormUsesAnyAddress)
{
    KV_IN_PRIVATE_NETNS();
    ReaddressTimeouts t(500, 500);
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start({"devices=1"}));
    kv_set_local_addr_provider(NoAddresses);
    const KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64");
    const int r = KVNetSetNewDevInfoEx(&p);
    kv_set_local_addr_provider(nullptr);
    EXPECT_EQ(r, 1);
    auto lines = sim.Lines({12, 13});
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& l : lines)
        EXPECT_EQ(kvtest::PeerHost(l), "198.51.100.2"); // the routing table chose
}

TEST(LocalAddrsNetns, UpNonLoopbackIpv4InterfacesOnly)
{
    KV_IN_PRIVATE_NETNS(true, true);
    std::vector<KVLocalAddr> got = kv_local_ipv4();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].addr, "198.51.100.2");
    EXPECT_EQ(got[1].addr, "203.0.113.2");
    EXPECT_EQ(got[0].ifindex, if_nametoindex("kv0"));
    EXPECT_EQ(got[1].ifindex, if_nametoindex("kv1"));
    EXPECT_TRUE(got[0].broadcast && got[1].broadcast);
    // An interface that is down no longer counts.
    ASSERT_EQ(kvtest::Sh("ip link set kv1 down"), 0);
    got = kv_local_ipv4();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].addr, "198.51.100.2");
}
