// Tables for the pure parts: answer to record, SHA-1, Base64, netmask, nonce.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "KVOnvif.h"
#include "kvonvif_device.h"
#include "kvonvif_search.h"
#include "kvonvif_util.h"

using namespace kvonvif;

namespace {

struct RecCase {
    const char* what;
    const char* xaddrs;
    const char* epr;
    const char* scopes;
    bool usable;
    const char* ip;
    uint32_t port;
    const char* mac;
    const char* type;
    uint32_t channels;
};

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

} // namespace

TEST(OnvifRecord, AnswerToRecordTable) {
    const std::string long_host(80, 'h');
    const std::string long_xaddr = "http://" + long_host + "/onvif/device_service";
    const std::string long_cut = long_host.substr(0, 51);
    const RecCase cases[] = {
        {"plain address, port 80", "http://192.168.1.10/onvif/device_service", "urn:uuid:1-ec0b7c1a2b3c", nullptr,
         true, "192.168.1.10", 80, "ec-0b-7c-1a-2b-3c", "", 0},
        {"explicit port", "http://192.168.1.10:8080/onvif/device_service", nullptr, nullptr,
         true, "192.168.1.10", 8080, "", "", 0},
        {"port without a following slash", "http://192.168.1.10:8080", nullptr, nullptr, false, "", 0, "", "", 0},
        {"a later address does not matter",
         "http://10.0.0.5/onvif/device_service http://[fe80::1]/onvif/device_service", nullptr, nullptr,
         true, "10.0.0.5", 80, "", "", 0},
        {"https only", "https://10.0.0.5/onvif/device_service https://10.0.0.6:443/x", nullptr, nullptr,
         false, "", 0, "", "", 0},
        {"http after https", "https://10.0.0.5/a http://10.0.0.6:81/b", nullptr, nullptr, true, "10.0.0.6", 81, "", "", 0},
        {"no XAddrs", nullptr, "urn:uuid:1-ec0b7c1a2b3c", "onvif://x/name/A", false, "", 0, "", "", 0},
        {"empty host", "http:///onvif/device_service", nullptr, nullptr, true, "", 80, "", "", 0},
        {"empty port text", "http://10.0.0.5:/x", nullptr, nullptr, false, "", 0, "", "", 0},
        {"port text without digits", "http://10.0.0.5:abc/x", nullptr, nullptr, false, "", 0, "", "", 0},
        {"digits then letters", "http://10.0.0.5:81ab/x", nullptr, nullptr, true, "10.0.0.5", 81, "", "", 0},
        {"port 65535", "http://10.0.0.5:65535/x", nullptr, nullptr, true, "10.0.0.5", 65535, "", "", 0},
        {"port 65536", "http://10.0.0.5:65536/x", nullptr, nullptr, false, "", 0, "", "", 0},
        {"huge port", "http://10.0.0.5:99999999999999999999/x", nullptr, nullptr, false, "", 0, "", "", 0},
        {"port 0", "http://10.0.0.5:0/x", nullptr, nullptr, false, "", 0, "", "", 0},
        {"host only, nothing after", "http://10.0.0.5", nullptr, nullptr, false, "", 0, "", "", 0},
        {"long host is cut to 51", long_xaddr.c_str(), nullptr, nullptr, true, long_cut.c_str(), 80, "", "", 0},
        {"MAC keeps its case", "http://h/", "urn:uuid:abc-EC0B7C1A2B3C", nullptr, true, "h", 80, "EC-0B-7C-1A-2B-3C", "", 0},
        {"MAC from a longer tail takes twelve", "http://h/", "x-0123456789abcdef", nullptr, true, "h", 80, "01-23-45-67-89-ab", "", 0},
        {"short tail gives what it has", "http://h/", "urn:uuid:-abc", nullptr, true, "h", 80, "ab-c", "", 0},
        {"dash at the end", "http://h/", "urn:uuid:abc-", nullptr, true, "h", 80, "", "", 0},
        {"no dash", "http://h/", "urn:uuid:abcdef", nullptr, true, "h", 80, "", "", 0},
        {"vender before name", "http://h/", nullptr, "onvif://www.onvif.org/vender/XYZ onvif://www.onvif.org/name/CAM1",
         true, "h", 80, "", "XYZ", 1},
        {"name only", "http://h/", nullptr, "onvif://www.onvif.org/name/CAM1", true, "h", 80, "", "CAM1", 1},
        {"neither", "http://h/", nullptr, "onvif://www.onvif.org/type/video", true, "h", 80, "", "IPC", 1},
        {"case of the key ignored, value kept", "http://h/", nullptr, "onvif://www.onvif.org/Name/Cam1", true, "h", 80, "", "Cam1", 1},
        {"empty scopes text", "http://h/", nullptr, "", true, "h", 80, "", "IPC", 1},
        {"name at the very end", "http://h/", nullptr, "onvif://x/name", true, "h", 80, "", "", 1},
        {"vender at the very end", "http://h/", nullptr, "onvif://x/vender", true, "h", 80, "", "IPC", 1},
        {"vender with space at start falls back to name", "http://h/", nullptr, "vender/ name/N1", true, "h", 80, "", "N1", 1},
        {"vender value capped at 35", "http://h/", nullptr,
         "vender/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789XYZ", true, "h", 80, "", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345678", 1},
        {"name value capped at 32", "http://h/", nullptr,
         "name/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789XYZ", true, "h", 80, "", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1},
    };
    for (const RecCase& c : cases) {
        SCOPED_TRACE(c.what);
        SearchDevRsp r;
        memset(&r, 0, sizeof r);
        EXPECT_EQ(probe_match_to_record(c.xaddrs, c.epr, c.scopes, &r), c.usable);
        if (!c.usable) continue;
        EXPECT_STREQ(r.szIP, c.ip);
        EXPECT_EQ(r.nWebPort, c.port);
        EXPECT_STREQ(r.szMac, c.mac);
        EXPECT_STREQ(r.szDevType, c.type);
        EXPECT_EQ(r.nChannelCount, c.channels);
        EXPECT_EQ(r.nMediaPort, 0u);
        EXPECT_EQ(r.szDevName[0], 0);
    }
}

TEST(OnvifRecord, ParserTakesFirstMatchAndSkipsGarbage) {
    const char* kHead =
        "<?xml version=\"1.0\"?><e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
        "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><e:Header>"
        "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</a:Action></e:Header>"
        "<e:Body><d:ProbeMatches>";
    auto match = [](int i) {
        return "<d:ProbeMatch><a:EndpointReference><a:Address>urn:uuid:x-00000000000" + std::to_string(i) +
               "</a:Address></a:EndpointReference><d:XAddrs>http://203.0.113." + std::to_string(i) +
               "/onvif/device_service</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion></d:ProbeMatch>";
    };
    std::string three = std::string(kHead) + match(1) + match(2) + match(3) + "</d:ProbeMatches></e:Body></e:Envelope>";
    std::string none = std::string(kHead) + "</d:ProbeMatches></e:Body></e:Envelope>";
    probe_parser p;
    struct { std::string data; probe_parser::result want; const char* ip; } cases[] = {
        {three, probe_parser::usable, "203.0.113.1"},
        {none, probe_parser::unusable, ""},
        {"garbage", probe_parser::unparsable, ""},
        {three.substr(0, three.size() / 2), probe_parser::unparsable, ""},
        {std::string(kHead) + std::string(200, '<'), probe_parser::unparsable, ""},
        {three, probe_parser::usable, "203.0.113.1"},  // the context is clean after failures
    };
    for (auto& c : cases) {
        SearchDevRsp r;
        memset(&r, 0, sizeof r);
        EXPECT_EQ(p.parse(c.data.data(), c.data.size(), &r), c.want);
        EXPECT_STREQ(r.szIP, c.ip);
    }
}

TEST(OnvifCrypto, Sha1MatchesFipsVectorsAndOpenSsl) {
    struct { std::string in; const char* hex; } fips[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (auto& f : fips) {
        uint8_t d[20];
        sha1(f.in.data(), f.in.size(), d);
        EXPECT_EQ(Hex(d, 20), f.hex);
    }
    std::mt19937 rng(12345);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> buf(rng() % 300);
        for (auto& b : buf) b = (uint8_t)rng();
        uint8_t mine[20], ref[20];
        // Fed in uneven pieces to cross block edges.
        sha1_ctx c;
        size_t off = 0;
        while (off < buf.size()) {
            size_t n = std::min<size_t>(rng() % 70 + 1, buf.size() - off);
            c.update(buf.data() + off, n);
            off += n;
        }
        c.final(mine);
        SHA1(buf.data(), buf.size(), ref);
        ASSERT_EQ(Hex(mine, 20), Hex(ref, 20)) << "length " << buf.size();
    }
}

TEST(OnvifCrypto, Base64MatchesOpenSsl) {
    std::mt19937 rng(777);
    for (size_t len = 0; len < 200; ++len) {
        std::vector<uint8_t> buf(len);
        for (auto& b : buf) b = (uint8_t)rng();
        std::vector<unsigned char> ref(len * 2 + 8);
        int n = EVP_EncodeBlock(ref.data(), buf.data(), (int)len);
        EXPECT_EQ(base64_encode(buf.data(), len), std::string((char*)ref.data(), (size_t)n)) << len;
    }
}

TEST(OnvifCrypto, DigestIsSha1OfNonceCreatedPassword) {
    const char nonce[] = "5f3a1b2cca53deadbeef";
    uint8_t d[20], ref[20];
    calc_password_digest(nonce, "2026-01-02T03:04:05Z", "secret", d);
    std::string all = std::string(nonce, 20) + "2026-01-02T03:04:05Z" + "secret";
    SHA1((const unsigned char*)all.data(), all.size(), ref);
    EXPECT_EQ(Hex(d, 20), Hex(ref, 20));
    EXPECT_EQ(base64_encode(d, 20).size(), 28u);
}

TEST(OnvifNet, PrefixAndMaskTable) {
    struct { int prefix; const char* mask; } cases[] = {
        {0, "0.0.0.0"}, {1, "128.0.0.0"}, {8, "255.0.0.0"}, {20, "255.255.240.0"}, {24, "255.255.255.0"},
        {25, "255.255.255.128"}, {31, "255.255.255.254"}, {32, "255.255.255.255"},
        {33, "255.255.0.0"}, {40, "255.255.0.0"}, {-1, "255.255.0.0"},
    };
    for (auto& c : cases) {
        uint8_t m[4];
        netmask_from_prefix(c.prefix, m);
        EXPECT_EQ(dotted(m), c.mask) << c.prefix;
        if (c.prefix >= 0 && c.prefix <= 32) {
            EXPECT_EQ(prefix_from_netmask(m), c.prefix);
        }
    }
    // Ones up to the first zero bit only.
    uint8_t holes[4] = {255, 0, 255, 0};
    EXPECT_EQ(prefix_from_netmask(holes), 8);
}

TEST(OnvifNonce, FormatAndCounterWrap) {
    char n[21];
    format_nonce(n, 0x5f3a1b2cu, 0xCA53, 0xdeadbeefu);
    EXPECT_STREQ(n, "5f3a1b2cca53deadbeef");
    format_nonce(n, 1, 2, 3);
    EXPECT_STREQ(n, "00000001000200000003");
    set_nonce_counter(0xFFFF);
    EXPECT_EQ(take_nonce_counter(), 0xFFFF);
    EXPECT_EQ(take_nonce_counter(), 0);
    EXPECT_EQ(take_nonce_counter(), 1);
    char a[21], b[21];
    kvonvif_params::calc_nonce(a);
    kvonvif_params::calc_nonce(b);
    EXPECT_EQ(strlen(a), 20u);
    EXPECT_EQ(std::string(a).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(std::string(a + 8, 4), "0002");
    EXPECT_EQ(std::string(b + 8, 4), "0003");
}

TEST(OnvifInterface, StubsAndSetters) {
    EXPECT_EQ(KVOnvifInit(), 1);
    EXPECT_EQ(KVOnvifSetSeachTimeout(2, 2, 2), 0);
    EXPECT_EQ(KVOnvifStartPreview(nullptr, nullptr), -1);
    KVOnvifStopPreview(nullptr);
    KVOnvifReconnect(nullptr);
    EXPECT_EQ(KVOnvifGetPresets(nullptr, nullptr, 0), 0);
    EXPECT_EQ(KVOnvifPTZControl(nullptr, 0, 0), 0);
    EXPECT_EQ(KVOnvifQueryParam(nullptr, nullptr), 0);
    EXPECT_EQ(KVOnvifRemoteTest(nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(KVOnvifAsyncCapture(nullptr, nullptr), 0);
    EXPECT_EQ(KVOnvifAlarmSubscribe(nullptr, nullptr), 0);
    EXPECT_EQ(KVOnvifGetLocalTimeZone(nullptr, nullptr), 0);
    EXPECT_EQ(KVOnvifGetDevPages(nullptr, nullptr), 0);
    // A null callback sends nothing and gives no handle; stops of nothing do nothing.
    KVNetSearchDevParam p;
    memset(&p, 0, sizeof p);
    EXPECT_EQ(KVOnvifSearchDevStart(&p), nullptr);
    EXPECT_EQ(KVOnvifSearchDevStart(nullptr), nullptr);
    KVOnvifSearchDevStop(nullptr);
    KVOnvifSearchHandle h = nullptr;
    KVOnvifSearchDevStop(&h);
    KVOnvifRelease();
}
