// The re-addressing against the UDP device simulator, inside private network namespaces.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "KVNet.h"
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
    kvnetns::Topology topo;
    topo.secondSubnet = true;
    KV_NETNS_OR_REEXEC(topo);
    ReaddressTimeouts t(1500, 1500);
    const std::string base = kvnetns::InnerName();
    kvnetns::UdpSim simA, simB;
    ASSERT_TRUE(simA.Start(KV_SOURCE_DIR, {"--bind-dev", kvnetns::DevIf(base, 0), "--devices", "1"}));
    ASSERT_TRUE(simB.Start(KV_SOURCE_DIR, {"--bind-dev", kvnetns::DevIf(base, 1), "--devices", "1", "--mac-prefix",
                                           "00-4B-56-11"}));
    KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64");
    EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 1);

    struct Want {
        kvnetns::UdpSim* sim;
        const char* src;
    } wants[] = {{&simA, "198.51.100.2"}, {&simB, "203.0.113.2"}};
    for (const Want& w : wants) {
        auto lines = w.sim->Lines("readdress");
        ASSERT_EQ(lines.size(), 2u) << w.src;
        std::set<long long> types;
        std::set<long long> seqs;
        for (const std::string& l : lines) {
            types.insert(kvnetns::JsonInt(l, "type"));
            seqs.insert(kvnetns::JsonInt(l, "seq"));
            EXPECT_EQ(kvnetns::JsonStr(l, "src"), w.src);
            EXPECT_EQ(kvnetns::JsonStr(l, "dst"), "255.255.255.255");
            EXPECT_EQ(kvnetns::JsonStr(l, "mac"), kMac0);
            EXPECT_EQ(kvnetns::JsonStr(l, "token"), "12");
            EXPECT_EQ(kvnetns::JsonStr(l, "user"), "admin");
            EXPECT_EQ(kvnetns::JsonStr(l, "cur"), "198.51.100.64");
            EXPECT_EQ(kvnetns::JsonStr(l, "ip"), "198.51.100.77");
            EXPECT_EQ(kvnetns::JsonStr(l, "mask"), "255.255.0.0");
            EXPECT_EQ(kvnetns::JsonStr(l, "gateway"), "198.51.100.250");
            EXPECT_EQ(kvnetns::JsonStr(l, "extra1"), "198.51.100.3");
            EXPECT_EQ(kvnetns::JsonStr(l, "extra2"), "198.51.100.4");
            EXPECT_EQ(kvnetns::JsonStr(l, "carry"), "c001020304050607");
            EXPECT_EQ(kvnetns::JsonInt(l, "web_port"), 8080);
            EXPECT_EQ(kvnetns::JsonInt(l, "flag"), 1);
            if (kvnetns::JsonInt(l, "type") == 13) {
                EXPECT_EQ(kvnetns::JsonInt(l, "size"), 744);
                EXPECT_EQ(kvnetns::JsonInt(l, "len"), 16 + 744);
                EXPECT_EQ(kvnetns::JsonInt(l, "media_port"), 0x12345);
                EXPECT_EQ(kvnetns::JsonInt(l, "unicast"), 0);
            } else {
                EXPECT_EQ(kvnetns::JsonInt(l, "size"), 116);
                EXPECT_EQ(kvnetns::JsonInt(l, "len"), 16 + 116);
                EXPECT_EQ(kvnetns::JsonInt(l, "media_port"), 0x2345);
            }
        }
        EXPECT_EQ(types, (std::set<long long>{12, 13})) << w.src;
        EXPECT_EQ(seqs.size(), 2u) << "every sender takes its own Seq";
    }
}

TEST(ReaddressNetns, CredentialLengthsChooseTheForms)
{
    KV_NETNS_OR_REEXEC(kvnetns::Topology{});
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
        ASSERT_TRUE(sim.Start(KV_SOURCE_DIR, {"--devices", "1", "--ack", "0"}));
        KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64", c.user, c.pwd);
        EXPECT_EQ(KVNetSetNewDevInfoEx(&p), 1) << c.user;
        auto lines = sim.Lines("readdress");
        ASSERT_EQ(lines.size(), c.legacy ? 2u : 1u) << c.user << "/" << c.pwd;
        for (const std::string& l : lines) {
            if (kvnetns::JsonInt(l, "type") == 13) {
                EXPECT_EQ(kvnetns::JsonStr(l, "user"), c.user);
                EXPECT_EQ(kvnetns::JsonStr(l, "pwd"), c.pwd);
                continue;
            }
            EXPECT_EQ(kvnetns::JsonStr(l, "user_hex"), c.legacyUserHex) << c.user;
            if (*c.legacyPwdHex) {
                EXPECT_EQ(kvnetns::JsonStr(l, "pwd_hex").substr(0, strlen(c.legacyPwdHex)), c.legacyPwdHex);
            }
        }
    }
}

TEST(ReaddressNetns, AnswersAndTheirResults)
{
    KV_NETNS_OR_REEXEC(kvnetns::Topology{});
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
        {"answer by broadcast", {"--reply", "broadcast"}, false, 1, 600, "255.255.255.255"},
        {"no right (AckFlag 50)", {"--ack", "50"}, false, 0, 600, "255.255.255.255"},
        {"wrong password", {"--password", "secret"}, false, 0, 600, "255.255.255.255"},
        {"token mismatch ignored", {"--bad-token"}, false, 0, 900, "255.255.255.255"},
        {"no answer", {"--no-readdress-reply"}, false, 0, 900, "255.255.255.255"},
        {"junk flood is cut at the cap", {"--no-readdress-reply", "--junk-flood"}, false, 0, 900, "255.255.255.255"},
        {"unicast", {}, true, 1, 900, "198.51.100.64"},
        {"unicast, answer by broadcast", {"--reply", "broadcast"}, true, 1, 900, "198.51.100.64"},
        {"unicast, no answer waits the unicast time-out", {"--no-readdress-reply"}, true, 0, 1200, "198.51.100.64"},
    };
    for (const Case& c : cases) {
        kvnetns::UdpSim sim;
        std::vector<std::string> args = {"--devices", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(sim.Start(KV_SOURCE_DIR, args)) << c.name;
        KVNetSetNewDevInfoExParam p = Request(kMac0, "198.51.100.64");
        p.bUnicast = c.unicast ? 1 : 0;
        const auto t0 = steady_clock::now();
        EXPECT_EQ(KVNetSetNewDevInfoEx(&p), c.result) << c.name;
        const long ms = static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
        EXPECT_LT(ms, c.maxMs + 250) << c.name;
        if (c.result == 0 && !c.args.empty() && c.args[0] != "--ack" && c.args[0] != "--password") {
            EXPECT_GE(ms, c.unicast ? 900 : 600) << c.name << ": waited its time-out";
        }
        auto lines = sim.Lines("readdress");
        ASSERT_EQ(lines.size(), 2u) << c.name;
        for (const std::string& l : lines) {
            EXPECT_EQ(kvnetns::JsonStr(l, "dst"), c.dst) << c.name;
            EXPECT_EQ(kvnetns::JsonStr(l, "src"), "198.51.100.2") << c.name;
        }
    }
}

TEST(ReaddressNetns, ASearchAfterReaddressingShowsTheNewValues)
{
    KV_NETNS_OR_REEXEC(kvnetns::Topology{});
    kv_search_set_timeouts(150, 5000);
    kvnetns::UdpSim sim;
    ASSERT_TRUE(sim.Start(KV_SOURCE_DIR, {"--devices", "3"}));
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
