// Record queries end to end against the simulator's record store: item sizes the device
// chooses, the bodies as the device decodes them, refusals, the array deliveries and
// late answers of stopped requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "KVNet.h"
#include "dev_requests.h"
#include "record_time.h"
#include "requests_fixture.h"
#include "test_kit.h"

namespace {

using kvrectest::At;
using kvreqtest::Received;
using kvreqtest::Session;
using kvreqtest::U32;
using Bytes = std::vector<uint8_t>;

bool Same(const DateTime& a, const DateTime& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What the callbacks saw; they run on the caller's thread (synchronous) or the session's
// connection task (asynchronous).
struct Got {
    std::mutex mu;
    std::vector<Bytes> items;   // each item as delivered, at its StructSize
    int nulls = 0;
    std::vector<std::string> order;
    Bytes array;
    unsigned count = 0;
    int arrays = 0;
    Bytes noRightBlock;
    unsigned deleteAck = 0;
    int deletes = 0;

    size_t Calls()
    {
        std::lock_guard<std::mutex> l(mu);
        return items.size() + nulls + arrays + deletes;
    }
};

void OnItem(void* item, void* user)
{
    auto* g = static_cast<Got*>(user);
    std::lock_guard<std::mutex> l(g->mu);
    if (!item) {
        ++g->nulls;
        g->order.push_back("null");
        return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(item);
    g->items.emplace_back(p, p + U32(p));
    g->order.push_back("item");
}

void OnArray(void* items, unsigned count, void* user)
{
    auto* g = static_cast<Got*>(user);
    std::lock_guard<std::mutex> l(g->mu);
    ++g->arrays;
    g->count = count;
    if (items && count) {
        const uint8_t* p = static_cast<const uint8_t*>(items);
        g->array.assign(p, p + static_cast<size_t>(count) * U32(p));
    }
    g->order.push_back("array");
}

Got* gDeleteGot = nullptr; // the delete callback has no user pointer

void OnDelete(unsigned ack, const void*)
{
    std::lock_guard<std::mutex> l(gDeleteGot->mu);
    gDeleteGot->deleteAck = ack;
    ++gDeleteGot->deletes;
}

void OnNoRight(void* block, void* user)
{
    auto* g = static_cast<Got*>(user);
    std::lock_guard<std::mutex> l(g->mu);
    const uint8_t* p = static_cast<const uint8_t*>(block);
    g->noRightBlock.assign(p, p + 256);
    g->order.push_back("noright");
}

RecordQueryReq Span(DateTime from, DateTime to)
{
    RecordQueryReq r{};
    r.SelA = 0x11223344;
    r.Start = from;
    r.End = to;
    r.SelB = 7;
    r.ByteD = 3;
    r.ByteE = 9;
    for (int i = 0; i < 72; ++i)
        r.SelF[i] = static_cast<uint8_t>(0x40 + i);
    return r;
}

KVNetQueryRecordParam FileQuery(Got& g, uint32_t sub = KVNET_RECORD_FILES)
{
    KVNetQueryRecordParam p{};
    p.nSubType = sub;
    p.req = Span(At(6, 0, 0), At(18, 0, 0));
    p.fileCallback = OnItem;
    p.second.month = OnItem;
    p.pUser = &g;
    return p;
}

// The record-query events the simulator logged, in order.
std::vector<std::string> Queries(const kvtest::SimProcess& sim, const char* event = "record-query")
{
    std::vector<std::string> out;
    for (const std::string& line : sim.LogLines())
        if (kvtest::ParseSimLogLine(line).event == event)
            out.push_back(line);
    return out;
}

// Item k of the simulator's store with record-count: 10 minutes every 15 from 06:00.
void ExpectStoreItem(const Bytes& it, uint32_t k, uint32_t deviceSize, uint32_t size)
{
    SCOPED_TRACE(k);
    ASSERT_EQ(it.size(), size);
    RecordDetailRsp r{};
    std::memcpy(&r, it.data(), std::min<size_t>(sizeof r, size));
    EXPECT_EQ(r.StructSize, size);
    EXPECT_TRUE(Same(r.Start, At(6, static_cast<int>(15 * k), 0)));
    EXPECT_TRUE(Same(r.End, At(6, static_cast<int>(15 * k + 10), 0)));
    EXPECT_EQ(r.Attributes, deviceSize >= 24 ? 0x200 + k : 0u);
    EXPECT_EQ(r.Size, deviceSize >= 28 ? 2000000 + 1000 * k : 0u);
    for (uint32_t i = 28; i < size; ++i)
        ASSERT_EQ(it[i], i < deviceSize ? static_cast<uint8_t>(0xA0 + i) : 0) << i;
}

TEST(RecordQuery, SyncFileItemsReachTheInterfaceSize)
{
    struct Case {
        uint32_t deviceSize, count;
    } cases[] = {{24, 3}, {20, 2}, {28, 1}, {48, 3}, {60, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deviceSize);
        Session s;
        ASSERT_TRUE(s.Start({"record-count=" + std::to_string(c.count),
                             "record-size=" + std::to_string(c.deviceSize)}));
        Got g;
        KVNetQueryRecordParam p = FileQuery(g);
        ASSERT_EQ(KVNetQueryRecord(s.h, &p), 1);
        ASSERT_EQ(g.items.size(), c.count);
        for (uint32_t k = 0; k < c.count; ++k)
            ExpectStoreItem(g.items[k], k, c.deviceSize, 28);
        EXPECT_EQ(g.nulls, 1);
        EXPECT_EQ(g.order.back(), "null");
    }
}

TEST(RecordQuery, BodiesAsTheDeviceDecodesThem)
{
    Session s;
    ASSERT_TRUE(s.Start({"record-count=0"}));
    Got g;
    KVNetQueryRecordParam p = FileQuery(g);
    p.req.SelC[2] = 5; // the plain query sends the caller's body unchanged
    ASSERT_EQ(KVNetQueryRecord(s.h, &p), 1);
    EXPECT_EQ(g.nulls, 1); // an empty list still ends with one null call
    EXPECT_TRUE(g.items.empty());
    KVNetQueryRecordExParam ex{};
    ex.base = FileQuery(g);
    ex.byteD = 0x77;
    ASSERT_EQ(KVNetQueryRecordEx(s.h, &ex), 1);
    ASSERT_EQ(KVNetNewQueryRecordEx(s.h, &ex), 1);

    KVNetQueryRecordFileByMonthParam m{};
    m.SelA = 1;
    for (int i = 0; i < 7; ++i)
        m.SelC[i] = 100 + i;
    m.SelB = 2;
    m.ByteD = 4;
    m.ByteE = 5;
    m.SelF[71] = 0xEE;
    m.Start = At(0, 0, 0, 1);
    m.End = At(23, 59, 59, 31);
    ASSERT_EQ(KVNetSyncQueryRecordFileByMonth(s.h, &m), 1);
    KVNetQueryRecordFileByDayParam d{};
    d.SelA = 8;
    d.SelB = 9;
    d.ByteD = 10;
    d.ByteE = 11;
    d.SelF[0] = 0xDD;
    d.Start = At(0, 0, 0);
    d.End = At(23, 59, 59);
    for (uint32_t kind : {1u, 2u}) {
        d.nItemKind = kind;
        ASSERT_EQ(KVNetSyncQueryRecordFileByDay(s.h, &d), 1);
    }

    auto q = Queries(s.sim);
    ASSERT_EQ(q.size(), 6u);
    struct Want {
        long long type, subtype, a, b, d, e;
        const char *start, *end, *c;
        std::string f;
    };
    std::string fSpan;
    for (int i = 0; i < 72; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", 0x40 + i);
        fSpan += h;
    }
    const std::string fMonth = std::string(142, '0') + "ee";
    const std::string fDay = "dd" + std::string(142, '0');
    const Want want[] = {
        {111, 101, 0x11223344, 7, 3, 9, "2024-03-10 06:00:00", "2024-03-10 18:00:00", "0,0,5,0,0,0,0", fSpan},
        {111, 101, 0x11223344, 7, 0x77, 9, "2024-03-10 06:00:00", "2024-03-10 18:00:00", "0,0,0,0,0,0,0", fSpan},
        {112, 101, 0x11223344, 7, 0x77, 9, "2024-03-10 06:00:00", "2024-03-10 18:00:00", "0,0,0,0,0,0,0", fSpan},
        {111, 102, 1, 2, 4, 5, "2024-03-01 00:00:00", "2024-03-31 23:59:59", "100,101,102,103,104,105,106", fMonth},
        {111, 101, 8, 9, 10, 11, "2024-03-10 00:00:00", "2024-03-10 23:59:59", "0,0,0,0,0,0,0", fDay},
        {112, 101, 8, 9, 10, 11, "2024-03-10 00:00:00", "2024-03-10 23:59:59", "0,0,0,0,0,0,0", fDay},
    };
    for (size_t i = 0; i < q.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& l = q[i];
        EXPECT_EQ(kvtest::JsonInt(l, "type"), want[i].type);
        EXPECT_EQ(kvtest::JsonInt(l, "subtype"), want[i].subtype);
        EXPECT_EQ(kvtest::JsonInt(l, "size"), 136);
        EXPECT_EQ(kvtest::JsonInt(l, "a"), want[i].a);
        EXPECT_EQ(kvtest::JsonInt(l, "b"), want[i].b);
        EXPECT_EQ(kvtest::JsonInt(l, "d"), want[i].d);
        EXPECT_EQ(kvtest::JsonInt(l, "e"), want[i].e);
        EXPECT_EQ(kvtest::JsonStr(l, "start"), want[i].start);
        EXPECT_EQ(kvtest::JsonStr(l, "end"), want[i].end);
        EXPECT_EQ(kvtest::JsonStr(l, "c"), want[i].c);
        EXPECT_EQ(kvtest::JsonStr(l, "f"), want[i].f);
        EXPECT_TRUE(kvtest::JsonFlag(l, "zeros_ok"));
    }
}

TEST(RecordQuery, SyncNewItemsMonthItemsAndDayKinds)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    // The default store: recordings on March 9 and 10; day 10 holds four from 08:00.
    Got g;
    KVNetQueryRecordExParam ex{};
    ex.base = FileQuery(g);
    ASSERT_EQ(KVNetNewQueryRecordEx(s.h, &ex), 1);
    ASSERT_EQ(g.items.size(), 3u); // 08:00, 09:00, 12:05 overlap 06:00-18:00
    for (const Bytes& it : g.items) {
        ASSERT_EQ(it.size(), 48u);
        for (uint32_t i = 28; i < 48; ++i)
            ASSERT_EQ(it[i], static_cast<uint8_t>(0xA0 + i));
    }
    NewRecordDetailRsp third{};
    std::memcpy(&third, g.items[2].data(), 48);
    EXPECT_TRUE(Same(third.Start, At(12, 5, 7)));
    EXPECT_TRUE(Same(third.End, At(12, 6, 0)));

    Got m;
    KVNetQueryRecordFileByMonthParam mp{};
    mp.Start = At(0, 0, 0, 1);
    mp.End = At(0, 0, 0, 31);
    mp.monthCallback = OnItem;
    mp.pUser = &m;
    ASSERT_EQ(KVNetSyncQueryRecordFileByMonth(s.h, &mp), 1);
    ASSERT_EQ(m.items.size(), 1u);
    ASSERT_EQ(m.items[0].size(), 12u);
    EXPECT_EQ(U32(m.items[0].data() + 8), (1u << 8) | (1u << 9)); // days 9 and 10
    EXPECT_EQ(m.nulls, 1);

    // Day kinds: 1 and 2 deliver one by one; 3 and 4 (arrays) are not synchronous and
    // send nothing.
    KVNetQueryRecordFileByDayParam d{};
    d.Start = At(0, 0, 0);
    d.End = At(23, 59, 59);
    struct Case {
        uint32_t kind;
        int result;
        size_t items, size;
    } cases[] = {{1, 1, 4, 28}, {2, 1, 4, 48}, {3, 0, 0, 0}, {4, 0, 0, 0}, {0, 0, 0, 0}, {5, 0, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Got dg;
        d.nItemKind = c.kind;
        d.callback.item = OnItem;
        d.pUser = &dg;
        const size_t before = Queries(s.sim).size();
        ASSERT_EQ(KVNetSyncQueryRecordFileByDay(s.h, &d), c.result);
        ASSERT_EQ(dg.items.size(), c.items);
        for (const Bytes& it : dg.items)
            EXPECT_EQ(it.size(), c.size);
        EXPECT_EQ(Queries(s.sim).size(), before + (c.result ? 1 : 0));
    }
}

TEST(RecordQuery, NoRightRefusals)
{
    Session s;
    ASSERT_TRUE(s.Start({"record-ack=50"}));
    Got g;
    KVNetQueryRecordParam p = FileQuery(g);
    EXPECT_EQ(KVNetQueryRecord(s.h, &p), 2);
    KVNetQueryRecordExParam ex{};
    ex.base = FileQuery(g);
    ex.noRight = OnNoRight; // the synchronous forms do not call it
    EXPECT_EQ(KVNetQueryRecordEx(s.h, &ex), 2);
    EXPECT_EQ(KVNetNewQueryRecordEx(s.h, &ex), 0);
    KVNetQueryRecordFileByDayParam d{};
    d.nItemKind = 2;
    EXPECT_EQ(KVNetSyncQueryRecordFileByDay(s.h, &d), 2);
    EXPECT_EQ(g.Calls(), 0u);
    EXPECT_TRUE(g.noRightBlock.empty());

    // Asynchronous: the no-right block first, then the (empty) delivery.
    ASSERT_NE(KVNetAsyncQueryRecordEx(s.h, &ex), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return g.Calls() >= 1; }, std::chrono::seconds(10)));
    {
        std::lock_guard<std::mutex> l(g.mu);
        EXPECT_EQ(g.order, (std::vector<std::string>{"noright", "null"}));
        Bytes block(256, 0);
        block[0] = 1;
        EXPECT_EQ(g.noRightBlock, block);
    }
    Got a;
    KVNetQueryRecordFileByDayParam ad{};
    ad.nItemKind = 3;
    ad.callback.array = OnArray;
    ad.pUser = &a;
    ad.noRight = OnNoRight;
    ASSERT_NE(KVNetAsyncQueryRecordFileByDay(s.h, &ad), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return a.Calls() >= 1; }, std::chrono::seconds(10)));
    std::lock_guard<std::mutex> l(a.mu);
    EXPECT_EQ(a.order, (std::vector<std::string>{"noright", "array"}));
    EXPECT_EQ(a.count, 0u);
}

TEST(RecordQuery, AsyncDayKinds)
{
    struct Case {
        uint32_t kind, deviceSize, count;
        unsigned type;
        bool array;
        size_t delivered; // item size handed on one by one
    } cases[] = {
        {3, 28, 2, 111, true, 0},   // 56 bytes: one call, count 2
        {4, 60, 2, 112, true, 0},   // the array keeps the device's stride
        {3, 20, 3, 111, true, 0},
        {1, 24, 3, 111, false, 28},
        {2, 28, 2, 112, false, 48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        SCOPED_TRACE(c.deviceSize);
        Session s;
        ASSERT_TRUE(s.Start({"record-count=" + std::to_string(c.count),
                             "record-size=" + std::to_string(c.deviceSize)}));
        Got g;
        KVNetQueryRecordFileByDayParam d{};
        d.Start = At(6, 0, 0);
        d.End = At(18, 0, 0);
        d.nItemKind = c.kind;
        if (c.array)
            d.callback.array = OnArray;
        else
            d.callback.item = OnItem;
        d.pUser = &g;
        const unsigned seq = KVNetAsyncQueryRecordFileByDay(s.h, &d);
        ASSERT_NE(seq, 0u);
        ASSERT_TRUE(kvtest::WaitFor([&] { return g.Calls() >= (c.array ? 1 : c.count + 1); },
                                    std::chrono::seconds(10)));
        auto q = Queries(s.sim);
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(kvtest::JsonInt(q[0], "type"), static_cast<long long>(c.type));
        EXPECT_EQ(kvtest::JsonInt(q[0], "seq"), static_cast<long long>(seq));
        std::lock_guard<std::mutex> l(g.mu);
        if (c.array) {
            EXPECT_EQ(g.arrays, 1);
            ASSERT_EQ(g.count, c.count);
            ASSERT_EQ(g.array.size(), c.count * c.deviceSize);
            for (uint32_t k = 0; k < c.count; ++k) {
                Bytes it(g.array.begin() + k * c.deviceSize, g.array.begin() + (k + 1) * c.deviceSize);
                ExpectStoreItem(it, k, c.deviceSize, c.deviceSize);
            }
        } else {
            ASSERT_EQ(g.items.size(), c.count);
            for (uint32_t k = 0; k < c.count; ++k)
                ExpectStoreItem(g.items[k], k, c.deviceSize, static_cast<uint32_t>(c.delivered));
            EXPECT_EQ(g.order.back(), "null");
        }
    }
}

TEST(RecordQuery, AsyncMonthAndOtherSubtypes)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    KVNetQueryRecordFileByMonthParam m{};
    m.Start = At(0, 0, 0, 1);
    m.End = At(0, 0, 0, 31);
    Got none;
    m.pUser = &none;
    EXPECT_EQ(KVNetAsyncQueryRecordFileByMonth(s.h, &m), 0u); // no month callback: refused
    EXPECT_TRUE(Queries(s.sim).empty());
    Got one, arr;
    m.monthCallback = OnItem;
    m.pUser = &one;
    ASSERT_NE(KVNetAsyncQueryRecordFileByMonth(s.h, &m), 0u);
    m.monthCallback = nullptr;
    m.monthArray = OnArray;
    m.pUser = &arr;
    ASSERT_NE(KVNetAsyncQueryRecordFileByMonth(s.h, &m), 0u);
    // Subtype 105 goes to the delete callback with the answer's AckFlag.
    Got del;
    gDeleteGot = &del;
    KVNetQueryRecordParam p = FileQuery(del, KVNET_RECORD_DEL_PICTURES);
    p.second.del = OnDelete;
    ASSERT_NE(KVNetAsyncQueryRecord(s.h, &p), 0u);
    // A subtype without a delivery is answered and leaves the table without a call.
    Got other;
    KVNetQueryRecordParam o = FileQuery(other, 333);
    ASSERT_NE(KVNetAsyncQueryRecord(s.h, &o), 0u);
    kvreq::SessionRequests* r = kvreq::RequestsOf(s.h);
    ASSERT_TRUE(kvtest::WaitFor([&] { return r->AsyncCount() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(one.items.size(), 1u);
    EXPECT_EQ(one.nulls, 1);
    EXPECT_EQ(arr.arrays, 1);
    EXPECT_EQ(arr.count, 1u);
    EXPECT_EQ(del.deletes, 1);
    EXPECT_EQ(del.deleteAck, 0u);
    EXPECT_EQ(other.Calls(), 0u);
    gDeleteGot = nullptr;
    // Nothing happens for a null handle or request 0; null records are refused.
    KVNetAsyncQueryRecordStop(nullptr, 5);
    KVNetAsyncQueryRecordFileStop(s.h, 0);
    EXPECT_EQ(KVNetQueryRecord(nullptr, &p), 0);
    EXPECT_EQ(KVNetAsyncQueryRecord(s.h, nullptr), 0u);
    EXPECT_EQ(KVNetAsyncQueryRecordFileByDay(nullptr, nullptr), 0u);
}

TEST(RecordQuery, StoppedRequestDropsItsLateAnswer)
{
    Session s;
    ASSERT_TRUE(s.Start({"record-delay=200", "record-count=2"}));
    Got stopped, kept;
    KVNetQueryRecordFileByDayParam d{};
    d.Start = At(6, 0, 0);
    d.End = At(18, 0, 0);
    d.nItemKind = 3;
    d.callback.array = OnArray;
    d.pUser = &stopped;
    const unsigned a = KVNetAsyncQueryRecordFileByDay(s.h, &d);
    ASSERT_NE(a, 0u);
    KVNetQueryRecordParam p = FileQuery(kept);
    const unsigned b = KVNetAsyncQueryRecord(s.h, &p);
    ASSERT_NE(b, 0u);
    KVNetAsyncQueryRecordFileStop(s.h, a);
    // Both answers go out; a synchronous query after them is answered on the same stream
    // later, so once it returns the client has seen both late answers.
    ASSERT_TRUE(kvtest::WaitFor([&] { return Queries(s.sim, "record-answer").size() == 2; },
                                std::chrono::seconds(10)));
    Got sync;
    KVNetQueryRecordParam q = FileQuery(sync);
    ASSERT_EQ(KVNetQueryRecord(s.h, &q), 1);
    EXPECT_EQ(stopped.Calls(), 0u);
    EXPECT_EQ(kept.items.size(), 2u);
    EXPECT_EQ(kept.nulls, 1);
    EXPECT_EQ(kvreq::RequestsOf(s.h)->AsyncCount(), 0u);
}

// A device that never answers: each synchronous form gives 0 after its (shortened) wait
// and delivers nothing, not even the end mark.
TEST(RecordQuery, SilentDeviceGivesZeroAfterTheWait)
{
    struct Restore {
        ~Restore() { kvreq::SetDefaultTimeoutOverride(0); }
    } restore;
    kvreq::SetDefaultTimeoutOverride(300);
    Session s;
    ASSERT_TRUE(s.Start({"record-silent"}));
    Got g;
    KVNetQueryRecordParam p = FileQuery(g);
    KVNetQueryRecordExParam ex{};
    ex.base = FileQuery(g);
    ex.noRight = OnNoRight;
    KVNetQueryRecordFileByMonthParam m{};
    m.monthCallback = OnItem;
    m.pUser = &g;
    KVNetQueryRecordFileByDayParam d{};
    d.nItemKind = 1;
    d.callback.item = OnItem;
    d.pUser = &g;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KVNetQueryRecord(s.h, &p), 0);
    EXPECT_EQ(KVNetQueryRecordEx(s.h, &ex), 0);
    EXPECT_EQ(KVNetNewQueryRecordEx(s.h, &ex), 0);
    EXPECT_EQ(KVNetSyncQueryRecordFileByMonth(s.h, &m), 0);
    EXPECT_EQ(KVNetSyncQueryRecordFileByDay(s.h, &d), 0);
    // Five bounded waits; the bound only guards against a wait that ignores its limit.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    EXPECT_EQ(g.Calls(), 0u);
    EXPECT_TRUE(g.noRightBlock.empty());
    EXPECT_TRUE(kvtest::WaitFor([&] { return Queries(s.sim).size() == 5; }, std::chrono::seconds(10)));
    EXPECT_EQ(kvreq::RequestsOf(s.h)->WaiterCount(), 0u);
}

TEST(RecordQuery, PendingQueriesEndWhenTheSessionCloses)
{
    Session s;
    ASSERT_TRUE(s.Start({"record-silent"}));
    Got items, array;
    KVNetQueryRecordExParam ex{};
    ex.base = FileQuery(items);
    ex.noRight = OnNoRight;
    ASSERT_NE(KVNetAsyncQueryRecordEx(s.h, &ex), 0u);
    KVNetQueryRecordFileByDayParam d{};
    d.nItemKind = 4;
    d.callback.array = OnArray;
    d.pUser = &array;
    ASSERT_NE(KVNetAsyncQueryRecordFileByDay(s.h, &d), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return Queries(s.sim).size() == 2; }, std::chrono::seconds(10)));
    KVNetConnectionStop(&s.h);
    // Each gets its one end: the no-right block marked 2 (closed), then the end mark.
    EXPECT_EQ(items.order, (std::vector<std::string>{"noright", "null"}));
    ASSERT_EQ(items.noRightBlock.size(), 256u);
    EXPECT_EQ(items.noRightBlock[0], 2);
    EXPECT_EQ(array.order, (std::vector<std::string>{"array"}));
    EXPECT_EQ(array.count, 0u);
    // Without a session nothing is sent and nothing registered.
    EXPECT_EQ(KVNetAsyncQueryRecordEx(s.h, &ex), 0u);
    EXPECT_EQ(KVNetQueryRecordEx(s.h, &ex), 0);
}

} // namespace
