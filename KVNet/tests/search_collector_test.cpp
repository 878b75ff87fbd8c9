// The shared collector: de-duplication by MAC text, delivery by the last holder.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "search_collect.h"
#include "search.h"
#include "search_collector.h"

namespace {
SearchDevRsp Rec(const char* mac, const char* name)
{
    SearchDevRsp r{};
    memcpy(r.szMac, mac, strnlen(mac, sizeof r.szMac));
    snprintf(r.szDevName, sizeof r.szDevName, "%s", name);
    return r;
}
std::vector<std::string> Names(const std::vector<SearchDevRsp>& v)
{
    std::vector<std::string> n;
    for (const auto& r : v)
        n.emplace_back(r.szDevName);
    return n;
}
} // namespace

TEST(SearchCollector, FirstRecordOfEachMacWinsInListOrder)
{
    std::vector<SearchDevRsp> v = {Rec("aa", "1"), Rec("bb", "2"), Rec("aa", "3"), Rec("", "4"),
                                   Rec("cc", "5"), Rec("", "6"),  Rec("bb", "7")};
    // A MAC that fills its 36 bytes has no terminator; bytes after it must not matter.
    SearchDevRsp full1 = Rec("", "8"), full2 = Rec("", "9");
    memset(full1.szMac, 'F', 36);
    memset(full2.szMac, 'F', 36);
    full2.nChannelCount = 99;
    v.push_back(full1);
    v.push_back(full2);
    kv_search_dedup(v);
    EXPECT_EQ(Names(v), (std::vector<std::string>{"1", "2", "4", "5", "8"}));
}

TEST(SearchCollector, LastHolderDeliversOnceOnItsThread)
{
    SearchResult res;
    auto* c = new SearchCollector(SearchResult::Callback, &res, 0);
    SearchHolder h(c);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([copy = SearchHolder(h), i]() mutable {
            std::vector<SearchDevRsp> mine = {Rec(i % 2 ? "odd" : "even", "x"), Rec(std::to_string(i).c_str(), "y")};
            copy.get()->Append(mine);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(res.finals, 0) << "the call's own reference still holds";
    h.Release();
    EXPECT_EQ(res.finals, 1);
    EXPECT_EQ(res.thread, std::this_thread::get_id());
    EXPECT_EQ(res.records.size(), 10u); // odd, even and eight numbers
    EXPECT_EQ(res.callsAfterFinal, 0);
}

TEST(SearchCollector, NullCallbackDeliversNothing)
{
    SearchHolder h(new SearchCollector(nullptr, nullptr, 0));
    std::vector<SearchDevRsp> v = {Rec("aa", "1")};
    h.get()->Append(v);
    h.Release(); // frees without calling anything
}

TEST(SearchRange, ReversedOrUnreadableRangeDeliversAtOnceOnTheCaller)
{
    // No address is probed, so nothing leaves this process.
    struct Case {
        const char* a;
        const char* c;
    } cases[] = {{"198.51.100.20", "198.51.100.10"}, {"not an address", "198.51.100.10"}, {"198.51.100.1", ""}};
    for (const Case& k : cases) {
        SearchResult res;
        KVNetSearchDevPoint2PointParam p{};
        p.callback = SearchResult::Callback;
        p.user = &res;
        snprintf(p.szStartIP, sizeof p.szStartIP, "%s", k.a);
        snprintf(p.szEndIP, sizeof p.szEndIP, "%s", k.c);
        KVNetSearchDevPoint2Point(&p);
        EXPECT_EQ(res.finals, 1) << k.a << " - " << k.c;
        EXPECT_TRUE(res.records.empty());
        EXPECT_EQ(res.thread, std::this_thread::get_id());
    }
    KVNetSearchDev(nullptr);
    KVNetSearchDevPoint2Point(nullptr);
}

TEST(SearchRange, BlocksOfTenCountedWithSixtyFourBits)
{
    struct Case {
        uint32_t a, c;
        uint64_t total, blocks;
    } cases[] = {
        {100, 124, 25, 3},
        {100, 100, 1, 1},
        {100, 109, 10, 1},
        {100, 110, 11, 2},
        {0, 0xFFFFFFFFu, 0x100000000ull, 429496730ull},
        {0xFFFFFFF0u, 0xFFFFFFFFu, 16, 2},
    };
    for (const Case& k : cases) {
        const KVSearchRange r = kv_search_range(k.a, k.c);
        EXPECT_EQ(r.total, k.total) << k.a << "-" << k.c;
        EXPECT_EQ(r.blocks, k.blocks) << k.a << "-" << k.c;
    }
}
