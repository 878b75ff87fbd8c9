// Where the request layer routes a reply: to the synchronous waiter, to the asynchronous
// record under its Seq, or nowhere, by message type; and the close-down notices.
#include <gtest/gtest.h>

#include <memory>

#include "dev_requests.h"
#include "session_link.h"
#include "sync_event.h"

namespace {

class NullLink : public kvsession::Link {
public:
    bool IsLoggedIn() override { return true; }
    uint32_t SessionId() override { return 0; }
    uint8_t HeadSecurityBits() override { return 0; }
    bool PeerAddress(std::string*, uint16_t*) override { return false; }
};

int gRecordCalls = 0;
void Typed(unsigned short, void*, unsigned, void*) { ++gRecordCalls; }
void Json(const void*, unsigned, void*) { ++gRecordCalls; }

enum class To { Waiter, Record, Nobody };

struct Case {
    uint16_t type, sub;
    bool waiter, record;
    To expect;
};

const char* Name(To t) { return t == To::Waiter ? "waiter" : t == To::Record ? "record" : "nobody"; }

TEST(ReplyRouting, ByTypeWaitersAndRecords)
{
    const Case cases[] = {
        // Both kinds: the waiter first, else the record.
        {111, 0, true, true, To::Waiter},  {111, 0, false, true, To::Record},
        {112, 0, true, true, To::Waiter},  {112, 0, false, true, To::Record},
        {429, 0, true, true, To::Waiter},  {429, 0, false, true, To::Record},
        // Queries: the waiter first; only list queries (723) fall back to a record.
        {211, 723, true, true, To::Waiter}, {211, 723, false, true, To::Record},
        {211, 505, false, true, To::Nobody}, {211, 505, true, false, To::Waiter},
        // Types only records ever wait for: a waiter is never answered.
        {303, 0, true, true, To::Record},  {303, 0, true, false, To::Nobody},
        {309, 0, false, true, To::Record}, {710, 0, true, true, To::Record},
        // Any other type: waiters only.
        {101, 0, true, true, To::Waiter},  {5555, 1, false, true, To::Nobody},
        {5555, 1, false, false, To::Nobody},
    };
    uint32_t seq = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.sub) + " waiter " +
                     std::to_string(c.waiter) + " record " + std::to_string(c.record) + " -> " + Name(c.expect));
        NullLink link;
        kvreq::SessionRequests r(link);
        MsgHeadWrap head;
        head.MsgType = c.type;
        head.MsgSubType = c.sub;
        head.Seq = ++seq;
        SyncEvent ev(false, false);
        auto waiterReply = std::make_unique<MsgBuf>();
        kvreq::SyncWaiter w;
        w.request = &head;
        w.event = &ev;
        w.reply = waiterReply.get();
        if (c.waiter)
            r.AddSyncWaiter(&w);
        if (c.record) {
            kvreq::AsyncRequest rec;
            rec.head = head;
            rec.callback = c.type == 429 ? reinterpret_cast<kvreq::AsyncFn>(&Json)
                                         : reinterpret_cast<kvreq::AsyncFn>(&Typed);
            ASSERT_TRUE(r.AddAsyncRequest(rec));
        }
        gRecordCalls = 0;
        auto msg = std::make_unique<MsgBuf>();
        msg->head = head;
        static_cast<kvsession::ReplyRouter&>(r).Route(*msg);
        EXPECT_EQ(w.answered, c.expect == To::Waiter);
        EXPECT_EQ(gRecordCalls, c.expect == To::Record ? 1 : 0);
        if (c.waiter)
            r.RemoveSyncWaiter(&w);
    }
}

// The close-down as the session gives it: waiters wake first, records fail after.
TEST(ReplyRouting, CloseDownWakesWaitersThenFailsRecords)
{
    NullLink link;
    kvreq::SessionRequests r(link);
    MsgHeadWrap head;
    head.MsgType = 211;
    head.MsgSubType = 1;
    head.Seq = 77;
    SyncEvent ev(false, false);
    auto reply = std::make_unique<MsgBuf>();
    kvreq::SyncWaiter w;
    w.request = &head;
    w.event = &ev;
    w.reply = reply.get();
    r.AddSyncWaiter(&w);
    kvreq::AsyncRequest rec;
    rec.head = head;
    rec.head.MsgType = 303;
    rec.callback = reinterpret_cast<kvreq::AsyncFn>(&Typed);
    ASSERT_TRUE(r.AddAsyncRequest(rec));
    gRecordCalls = 0;

    kvsession::ReplyRouter& router = r;
    router.ConnectionLost();
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_FALSE(w.answered);
    EXPECT_EQ(r.WaiterCount(), 0u);
    EXPECT_EQ(gRecordCalls, 0) << "records fail only once the connection is closed";
    EXPECT_EQ(r.AsyncCount(), 1u);
    router.ConnectionClosed();
    EXPECT_EQ(gRecordCalls, 1);
    EXPECT_EQ(r.AsyncCount(), 0u);
}

} // namespace
