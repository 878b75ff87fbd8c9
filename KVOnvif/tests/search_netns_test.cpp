// The WS-Discovery search against the Python responder, inside private namespaces.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KVOnvif.h"
#include "onvif_test_util.h"

using kvonviftest::PeerProcess;
using kvonviftest::RunInPrivateNetns;

namespace {

struct Collected {
    std::mutex mu;
    std::vector<SearchDevRsp> recs;
    int ends = 0;
    bool record_after_end = false;
    std::thread::id thread;
    std::chrono::steady_clock::time_point end_at;
};

void OnRecord(const SearchDevRsp* r, void* user) {
    Collected* c = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> lock(c->mu);
    c->thread = std::this_thread::get_id();
    if (!r) {
        ++c->ends;
        c->end_at = std::chrono::steady_clock::now();
        return;
    }
    if (c->ends) c->record_after_end = true;
    c->recs.push_back(*r);
}

// Runs one search to its end (the stop waits for the delivery) and returns the time
// from start until the end marker.
double Search(Collected* c) {
    KVNetSearchDevParam p;
    memset(&p, 0, sizeof p);
    p.callback = OnRecord;
    p.user = c;
    auto t0 = std::chrono::steady_clock::now();
    KVOnvifSearchHandle h = KVOnvifSearchDevStart(&p);
    EXPECT_NE(h, nullptr);
    // Wait for the natural end, then stop.
    for (int i = 0; i < 700; ++i) {
        {
            std::lock_guard<std::mutex> lock(c->mu);
            if (c->ends) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    KVOnvifSearchDevStop(&h);
    EXPECT_EQ(h, nullptr);
    std::lock_guard<std::mutex> lock(c->mu);
    return std::chrono::duration<double, std::milli>(c->end_at - t0).count();
}

std::set<std::string> Macs(const Collected& c) {
    std::set<std::string> s;
    for (auto& r : c.recs) s.insert(r.szMac);
    return s;
}

std::string ExpectedMac(int i) {
    char hex[13];
    snprintf(hex, sizeof hex, "02%010x", 0xA0000000u + (unsigned)i);
    std::string m;
    for (int k = 0; k < 12; k += 2) {
        if (k) m += '-';
        m.append(hex + k, 2);
    }
    return m;
}

void RunNetns(const std::function<void()>& fn) {
    std::string why;
    if (!RunInPrivateNetns(fn, &why)) GTEST_SKIP() << "no private namespace: " << why;
}

} // namespace

TEST(OnvifSearchNetns, FindsAllResponders) {
    RunNetns([] {
        PeerProcess peer;
        ASSERT_TRUE(peer.Start("wsd_responder.py", {"--count", "5"}));
        Collected c;
        double ms = Search(&c);
        EXPECT_EQ(c.ends, 1);
        EXPECT_FALSE(c.record_after_end);
        ASSERT_EQ(c.recs.size(), 5u);
        EXPECT_NE(c.thread, std::this_thread::get_id());
        for (int i = 0; i < 5; ++i) {
            const SearchDevRsp& r = c.recs[i];
            char ip[32];
            snprintf(ip, sizeof ip, "203.0.113.%d", i + 1);
            EXPECT_STREQ(r.szIP, ip);
            EXPECT_EQ(r.nWebPort, 8000u + i);
            EXPECT_EQ(r.nMediaPort, 0u);
            EXPECT_EQ(std::string(r.szMac), ExpectedMac(i));
            EXPECT_EQ(std::string(r.szDevType), "VEND" + std::to_string(i));
            EXPECT_EQ(r.nChannelCount, 1u);
        }
        EXPECT_GE(ms, 600.0);
        EXPECT_LT(ms, 2000.0);
        peer.Stop();
        // The Probe passed every check of the responder.
        int probes = 0;
        for (auto& l : peer.Lines()) {
            EXPECT_EQ(l.find("bad_probe"), std::string::npos) << l;
            if (l.find("\"probe\"") != std::string::npos) { ++probes; if (getenv("KVONVIF_DUMP")) printf("%s\n", l.c_str()); }
        }
        EXPECT_EQ(probes, 1);
    });
}
