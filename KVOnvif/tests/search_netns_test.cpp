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

#include "timing.h"
#include "KVOnvif.h"
#include "netns_test.h"
#include "onvif_test_util.h"

using kvonviftest::PeerProcess;

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

// The test runs in the device side of a fresh pair (198.51.100.1 on kv0, where the
// responders join the group), the client and the responders together.
void RunNetns(const std::function<void()>& fn) {
    if (kvtest::NetnsPair()) {
        fn();
        return;
    }
    kvtest::NetnsOptions o;
    o.side = "dev";
    kvtest::RunCurrentTestInNetns(o);
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
        EXPECT_GE(ms, 600.0 - kvtest::kClockSlackMs);
        EXPECT_LT(ms, 2500.0 + kvtest::kLoadSlackMs);
        peer.Stop();
        // The Probe passed every check of the responder.
        int probes = 0;
        for (auto& l : peer.Lines()) {
            EXPECT_EQ(l.find("bad_probe"), std::string::npos) << l;
            if (l.find("\"probe\"") != std::string::npos) ++probes;
        }
        EXPECT_EQ(probes, 1);
    });
}

namespace {

struct Outcome {
    size_t records = 0;
    int ends = 0;
    bool after_end = false;
    double ms = 0;
    std::set<std::string> macs;
    std::vector<SearchDevRsp> recs;
};

Outcome SearchAgainst(const std::vector<std::string>& args) {
    Outcome o;
    PeerProcess peer;
    if (!args.empty()) {
        EXPECT_TRUE(peer.Start("wsd_responder.py", args));
    }
    Collected c;
    o.ms = Search(&c);
    o.records = c.recs.size();
    o.ends = c.ends;
    o.after_end = c.record_after_end;
    o.macs = Macs(c);
    o.recs = c.recs;
    return o;
}

} // namespace

TEST(OnvifSearchNetns, ScenarioTable) {
    struct Case {
        const char* what;
        std::vector<std::string> args;   // empty: no responder
        size_t records;
        double min_ms, max_ms;
    } cases[] = {
        {"no device: end marker after the minimum listen and the silence", {}, 0, 800, 2500},
        {"every device twice: one record each", {"--count", "4", "--scenario", "dup"}, 4, 600, 2500},
        {"answers after 100 ms", {"--count", "3", "--scenario", "delay=100"}, 3, 600, 2500},
        {"answers after 300 ms", {"--count", "3", "--scenario", "delay=300"}, 3, 600, 2500},
        {"answers after 600 ms still count", {"--count", "3", "--scenario", "delay=600"}, 3, 800, 2500},
        {"unparsable datagrams are skipped", {"--count", "6", "--scenario", "garbage=5"}, 6, 600, 2500},
        {"three matches in one message give one record", {"--count", "3", "--scenario", "multi"}, 3, 600, 2500},
        {"https only: nothing usable", {"--count", "3", "--scenario", "https"}, 0, 600, 2500},
        {"no MAC in any answer: only the first", {"--count", "3", "--scenario", "nomac"}, 1, 600, 2500},
        {"no scopes", {"--count", "2", "--scenario", "noscopes"}, 2, 600, 2500},
    };
    RunNetns([&] {
        for (auto& c : cases) {
            SCOPED_TRACE(c.what);
            Outcome o = SearchAgainst(c.args);
            EXPECT_EQ(o.records, c.records);
            EXPECT_EQ(o.ends, 1);
            EXPECT_FALSE(o.after_end);
            EXPECT_GE(o.ms, c.min_ms - kvtest::kClockSlackMs);
            EXPECT_LT(o.ms, c.max_ms + kvtest::kLoadSlackMs);
            EXPECT_EQ(o.macs.size(), o.records);
            if (std::string(c.what).find("multi") != std::string::npos ||
                std::string(c.what).find("three") != std::string::npos) {
                for (int i = 0; i < 3; ++i) EXPECT_EQ(o.macs.count(ExpectedMac(i)), 1u);
            }
            if (std::string(c.what) == "no scopes") {
                for (auto& r : o.recs) {
                    EXPECT_EQ(r.nChannelCount, 0u);
                    EXPECT_STREQ(r.szDevType, "");
                }
            }
        }
    });
}

TEST(OnvifSearchNetns, SlowFloodEndsByFiveSeconds) {
    RunNetns([] {
        Outcome o = SearchAgainst({"--count", "1", "--scenario", "flood=7"});
        EXPECT_EQ(o.ends, 1);
        EXPECT_FALSE(o.after_end);
        EXPECT_GT(o.records, 100u);
        EXPECT_LE(o.records, 2048u);
        EXPECT_GE(o.ms, 4900.0 - kvtest::kClockSlackMs);
        EXPECT_LT(o.ms, 6500.0 + kvtest::kLoadSlackMs);
    });
}

TEST(OnvifSearchNetns, FiftyRespondersAndTwoSearchesAtOnce) {
    RunNetns([] {
        PeerProcess peer;
        ASSERT_TRUE(peer.Start("wsd_responder.py", {"--count", "50"}));
        Collected a, b;
        std::thread ta([&] { Search(&a); });
        std::thread tb([&] { Search(&b); });
        ta.join();
        tb.join();
        for (Collected* c : {&a, &b}) {
            EXPECT_EQ(c->ends, 1);
            EXPECT_FALSE(c->record_after_end);
            EXPECT_EQ(c->recs.size(), 50u);
            std::set<std::string> macs = Macs(*c);
            EXPECT_EQ(macs.size(), 50u);
            for (int i = 0; i < 50; ++i) EXPECT_EQ(macs.count(ExpectedMac(i)), 1u) << i;
        }
    });
}

TEST(OnvifSearchNetns, StopDuringReceiveEndsWithoutLaterCallbacks) {
    RunNetns([] {
        PeerProcess peer;
        ASSERT_TRUE(peer.Start("wsd_responder.py", {"--count", "3", "--scenario", "delay=300"}));
        for (int wait_ms : {0, 50, 400}) {
            SCOPED_TRACE(wait_ms);
            Collected c;
            KVNetSearchDevParam p;
            memset(&p, 0, sizeof p);
            p.callback = OnRecord;
            p.user = &c;
            KVOnvifSearchHandle h = KVOnvifSearchDevStart(&p);
            ASSERT_NE(h, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            auto t0 = std::chrono::steady_clock::now();
            KVOnvifSearchDevStop(&h);
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            EXPECT_EQ(h, nullptr);
            EXPECT_LT(ms, 500.0 + kvtest::kLoadSlackMs);
            int ends;
            size_t recs;
            {
                std::lock_guard<std::mutex> lock(c.mu);
                ends = c.ends;
                recs = c.recs.size();
            }
            EXPECT_EQ(ends, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            std::lock_guard<std::mutex> lock(c.mu);
            EXPECT_EQ(c.ends, 1);
            EXPECT_EQ(c.recs.size(), recs);
            if (wait_ms == 400) {
                EXPECT_EQ(recs, 3u);
            }
        }
    });
}
