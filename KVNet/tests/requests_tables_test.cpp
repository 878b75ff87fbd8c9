// The waiter list and the asynchronous table: matching, replacement and refusal rules,
// the close-down, and the deliveries chosen by a record's subtype and kind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "dev_requests.h"

namespace {

using kvreq::AsyncRequest;
using kvreq::RequestTables;

MsgHeadWrap Head(uint16_t type, uint16_t sub, uint32_t seq, uint32_t size = 0, uint16_t ack = 0)
{
    MsgHeadWrap h;
    h.MsgType = type;
    h.MsgSubType = sub;
    h.Seq = seq;
    h.MsgSize = size;
    h.AckFlag = ack;
    return h;
}

// A received message with an inline body (or a heap body when heap is set).
std::unique_ptr<MsgBuf> Msg(const MsgHeadWrap& h, const std::vector<uint8_t>& body, bool heap = false)
{
    auto m = std::make_unique<MsgBuf>();
    m->head = h;
    m->head.MsgSize = static_cast<uint32_t>(body.size());
    if (heap) {
        m->heap = static_cast<uint8_t*>(std::malloc(body.size() ? body.size() : 1));
        m->heapSize = static_cast<uint32_t>(body.size());
        if (!body.empty())
            std::memcpy(m->heap, body.data(), body.size());
    } else {
        if (!body.empty())
            std::memcpy(m->inl, body.data(), body.size());
    }
    return m;
}

struct Calls {
    std::vector<unsigned> types;
    std::vector<std::vector<uint8_t>> data;
    std::vector<bool> nullData;
    int noRight = 0;
    uint8_t noRightByte = 0;
    std::vector<std::string> order;
};

void Typed(unsigned short type, void* data, unsigned size, void* user)
{
    auto* c = static_cast<Calls*>(user);
    c->types.push_back(type);
    c->nullData.push_back(data == nullptr);
    auto* p = static_cast<uint8_t*>(data);
    c->data.emplace_back(p, p + size);
    c->order.push_back("reply");
}

void NoRight(void* block, void* user)
{
    auto* c = static_cast<Calls*>(user);
    ++c->noRight;
    c->noRightByte = static_cast<uint8_t*>(block)[0];
    c->order.push_back("noright");
}

AsyncRequest Rec(const MsgHeadWrap& h, kvreq::AsyncFn fn, void* user, uint32_t kind = 0)
{
    AsyncRequest r;
    r.head = h;
    r.callback = fn;
    r.user = user;
    r.itemKind = kind;
    return r;
}

TEST(RequestsTables, RegistrationRules)
{
    RequestTables t;
    Calls a, b;
    auto fn = reinterpret_cast<kvreq::AsyncFn>(Typed);
    // 309 (and 331): a second registration replaces the first.
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(309, 1, 7), fn, &a)));
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(309, 1, 7), fn, &b)));
    // 303: refused; another type under a taken Seq: refused, the first stays.
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(303, 0, 8), fn, &a)));
    EXPECT_FALSE(t.AddAsyncRequest(Rec(Head(303, 0, 8), fn, &b)));
    EXPECT_FALSE(t.AddAsyncRequest(Rec(Head(301, 0, 8), fn, &b)));
    EXPECT_EQ(t.AsyncCount(), 2u);

    auto m = Msg(Head(309, 1, 7), {1, 2, 3});
    ASSERT_TRUE(t.CompleteAsyncRequest(*m));
    ASSERT_TRUE(t.CompleteAsyncRequest(*m)); // 309 stays registered
    EXPECT_TRUE(a.types.empty());
    ASSERT_EQ(b.types.size(), 2u);
    auto r = Msg(Head(303, 0, 8), {});
    ASSERT_TRUE(t.CompleteAsyncRequest(*r));
    EXPECT_FALSE(t.CompleteAsyncRequest(*r)); // 303 was removed by its reply
    ASSERT_EQ(a.types.size(), 1u);
    EXPECT_EQ(a.types[0], 303u);
    EXPECT_FALSE(a.nullData[0]) << "a device reply always comes with a data pointer";
    EXPECT_TRUE(t.RemoveAsyncRequest(7));
    EXPECT_EQ(t.AsyncCount(), 0u);
}

TEST(RequestsTables, JsonEntriesStayUnlessSingleReply)
{
    RequestTables t;
    struct J {
        int calls = 0;
        std::vector<int> oks;
    } q, s;
    auto query = +[](const void*, unsigned, void* u) { ++static_cast<J*>(u)->calls; };
    auto set = +[](int ok, const void*, unsigned, void* u) { static_cast<J*>(u)->oks.push_back(ok); };
    AsyncRequest rq = Rec(Head(429, 0, 1), reinterpret_cast<kvreq::AsyncFn>(query), &q);
    AsyncRequest rs = Rec(Head(429, 0, 2), reinterpret_cast<kvreq::AsyncFn>(set), &s, kvreq::kKindJsonSet);
    rs.singleReply = 1;
    ASSERT_TRUE(t.AddAsyncRequest(rq));
    ASSERT_TRUE(t.AddAsyncRequest(rs));
    auto m1 = Msg(Head(429, 0, 1), {'{', '}'});
    t.CompleteAsyncRequest(*m1);
    t.CompleteAsyncRequest(*m1);
    EXPECT_EQ(q.calls, 2);
    auto ok = Msg(Head(429, 0, 2), {0, 0, 0, 0, 'x'});
    t.CompleteAsyncRequest(*ok);
    EXPECT_FALSE(t.CompleteAsyncRequest(*ok));
    auto bad = Msg(Head(429, 0, 2), {0, 0, 1, 0});
    ASSERT_TRUE(t.AddAsyncRequest(rs));
    t.CompleteAsyncRequest(*bad);
    EXPECT_EQ(s.oks, (std::vector<int>{1, 0}));
    EXPECT_EQ(t.AsyncCount(), 1u);
}

TEST(RequestsTables, NoRightCallbackComesFirst)
{
    RequestTables t;
    Calls c;
    AsyncRequest r = Rec(Head(303, 0, 3), reinterpret_cast<kvreq::AsyncFn>(Typed), &c);
    r.noRight = NoRight;
    ASSERT_TRUE(t.AddAsyncRequest(r));
    auto m = Msg(Head(303, 0, 3, 0, 50), {9});
    t.CompleteAsyncRequest(*m);
    EXPECT_EQ(c.order, (std::vector<std::string>{"noright", "reply"}));
    EXPECT_EQ(c.noRightByte, 1);
}

TEST(RequestsTables, CloseDownFailsEachPendingRequestOnce)
{
    RequestTables t;
    Calls c;
    struct J {
        int calls = 0;
        bool null = false;
        int ok = -1;
    } q, s;
    auto query = +[](const void* d, unsigned n, void* u) {
        auto* j = static_cast<J*>(u);
        ++j->calls;
        j->null = d == nullptr && n == 0;
    };
    auto set = +[](int ok, const void*, unsigned, void* u) {
        ++static_cast<J*>(u)->calls;
        static_cast<J*>(u)->ok = ok;
    };
    AsyncRequest typed = Rec(Head(303, 0, 1), reinterpret_cast<kvreq::AsyncFn>(Typed), &c);
    typed.noRight = NoRight;
    ASSERT_TRUE(t.AddAsyncRequest(typed));
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(429, 0, 2), reinterpret_cast<kvreq::AsyncFn>(query), &q)));
    ASSERT_TRUE(t.AddAsyncRequest(
        Rec(Head(429, 0, 3), reinterpret_cast<kvreq::AsyncFn>(set), &s, kvreq::kKindJsonSet)));
    t.ClearAsyncRequests();
    EXPECT_EQ(t.AsyncCount(), 0u);
    ASSERT_EQ(c.types.size(), 1u);
    EXPECT_EQ(c.types[0], kvreq::kAckFailed);
    EXPECT_TRUE(c.nullData[0]);
    EXPECT_EQ(c.noRightByte, 2);
    EXPECT_EQ(q.calls, 1);
    EXPECT_TRUE(q.null);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.ok, 0);
    t.ClearAsyncRequests();
    EXPECT_EQ(c.types.size(), 1u);
}

TEST(RequestsTables, DeliveryBySubtypeAndKind)
{
    RequestTables t;
    struct Items {
        std::vector<uint32_t> sizes;
        int ends = 0;
        unsigned counted = 0;
    } it;
    auto item = +[](void* p, void* u) {
        auto* x = static_cast<Items*>(u);
        if (!p) {
            ++x->ends;
            return;
        }
        uint32_t v;
        std::memcpy(&v, p, 4);
        x->sizes.push_back(v);
    };
    std::vector<uint8_t> body(140, 0);
    for (size_t i = 0; i < 140; i += 20)
        body[i] = 20;
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(302, 101, 1), reinterpret_cast<kvreq::AsyncFn>(item), &it, 1)));
    auto m = Msg(Head(302, 101, 1), body);
    t.CompleteAsyncRequest(*m);
    EXPECT_EQ(it.sizes, std::vector<uint32_t>(7, 28));
    EXPECT_EQ(it.ends, 1);

    auto counted = +[](void* p, unsigned n, void* u) { static_cast<Items*>(u)->counted = p ? n : 99; };
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(302, 102, 2), reinterpret_cast<kvreq::AsyncFn>(counted), &it, 6)));
    auto m2 = Msg(Head(302, 102, 2), body);
    t.CompleteAsyncRequest(*m2);
    EXPECT_EQ(it.counted, 7u);

    // 367: a 72-byte block {72, ack} instead of the payload.
    Calls c;
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(367, 0, 3), reinterpret_cast<kvreq::AsyncFn>(Typed), &c)));
    auto m3 = Msg(Head(367, 0, 3, 0, 5), {1, 2, 3});
    t.CompleteAsyncRequest(*m3);
    ASSERT_EQ(c.data.size(), 1u);
    ASSERT_EQ(c.data[0].size(), 72u);
    EXPECT_EQ(c.data[0][0], 72);
    EXPECT_EQ(c.data[0][4], 5);

    // 211/723: the list elements joined; an empty reply as (723, null, 0).
    Calls p;
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(211, 723, 4), reinterpret_cast<kvreq::AsyncFn>(Typed), &p)));
    std::vector<uint8_t> reply = {20, 0, 0, 0, 4, 0, 0, 0, 12, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 0xAB, 0, 0, 0};
    auto m4 = Msg(Head(211, 723, 4), reply);
    t.CompleteAsyncRequest(*m4);
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(211, 723, 5), reinterpret_cast<kvreq::AsyncFn>(Typed), &p)));
    auto m5 = Msg(Head(211, 723, 5), {});
    t.CompleteAsyncRequest(*m5);
    ASSERT_EQ(p.types.size(), 2u);
    EXPECT_EQ(p.data[0], (std::vector<uint8_t>{8, 0, 0, 0, 0xAB, 0, 0, 0}));
    EXPECT_EQ(p.types[1], 723u);
    EXPECT_TRUE(p.nullData[1]);
}

// Calls from a callback that would deadlock on the locked table fail at once.
TEST(RequestsTables, CallbacksCannotReenterTheTable)
{
    static RequestTables t;
    struct R {
        bool add = true, remove = true, in = false;
    } r;
    auto cb = +[](unsigned short, void*, unsigned, void* u) {
        auto* x = static_cast<R*>(u);
        x->in = t.InCallback();
        x->add = t.AddAsyncRequest(Rec(Head(303, 0, 99), nullptr, nullptr));
        x->remove = t.RemoveAsyncRequest(99);
    };
    ASSERT_TRUE(t.AddAsyncRequest(Rec(Head(303, 0, 1), reinterpret_cast<kvreq::AsyncFn>(+cb), &r)));
    auto m = Msg(Head(303, 0, 1), {});
    t.CompleteAsyncRequest(*m);
    EXPECT_TRUE(r.in);
    EXPECT_FALSE(r.add);
    EXPECT_FALSE(r.remove);
    EXPECT_FALSE(t.InCallback());
    EXPECT_EQ(t.AsyncCount(), 0u);
}

TEST(RequestsTables, WaitersMatchCopyAndLateRepliesStayOut)
{
    RequestTables t;
    const MsgHeadWrap req = Head(211, 505, 42);
    std::vector<uint8_t> body(300);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i);
    for (bool heap : {false, true}) {
        SCOPED_TRACE(heap ? "heap body" : "inline body");
        SyncEvent ev(false, false);
        auto reply = std::make_unique<MsgBuf>();
        kvreq::SyncWaiter w;
        w.request = &req;
        w.event = &ev;
        w.reply = reply.get();
        t.AddSyncWaiter(&w);
        auto other = Msg(Head(211, 505, 43), body, heap);
        EXPECT_FALSE(t.DispatchToSyncWaiters(*other));
        auto m = Msg(req, body, heap);
        std::thread conn([&] { EXPECT_TRUE(t.DispatchToSyncWaiters(*m)); });
        EXPECT_TRUE(ev.Wait(5000));
        conn.join();
        t.RemoveSyncWaiter(&w);
        ASSERT_TRUE(w.answered);
        EXPECT_EQ(reply->head.MsgSize, 300u);
        EXPECT_EQ(reply->heap != nullptr, heap);
        EXPECT_EQ(std::vector<uint8_t>(reply->body(), reply->body() + 300), body);
        // After the removal the same reply finds nobody.
        EXPECT_FALSE(t.DispatchToSyncWaiters(*m));
    }
    // Close-down wakes waiters without an answer.
    SyncEvent ev(false, false);
    kvreq::SyncWaiter w;
    auto reply = std::make_unique<MsgBuf>();
    w.request = &req;
    w.event = &ev;
    w.reply = reply.get();
    t.AddSyncWaiter(&w);
    t.WakeAllSyncWaiters();
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(w.answered);
    EXPECT_EQ(t.WaiterCount(), 0u);
}

} // namespace

namespace {

// A session that records sends and answers nothing (or refuses to send).
class QuietSession : public kvsession::Link {
public:
    bool sendOk = true;
    int sends = 0;
    bool SendOnMain(const MsgHeadWrap&, const void*) override
    {
        ++sends;
        return sendOk;
    }
    uint8_t HeadSecurityBits() override { return 2; }
    bool IsLoggedIn() override { return sendOk; }
    uint32_t SessionId() override { return 0; }
    bool PeerAddress(std::string*, uint16_t*) override { return false; }
    kvreq::SessionRequests tables{*this};
};

TEST(RequestsTables, SendAndWaitOutcomes)
{
    QuietSession s;
    auto reply = std::make_unique<MsgBuf>();
    const MsgHeadWrap h = kvreq::MakeHead(s, 211, 505, 0);
    EXPECT_EQ(h.flags, 2);
    EXPECT_NE(h.Seq, 0u);
    // Time-out 0: true once sent, nothing left registered.
    EXPECT_TRUE(kvreq::SendRequestAndWait(s.tables, h, nullptr, *reply, 0));
    EXPECT_EQ(s.tables.WaiterCount(), 0u);
    // Unanswered: false after the wait, the waiter gone.
    EXPECT_FALSE(kvreq::SendRequestAndWait(s.tables, h, nullptr, *reply, 20));
    EXPECT_EQ(s.tables.WaiterCount(), 0u);
    // A failed send: false at once.
    s.sendOk = false;
    EXPECT_FALSE(kvreq::SendRequestAndWait(s.tables, h, nullptr, *reply, 0));
    // An asynchronous start on a session that cannot send registers nothing.
    AsyncRequest r = Rec(kvreq::MakeHead(s, 303, 0, 0), nullptr, nullptr);
    EXPECT_EQ(kvreq::StartAsyncRequest(s.tables, r, nullptr), 0u);
    EXPECT_EQ(s.tables.AsyncCount(), 0u);
    s.sendOk = true;
    EXPECT_EQ(kvreq::StartAsyncRequest(s.tables, r, nullptr), r.head.Seq);
    EXPECT_EQ(s.tables.AsyncCount(), 1u);
}

} // namespace
