// The message channel's progress rule against real loopback peers: a peer that drips a
// message, or stops reading one, is cut at the rule's base plus the message's size at
// the floor rate; a peer fast enough is not.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <vector>

#include "msg_channel.h"
#include "test_kit.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long HeldMs(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
}

struct Pair {
    kvtest::LoopbackListener listener;
    KVMsgChannel ch;
    int peer = -1;
    Pair()
    {
        ch.Socket("127.0.0.1", listener.port(), true);
        ch.Connect(2000);
        ch.set_mode(kModePlain);
        peer = listener.Accept(2000);
    }
    ~Pair()
    {
        if (peer >= 0)
            close(peer);
    }
};

std::vector<uint8_t> Message(uint32_t bodyLen)
{
    MsgHeadWrap h;
    h.MsgType = 77;
    h.MsgSize = bodyLen;
    std::vector<uint8_t> m(sizeof h + bodyLen, 0x42);
    std::memcpy(m.data(), &h, sizeof h);
    return m;
}

TEST(ProgressRule, ReceiveTable)
{
    struct Row {
        const char* name;
        uint32_t body;
        int pauseMs;      // between the peer's pieces
        size_t piece;     // bytes per piece
        unsigned baseMs, floorBps;
        bool ok;
        long minMs, maxMs;
    };
    const long slack = kvtest::kClockSlackMs, load = kvtest::kLoadSlackMs;
    const Row rows[] = {
        // 1040 bytes at one byte per 20 ms would take 21 s.
        {"dripping peer is cut at base plus size at the floor", 1024, 20, 1, 300, 64 * 1024, false,
         300 - slack, 300 + 16 + load},
        // 4 MiB in 64 KiB pieces every 5 ms (about 0.3 s) within 200 ms + 4 MiB at 8 MiB/s.
        {"large message above the floor rate arrives", 4u << 20, 5, 64 * 1024, 200, 8u << 20, true, 0, 700 + load},
        {"no rule: a fast message arrives", 1000, 0, 1016, 0, 0, true, 0, load},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Pair p;
        ASSERT_GE(p.peer, 0);
        p.ch.SetRecvRule(r.baseMs, r.floorBps);
        const std::vector<uint8_t> m = Message(r.body);
        std::thread sender([&] {
            for (size_t off = 0; off < m.size(); off += r.piece) {
                const size_t n = std::min(r.piece, m.size() - off);
                if (send(p.peer, m.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                    return;
                if (r.pauseMs)
                    std::this_thread::sleep_for(milliseconds(r.pauseMs));
            }
        });
        MsgBuf msg;
        const auto t0 = Clock::now();
        const bool ok = p.ch.RecvMsg(msg);
        const long held = HeldMs(t0);
        shutdown(p.peer, SHUT_RDWR);
        sender.join();
        EXPECT_EQ(ok, r.ok);
        if (ok) {
            EXPECT_EQ(msg.head.MsgSize, r.body);
        }
        EXPECT_GE(held, r.minMs);
        EXPECT_LE(held, r.maxMs);
    }
}

// A peer that stops reading: the send of a large message is cut at the send rule's base
// plus its size at the floor rate instead of blocking for ever.
TEST(ProgressRule, SendToAPeerThatStopsReadingIsCut)
{
    Pair p;
    ASSERT_GE(p.peer, 0);
    const int small = 64 * 1024;
    setsockopt(p.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    p.ch.SetSendRule(300, 64u << 20); // 8 MiB at 64 MiB/s: 125 ms on top
    const std::vector<uint8_t> body(8u << 20, 0x17);
    MsgHeadWrap h;
    h.MsgType = 78;
    h.MsgSize = static_cast<uint32_t>(body.size());
    const auto t0 = Clock::now();
    EXPECT_FALSE(p.ch.SendMsg(h, body.data()));
    const long held = HeldMs(t0);
    EXPECT_GE(held, 425 - kvtest::kClockSlackMs);
    EXPECT_LE(held, 425 + kvtest::kLoadSlackMs);
}

} // namespace
