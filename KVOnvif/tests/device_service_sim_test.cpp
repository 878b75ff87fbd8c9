// The device service calls against the Python peer on 127.0.0.1, which checks every
// digest itself and keeps the device's network state.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "timing.h"
#include "KVOnvif.h"
#include "kvonvif_device.h"
#include "onvif_test_util.h"
#include "scripted_device.h"
#include "sim_log.h"

using kvonviftest::HttpPostJson;
using kvonviftest::PeerProcess;

namespace {

struct Codes {
    std::atomic<int> count{0};
    std::atomic<int> last{-1};
    std::thread::id thread;
};
void OnMsg(unsigned code, void* user) {
    if (!user) return;
    Codes* c = static_cast<Codes*>(user);
    c->thread = std::this_thread::get_id();
    c->last = (int)code;
    ++c->count;
}

using kvtest::JsonStr;

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

KVNet_NetworkBaseSet_t Block(const char* ip, const char* mask, const char* gw, uint32_t port,
                             uint8_t mode) {
    KVNet_NetworkBaseSet_t b;
    memset(&b, 0, sizeof b);
    b.StructSize = sizeof b;
    inet_pton(AF_INET, ip, b.IPAddr);
    inet_pton(AF_INET, mask, b.NetMask);
    inet_pton(AF_INET, gw, b.Gateway);
    b.HttpPort = port;
    b.AddrMode = mode;
    return b;
}

std::string Dotted(const uint8_t a[4]) {
    char t[16];
    snprintf(t, sizeof t, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return t;
}

long RssKb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return 0;
}

class OnvifDeviceService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        peer_ = new PeerProcess;
        std::string ready;
        ASSERT_TRUE(peer_->Start("device_service.py", {"--user", "admin", "--password", "secret"}, &ready));
        port_ = atoi(ready.c_str() + ready.find("port=") + 5);
        ASSERT_GT(port_, 0);
    }
    static void TearDownTestSuite() {
        delete peer_;
        peer_ = nullptr;
    }
    void SetUp() override {
        kvonvif::set_request_timeout_ms(3000);
        SetState("{}");
        h_ = Connect("secret");
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        KVOnvifConnectionStop(&h_);
        kvonvif::set_request_timeout_ms(5000);
    }
    static KVOnvifHandle Connect(const char* pwd, int port = 0, Codes* codes = nullptr) {
        KVNetConnectionParam c;
        memset(&c, 0, sizeof c);
        c.szAddr = "127.0.0.1";
        c.nPort = (uint32_t)(port ? port : port_);
        c.szUser = "admin";
        c.szPwd = pwd;
        c.msgCallback = OnMsg;
        c.pUser = codes;
        return KVOnvifConnectionStart(&c);
    }
    static void SetState(const std::string& json) {
        ASSERT_TRUE(HttpPostJson(port_, "/control/state", json, nullptr));
    }
    static std::string Log() {
        std::string out;
        EXPECT_TRUE(HttpPostJson(port_, "/control/log", "{}", &out));
        return out;
    }
    static std::string Ops() { return JsonStr(Log(), "ops"); }
    int Query(KVNet_NetworkBaseSet_t* b) {
        KVNetQueryParamParamEx q;
        memset(&q, 0, sizeof q);
        q.nParamType = 511;
        q.pStruct = b;
        q.nStructSize = sizeof *b;
        return KVOnvifQueryParamEx(h_, &q);
    }
    int Set(const KVNet_NetworkBaseSet_t* b) {
        KVNetSetParamParam s;
        memset(&s, 0, sizeof s);
        s.nParamType = 511;
        s.pStruct = b;
        return KVOnvifSetParam(h_, &s);
    }

    static PeerProcess* peer_;
    static int port_;
    KVOnvifHandle h_ = nullptr;
};
PeerProcess* OnvifDeviceService::peer_ = nullptr;
int OnvifDeviceService::port_ = 0;

const char kStatic24[] =
    R"({"interfaces": [{"token": "eth0", "enabled": true, "mtu": 1400, "hw": "x",
        "ipv4": {"enabled": true, "dhcp": false, "manual": [["198.51.100.20", 24]], "fromdhcp": null}}]})";

} // namespace

TEST_F(OnvifDeviceService, ConnectionStartChecksArguments) {
    KVNetConnectionParam c;
    memset(&c, 0, sizeof c);
    c.szAddr = "127.0.0.1";
    c.nPort = 80;
    c.szUser = "admin";
    c.msgCallback = OnMsg;
    struct Case { const char* what; void (*edit)(KVNetConnectionParam&); bool ok; } cases[] = {
        {"port 0", [](KVNetConnectionParam& p) { p.nPort = 0; }, false},
        {"null address", [](KVNetConnectionParam& p) { p.szAddr = nullptr; }, false},
        {"null user", [](KVNetConnectionParam& p) { p.szUser = nullptr; }, false},
        {"null callback", [](KVNetConnectionParam& p) { p.msgCallback = nullptr; }, false},
        {"null password", [](KVNetConnectionParam& p) { p.szPwd = nullptr; }, true},
    };
    for (auto& cs : cases) {
        KVNetConnectionParam p = c;
        cs.edit(p);
        Codes codes;
        p.pUser = &codes;
        KVOnvifHandle h = KVOnvifConnectionStart(&p);
        EXPECT_EQ(h != nullptr, cs.ok) << cs.what;
        KVOnvifConnectionStop(&h);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(codes.count, cs.ok ? 1 : 0) << cs.what;
        if (cs.ok) {
            EXPECT_EQ(codes.last, 101);
            EXPECT_NE(codes.thread, std::this_thread::get_id());
        }
    }
    KVOnvifConnectionStop(nullptr);
    KVOnvifHandle null_handle = nullptr;
    KVOnvifConnectionStop(&null_handle);
    EXPECT_EQ(Ops(), "");
}

TEST_F(OnvifDeviceService, NoDeviceStillReports101ThenQueryFails) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, (sockaddr*)&a, sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, (sockaddr*)&a, &len);
    close(s);  // nothing listens there now
    Codes codes;
    KVOnvifHandle h = Connect("secret", ntohs(a.sin_port), &codes);
    ASSERT_NE(h, nullptr);
    KVOnvifConnectionStop(&h);
    EXPECT_EQ(codes.count, 1);
    EXPECT_EQ(codes.last, 101);
    h = Connect("secret", ntohs(a.sin_port));
    KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
    KVNetQueryParamParamEx q{};
    q.nParamType = 511;
    q.pStruct = &b;
    q.nStructSize = sizeof b;
    EXPECT_EQ(KVOnvifQueryParamEx(h, &q), 0);
    KVOnvifConnectionStop(&h);
}

TEST_F(OnvifDeviceService, RefusedWithoutRequest) {
    KVNet_NetworkBaseSet_t b = Block("198.51.100.30", "255.255.255.0", "198.51.100.1", 81, 2);
    KVNetQueryParamParamEx q{};
    q.nParamType = 512;
    q.pStruct = &b;
    q.nStructSize = sizeof b;
    EXPECT_EQ(KVOnvifQueryParamEx(h_, &q), 0);
    KVNetSetParamParam s{};
    s.nParamType = 510;
    s.pStruct = &b;
    EXPECT_EQ(KVOnvifSetParam(h_, &s), 0);
    // Buffers too small for the block, or a block that states too small a size.
    q.nParamType = 511;
    q.nStructSize = 268;
    EXPECT_EQ(KVOnvifQueryParamEx(h_, &q), 0);
    q.pStruct = nullptr;
    q.nStructSize = sizeof b;
    EXPECT_EQ(KVOnvifQueryParamEx(h_, &q), 0);
    KVNet_NetworkBaseSet_t small = b;
    small.StructSize = 24;
    s.nParamType = 511;
    s.pStruct = &small;
    EXPECT_EQ(KVOnvifSetParam(h_, &s), 0);
    EXPECT_EQ(KVOnvifQueryParamEx(nullptr, &q), 0);
    EXPECT_EQ(KVOnvifQueryParamEx(h_, nullptr), 0);
    EXPECT_EQ(KVOnvifSetParam(nullptr, &s), 0);
    EXPECT_EQ(KVOnvifSetParam(h_, nullptr), 0);
    // A null structure changes nothing and succeeds.
    s.pStruct = nullptr;
    EXPECT_EQ(KVOnvifSetParam(h_, &s), 1);
    EXPECT_EQ(Ops(), "");
}

TEST_F(OnvifDeviceService, QueryFillsBlockAndSecurityHeaderIsComplete) {
    SetState(kStatic24);
    KVNet_NetworkBaseSet_t b;
    memset(&b, 0xEE, sizeof b);  // bytes the query does not own keep their value
    b.StructSize = sizeof b;
    ASSERT_EQ(Query(&b), 1);
    EXPECT_EQ(Dotted(b.IPAddr), "198.51.100.20");
    EXPECT_EQ(Dotted(b.NetMask), "255.255.255.0");
    EXPECT_EQ(Dotted(b.Gateway), "198.51.100.1");
    EXPECT_EQ(b.HttpPort, 80u);
    EXPECT_EQ(b.AddrMode, 2);
    EXPECT_EQ(b.DhcpFlag, 0);
    EXPECT_EQ(b.reserved0[0], 0xEE);
    EXPECT_EQ(b.reserved1[0], 0xEE);
    EXPECT_EQ(b.reserved2[0], 0xEE);
    std::string log = Log();
    EXPECT_EQ(JsonStr(log, "ops"), "GetNetworkInterfaces,GetNetworkProtocols,GetNetworkDefaultGateway");
    EXPECT_EQ(Count(log, "\"auth\": \"ok\""), 3u);
    // Message ID, token ID and nonce ID are one text; mustUnderstand; digest type; no
    // EncodingType; only MessageID and Security in the header.
    size_t p = log.find("\"requests\"");
    for (int i = 0; i < 3; ++i) {
        p = log.find("\"msgid\": \"", p + 1);
        ASSERT_NE(p, std::string::npos);
        std::string rest = log.substr(p);
        std::string id = JsonStr(rest, "msgid");
        EXPECT_EQ(id.rfind("urn:uuid:", 0), 0u);
        EXPECT_EQ(JsonStr(rest, "token_id"), id);
        EXPECT_EQ(JsonStr(rest, "nonce_id"), id);
        EXPECT_EQ(JsonStr(rest, "must_understand"), "true");
        std::string nonce = JsonStr(rest, "nonce");
        EXPECT_EQ(nonce.size(), 20u);
        EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;
    }
    EXPECT_EQ(Count(log, "\"nonce_encoding\": null"), 3u);
    EXPECT_EQ(Count(log, "PasswordDigest"), 3u);
    EXPECT_EQ(Count(log, "\"header_children\": [\"{http://schemas.xmlsoap.org/ws/2004/08/addressing}MessageID\", "
                         "\"{http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd}Security\"]"),
              3u);
    EXPECT_EQ(Count(log, "application/soap+xml"), 3u);
}

TEST_F(OnvifDeviceService, QueryTable) {
    struct Case {
        const char* what;
        const char* state;
        int result;
        const char* ip;
        const char* mask;
        uint8_t mode, dhcp;
        uint32_t port;
    } cases[] = {
        {"prefix 20", R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": false, "manual": [["198.51.100.7", 20]]}}]})",
         1, "198.51.100.7", "255.255.240.0", 2, 0, 80},
        {"prefix 40 is out of range", R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": false, "manual": [["198.51.100.7", 40]]}}]})",
         1, "198.51.100.7", "255.255.0.0", 2, 0, 80},
        {"dhcp", R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": true, "manual": [], "fromdhcp": ["203.0.113.9", 16]}}]})",
         1, "203.0.113.9", "255.255.0.0", 0, 1, 80},
        {"first enabled interface with IPv4 wins",
         R"({"interfaces": [{"token": "a", "enabled": false, "ipv4": {"dhcp": false, "manual": [["198.51.100.1", 8]]}},
                            {"token": "b", "enabled": true},
                            {"token": "c", "enabled": true, "ipv4": {"enabled": false, "dhcp": false, "manual": [["198.51.100.3", 30]]}}]})",
         1, "198.51.100.3", "255.255.255.252", 2, 0, 80},
        {"HTTP twice: the last wins, vendor protocol names are fine",
         R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [80]}, {"name": "VENDOR-X", "enabled": true, "ports": [1]},
                           {"name": "HTTPS", "enabled": true, "ports": [443]}, {"name": "HTTP", "enabled": false, "ports": [8080, 9]}]})",
         1, "198.51.100.20", "255.255.255.0", 2, 0, 8080},
        {"dhcp without an address fails", R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": true, "manual": []}}]})",
         0, nullptr, nullptr, 0, 0, 0},
        {"no enabled interface fails", R"({"interfaces": [{"token": "e", "enabled": false, "ipv4": {"dhcp": false, "manual": [["198.51.100.7", 24]]}}]})",
         0, nullptr, nullptr, 0, 0, 0},
        {"address that is no IPv4 text fails", R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": false, "manual": [["fe80::1", 64]]}}]})",
         0, nullptr, nullptr, 0, 0, 0},
        {"fault on the second step", R"({"faults": {"GetNetworkProtocols": "fault"}})", 0, nullptr, nullptr, 0, 0, 0},
        {"fault on the third step", R"({"faults": {"GetNetworkDefaultGateway": "fault"}})", 0, nullptr, nullptr, 0, 0, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetState(c.state);
        KVNet_NetworkBaseSet_t b;
        memset(&b, 0, sizeof b);
        b.StructSize = sizeof b;
        ASSERT_EQ(Query(&b), c.result);
        if (!c.result) continue;
        EXPECT_EQ(Dotted(b.IPAddr), c.ip);
        EXPECT_EQ(Dotted(b.NetMask), c.mask);
        EXPECT_EQ(b.AddrMode, c.mode);
        EXPECT_EQ(b.DhcpFlag, c.dhcp);
        EXPECT_EQ(b.HttpPort, c.port);
    }
}

TEST_F(OnvifDeviceService, ChangeTable) {
    struct Case {
        const char* what;
        const char* state;
        KVNet_NetworkBaseSet_t block;
        int result;
        const char* ops;
        std::vector<std::string> in_log;   // texts the peer's log must contain
    } cases[] = {
        {"nothing given: only the interface query", kStatic24,
         Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 2), 1, "GetNetworkInterfaces", {}},
        {"all equal: three queries", kStatic24,
         Block("198.51.100.20", "255.255.255.0", "198.51.100.1", 80, 2), 1,
         "GetNetworkDefaultGateway,GetNetworkProtocols,GetNetworkInterfaces", {}},
        {"new netmask .128 is sent as prefix 25", kStatic24,
         Block("198.51.100.20", "255.255.255.128", "0.0.0.0", 0, 2), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces",
         {R"("manual": [["198.51.100.20", 25]])", R"("mtu": "1400")", R"("dhcp": "false")", R"("token": "eth0")",
          R"("children": ["Enabled", "MTU", "IPv4"])"}},
        {"static /24 to a new address without netmask keeps 24", kStatic24,
         Block("198.51.100.30", "0.0.0.0", "0.0.0.0", 0, 2), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces", {R"("manual": [["198.51.100.30", 24]])"}},
        {"new netmask without address keeps the device's address", kStatic24,
         Block("0.0.0.0", "255.255.0.0", "0.0.0.0", 0, 2), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces", {R"("manual": [["198.51.100.20", 16]])"}},
        {"dhcp to static without netmask fails without a change",
         R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": true, "manual": [], "fromdhcp": ["203.0.113.9", 16]}}]})",
         Block("198.51.100.30", "0.0.0.0", "0.0.0.0", 0, 2), 0, "GetNetworkInterfaces", {}},
        {"static to dhcp", kStatic24, Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces", {R"("dhcp": "true", "manual": [])"}},
        {"no MTU reported: 1500",
         R"({"interfaces": [{"token": "e", "enabled": true, "ipv4": {"dhcp": false, "manual": [["198.51.100.7", 24]]}}]})",
         Block("198.51.100.8", "0.0.0.0", "0.0.0.0", 0, 2), 1, "GetNetworkInterfaces,SetNetworkInterfaces",
         {R"("mtu": "1500")"}},
        {"gateway: first entry replaced, the others and IPv6 kept",
         R"({"gateway": {"ipv4": ["198.51.100.1", "198.51.100.2"], "ipv6": ["2001:db8::1"]}})",
         Block("0.0.0.0", "0.0.0.0", "198.51.100.254", 0, 2), 1,
         "GetNetworkDefaultGateway,SetNetworkDefaultGateway,GetNetworkInterfaces",
         {R"("set": {"ipv4": ["198.51.100.254", "198.51.100.2"], "ipv6": ["2001:db8::1"]})"}},
        {"gateway without any IPv4 entry fails", R"({"gateway": {"ipv4": [], "ipv6": []}})",
         Block("0.0.0.0", "0.0.0.0", "198.51.100.254", 0, 2), 0, "GetNetworkDefaultGateway", {}},
        {"port: the first HTTP entry is rewritten, the list goes back whole",
         R"({"protocols": [{"name": "RTSP", "enabled": true, "ports": [554]}, {"name": "HTTP", "enabled": true, "ports": [80, 81]},
                           {"name": "HTTP", "enabled": false, "ports": [8080]}]})",
         Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 9000, 2), 1,
         "GetNetworkProtocols,SetNetworkProtocols,GetNetworkInterfaces",
         {R"("set": [{"name": "RTSP", "enabled": true, "ports": [554]}, {"name": "HTTP", "enabled": true, "ports": [9000, 81]}, {"name": "HTTP", "enabled": false, "ports": [8080]}])"}},
        {"port without an HTTP entry fails", R"({"protocols": [{"name": "RTSP", "enabled": true, "ports": [554]}]})",
         Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 9000, 2), 0, "GetNetworkProtocols", {}},
        {"reboot when the device asks for it", R"({"reboot_needed": true})",
         Block("198.51.100.40", "0.0.0.0", "0.0.0.0", 0, 2), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces,SystemReboot", {}},
        {"a fault at the port step leaves the gateway changed", R"({"faults": {"SetNetworkProtocols": "fault"}})",
         Block("198.51.100.40", "0.0.0.0", "198.51.100.254", 9000, 2), 0,
         "GetNetworkDefaultGateway,SetNetworkDefaultGateway,GetNetworkProtocols,SetNetworkProtocols",
         {R"("gateway": {"ipv4": ["198.51.100.254"])"}},
        {"a fault at the address step leaves gateway and port changed", R"({"faults": {"SetNetworkInterfaces": "fault"}})",
         Block("198.51.100.40", "0.0.0.0", "198.51.100.254", 9000, 2), 0,
         "GetNetworkDefaultGateway,SetNetworkDefaultGateway,GetNetworkProtocols,SetNetworkProtocols,"
         "GetNetworkInterfaces,SetNetworkInterfaces",
         {R"("gateway": {"ipv4": ["198.51.100.254"])", R"("ports": [9000])"}},
        {"a failed reboot does not fail the change", R"({"reboot_needed": true, "faults": {"SystemReboot": "fault"}})",
         Block("198.51.100.40", "0.0.0.0", "0.0.0.0", 0, 2), 1,
         "GetNetworkInterfaces,SetNetworkInterfaces,SystemReboot", {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetState(c.state);
        EXPECT_EQ(Set(&c.block), c.result);
        std::string log = Log();
        EXPECT_EQ(JsonStr(log, "ops"), c.ops);
        EXPECT_EQ(Count(log, "\"auth\": \"ok\""), Count(log, "\"op\": "));
        for (auto& t : c.in_log) EXPECT_NE(log.find(t), std::string::npos) << t << "\n" << log;
    }
}

TEST_F(OnvifDeviceService, WrongPasswordGivesZero) {
    KVOnvifHandle bad = Connect("not-the-password");
    KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
    KVNetQueryParamParamEx q{};
    q.nParamType = 511;
    q.pStruct = &b;
    q.nStructSize = sizeof b;
    EXPECT_EQ(KVOnvifQueryParamEx(bad, &q), 0);
    KVNet_NetworkBaseSet_t n = Block("198.51.100.40", "0.0.0.0", "198.51.100.9", 0, 2);
    KVNetSetParamParam s{};
    s.nParamType = 511;
    s.pStruct = &n;
    EXPECT_EQ(KVOnvifSetParam(bad, &s), 0);
    KVOnvifConnectionStop(&bad);
    std::string log = Log();
    EXPECT_EQ(JsonStr(log, "ops"), "GetNetworkInterfaces,GetNetworkDefaultGateway");
    EXPECT_EQ(Count(log, "\"auth\": \"wrong digest\""), 2u);
}

TEST_F(OnvifDeviceService, BrokenRepliesGiveZeroWithBoundedMemory) {
    kvonvif::set_request_timeout_ms(400);
    const char* modes[] = {"malformed", "truncated", "huge", "http500", "wrongbody", "hang"};
    long rss0 = RssKb();
    for (const char* m : modes) {
        SCOPED_TRACE(m);
        SetState(std::string(R"({"faults": {"GetNetworkInterfaces": ")") + m + "\"}}");
        KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Query(&b), 0);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(ms, 3000.0 + kvtest::kLoadSlackMs);
        SetState(std::string(R"({"faults": {"GetNetworkProtocols": ")") + m + "\"}}");
        KVNet_NetworkBaseSet_t n = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 9000, 2);
        EXPECT_EQ(Set(&n), 0);
    }
    // A 10 MB reply is cut at the client's limit, not held.
    EXPECT_LT(RssKb() - rss0, 8 * 1024);
}

TEST_F(OnvifDeviceService, SlowServerThatNeverAnswersGivesZeroAfterFiveSeconds) {
    kvonvif::set_request_timeout_ms(5000);
    SetState(R"({"faults": {"GetNetworkInterfaces": "hang"}})");
    KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Query(&b), 0);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 4.5);
    EXPECT_LT(s, 7.0);
}

TEST_F(OnvifDeviceService, ThousandQueriesAndConcurrentCallers) {
    SetState(kStatic24);
    for (int i = 0; i < 1000; ++i) {
        KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
        ASSERT_EQ(Query(&b), 1) << i;
    }
    // Several threads at once: every nonce is fresh, so the peer accepts all.
    std::vector<std::thread> ts;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0);
                if (Query(&b) == 1) ++ok;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(ok, 160);
}

// A reply that declares a body above the message limit is refused from its header, for
// error replies too (their body is read whole at the declared length).
TEST_F(OnvifDeviceService, DeclaredBodyAboveTheLimitIsRefused) {
    KVOnvifConnectionStop(&h_);
    kvtest::ScriptedDevice dev;
    ASSERT_TRUE(dev.ok());
    struct Case { const char* what; const char* head; } cases[] = {
        {"error reply, 41 GiB", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 44444444486\r\n\r\n"},
        {"error reply, 2 MiB", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2097152\r\n\r\n"},
        {"good reply, 2 MiB", "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: 2097152\r\n\r\n"},
        {"length beyond 64 bits", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 99999999999999999999999\r\n\r\n"},
        {"key written loosely", "HTTP/1.1 401 Unauthorized\r\nContent/Length: 44444444486\r\n\r\n"},
    };
    for (const Case& c : cases) {
        dev.Start({{std::string(c.head) + "<x/>"}});
        h_ = Connect("pw", dev.port());
        ASSERT_NE(h_, nullptr) << c.what;
        KVNet_NetworkBaseSet_t b;
        memset(&b, 0, sizeof b);
        b.StructSize = sizeof b;
        EXPECT_EQ(Query(&b), 0) << c.what;
        KVOnvifConnectionStop(&h_);
        dev.Stop();
    }
}

// A hostile service: every request returns within its whole-request limit (twice the
// request time-out) plus one second whatever the service does, and values the block
// cannot hold fail the query instead of being stored as nonsense.
TEST_F(OnvifDeviceService, HostileServiceTable) {
    const int T = 1000;
    kvonvif::set_request_timeout_ms(T);
    const long limit = 2 * T + 1000;
    struct Row {
        const char* name;
        const char* state;
        bool query;   // else a change of the web port (which queries the protocols first)
        int result;
        long minMs;
    };
    const Row rows[] = {
        {"interfaces reply dripping one byte per 100 ms", R"({"faults": {"GetNetworkInterfaces": "drip"}})",
         true, 0, 2 * T - kvtest::kClockSlackMs},
        {"protocols reply dripping under a change", R"({"faults": {"GetNetworkProtocols": "drip"}})",
         false, 0, 2 * T - kvtest::kClockSlackMs},
        {"60,000 attributes on one element", R"({"faults": {"GetNetworkProtocols": "attrs"}})", true, 0, 0},
        {"HTTP port -1", R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [-1]}]})", true, 0, 0},
        {"HTTP port 0", R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [0]}]})", true, 0, 0},
        {"HTTP port 65536", R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [65536]}]})", true, 0, 0},
        {"last HTTP entry nonsense after a good one",
         R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [80]}, {"name": "HTTP", "enabled": true, "ports": [-1]}]})",
         true, 0, 0},
        {"gateway that is no address", R"({"gateway": {"ipv4": ["not-an-address"], "ipv6": []}})", true, 0, 0},
        {"gateway out of range", R"({"gateway": {"ipv4": ["198.51.100.300"], "ipv6": []}})", true, 0, 0},
        // Honest neighbours.
        {"HTTP port 65535", R"({"protocols": [{"name": "HTTP", "enabled": true, "ports": [65535]}]})", true, 1, 0},
        {"no gateway at all", R"({"gateway": null})", true, 1, 0},
        {"honest service, change of the port", "{}", false, 1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SetState(r.state);
        KVNet_NetworkBaseSet_t b = Block("0.0.0.0", "0.0.0.0", "0.0.0.0", r.query ? 0 : 8080, 0);
        if (!r.query) {
            // The current address and mode of the default state: only the port changes.
            b = Block("198.51.100.20", "255.255.255.0", "0.0.0.0", 8080, 2);
        }
        const auto t0 = std::chrono::steady_clock::now();
        const int got = r.query ? Query(&b) : Set(&b);
        const long held = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(got, r.result);
        EXPECT_GE(held, r.minMs);
        EXPECT_LE(held, limit);
        if (r.query && r.result == 0) {
            EXPECT_NE(b.HttpPort, 4294967295u);
        }
    }
}

// Long request time-outs: the whole-request limit (twice the time-out) and the socket
// waits in microseconds must not wrap a 32-bit int into a past deadline or a nonsense
// wait. An honest service still answers every one of these.
TEST_F(OnvifDeviceService, LongRequestTimeoutsStillAnswer) {
    const int timeouts[] = {2147483, 2147484, 5000000, 1073741824, 2147483647};
    for (int t : timeouts) {
        SCOPED_TRACE(t);
        kvonvif::set_request_timeout_ms(t);
        SetState(kStatic24);
        KVNet_NetworkBaseSet_t b;
        memset(&b, 0, sizeof b);
        b.StructSize = sizeof b;
        EXPECT_EQ(Query(&b), 1);
        EXPECT_EQ(Dotted(b.IPAddr), "198.51.100.20");
    }
}
