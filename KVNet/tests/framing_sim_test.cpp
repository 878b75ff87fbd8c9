// Message framing against the Python device simulator over loopback. Types 9000 and up
// have no handler in the simulator: it echoes them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "login_handshake.h"
#include "msg_channel.h"
#include "test_kit.h"

using kvtest::Hex;
using kvtest::SimProcess;

namespace {

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    return v;
}

MsgHeadWrap head(uint16_t type, uint32_t size, uint8_t security = 0)
{
    MsgHeadWrap h;
    h.flags = security;
    h.MsgType = type;
    h.MsgSize = size;
    h.Seq = 1000 + type;
    return h;
}

class Framing : public ::testing::Test {
protected:
    bool StartSim(const std::vector<std::string>& scenarios)
    {
        std::vector<std::string> args;
        for (auto& s : scenarios) {
            args.push_back("--scenario");
            args.push_back(s);
        }
        return sim_.Start(args);
    }
    bool ConnectTcp(KVMsgChannel& w)
    {
        return w.Socket("127.0.0.1", sim_.tcp_port(), true) && w.Connect(2000);
    }
    SimProcess sim_;
    std::unique_ptr<MsgBuf> reply_ = std::make_unique<MsgBuf>();
};

TEST_F(Framing, PlainEchoCarriesHeadAndBodyExactly)
{
    ASSERT_TRUE(StartSim({}));
    KVMsgChannel w;
    ASSERT_TRUE(ConnectTcp(w));
    const std::string body = "hello device";
    MsgHeadWrap h = head(9211, static_cast<uint32_t>(body.size()));
    h.MsgSubType = 511;
    ASSERT_TRUE(w.SendAndRecvMsg(h, body.data(), *reply_, false));
    EXPECT_EQ(w.mode(), kModePlain);
    EXPECT_EQ(reply_->head.MsgType, 9211);
    EXPECT_EQ(reply_->head.MsgSubType, 511);
    EXPECT_EQ(reply_->head.Seq, h.Seq);
    ASSERT_EQ(reply_->body_size(), body.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply_->body()), body.size()), body);

    auto log = sim_.LogLines();
    ASSERT_EQ(log.size(), 1u);
    // The wire bytes: the head as laid out little-endian, then the body.
    std::vector<uint8_t> wire(16 + body.size());
    memcpy(wire.data(), &h, 16);
    memcpy(wire.data() + 16, body.data(), body.size());
    EXPECT_EQ(kvtest::JsonStr(log[0], "raw"), Hex(wire.data(), wire.size()));
    EXPECT_FALSE(kvtest::JsonFlag(log[0], "scrambled"));
}

TEST_F(Framing, ScrambledConnectionScramblesEveryMessageBothWays)
{
    ASSERT_TRUE(StartSim({}));
    KVMsgChannel w;
    ASSERT_TRUE(ConnectTcp(w));
    for (uint32_t size : {0u, 1u, 13u, 4096u}) {
        auto body = pattern(size);
        // Only the first head asks for scrambling; later heads say nothing.
        MsgHeadWrap h = head(static_cast<uint16_t>(9300 + size % 100), size, size == 0 ? 2 : 0);
        ASSERT_TRUE(w.SendAndRecvMsg(h, body.data(), *reply_, false)) << size;
        EXPECT_EQ(w.mode(), kModeScrambled);
        EXPECT_EQ(reply_->head.security(), 2u);
        EXPECT_EQ(reply_->head.Seq, h.Seq);
        ASSERT_EQ(reply_->body_size(), size);
        if (size)
            EXPECT_EQ(memcmp(reply_->body(), body.data(), size), 0) << size;
    }
    auto log = sim_.LogLines();
    ASSERT_EQ(log.size(), 4u);
    for (auto& l : log) {
        EXPECT_TRUE(kvtest::JsonFlag(l, "scrambled")) << l;
        // bytes 0-1 stay plain: flags 02, second byte 00
        EXPECT_EQ(kvtest::JsonStr(l, "raw").substr(0, 4), "0200");
    }
    // The body on the wire is not the plain body.
    EXPECT_NE(kvtest::JsonStr(log[3], "raw").substr(32), kvtest::JsonStr(log[3], "body"));
}

TEST_F(Framing, PlainFirstReplyTurnsAScrambledConnectionPlain)
{
    ASSERT_TRUE(StartSim({"plain-replies"}));
    KVMsgChannel w;
    ASSERT_TRUE(ConnectTcp(w));
    ASSERT_TRUE(w.SendAndRecvMsg(head(9031, 0, 2), nullptr, *reply_, false));
    EXPECT_EQ(w.mode(), kModePlain);
    const char b[] = "abc";
    ASSERT_TRUE(w.SendAndRecvMsg(head(9032, 3), b, *reply_, false));
    auto log = sim_.LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(kvtest::JsonFlag(log[0], "scrambled"));
    EXPECT_FALSE(kvtest::JsonFlag(log[1], "scrambled"));
}

TEST_F(Framing, ProbeTrailerGoesOnlyWithTheFirstSend)
{
    ASSERT_TRUE(StartSim({}));
    KVMsgChannel w;
    ASSERT_TRUE(ConnectTcp(w));
    std::vector<uint8_t> body(100, 0x11);
    ASSERT_TRUE(w.SendMsg(head(9031, 100), body.data(), true));
    ASSERT_TRUE(w.RecvMsg(*reply_));
    ASSERT_TRUE(w.SendMsg(head(9031, 100), body.data(), true));
    ASSERT_TRUE(w.RecvMsg(*reply_));
    auto log = sim_.LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(kvtest::JsonFlag(log[0], "probe"));
    EXPECT_EQ(kvtest::JsonInt(log[0], "size"), 100 + 272);
    // u32 272, "TEDD", u32 3, then 260 zeros
    std::string trailer = kvtest::JsonStr(log[0], "body").substr(200);
    EXPECT_EQ(trailer.substr(0, 24), "10010000" "54454444" "03000000");
    EXPECT_EQ(trailer.substr(24), std::string(520, '0'));
    EXPECT_FALSE(kvtest::JsonFlag(log[1], "probe"));
    EXPECT_EQ(kvtest::JsonInt(log[1], "size"), 100);
}

// A session's login goes out with its credentials cleared, bounded by the body length.
TEST_F(Framing, LoginProbeClearsCredentials)
{
    ASSERT_TRUE(StartSim({}));
    struct Case {
        uint16_t subtype;
        size_t len;
        size_t cleared;
    } cases[] = {{0, 200, 72}, {0, 40, 40}, {621, 600, 512}, {621, 100, 100}};
    for (const auto& c : cases) {
        KVMsgChannel w;
        kvlogin::Handshake login({"", ""});
        ASSERT_TRUE(ConnectTcp(w));
        std::vector<uint8_t> body(c.len, 0xAB);
        MsgHeadWrap h = head(31, static_cast<uint32_t>(c.len));
        h.MsgSubType = c.subtype;
        ASSERT_FALSE(login.LoginWith(w, h, body.data(), true, *reply_).failed);
        std::string sent = kvtest::JsonStr(sim_.LogLines().back(), "body");
        EXPECT_EQ(sent.substr(0, 2 * c.cleared), std::string(2 * c.cleared, '0')) << c.len;
        for (size_t i = c.cleared; i < c.len; ++i)
            ASSERT_EQ(sent.substr(2 * i, 2), "ab") << c.len << " at " << i;
        EXPECT_TRUE(kvtest::JsonFlag(sim_.LogLines().back(), "probe"));
    }
}

struct SizeCase {
    uint32_t size;
    bool ok;
    bool heap;
};

TEST_F(Framing, ReplySizesInlineHeapAndLimit)
{
    const SizeCase cases[] = {
        {102400, true, false},
        {102401, true, true},
        {0x1000000, true, true},
    };
    for (const auto& c : cases) {
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", "reply-size=" + std::to_string(c.size)}));
        KVMsgChannel w;
        ASSERT_TRUE(w.Socket("127.0.0.1", sim.tcp_port(), true) && w.Connect(2000));
        ASSERT_EQ(w.SendAndRecvMsg(head(9005, 0), nullptr, *reply_, false), c.ok) << c.size;
        EXPECT_EQ(reply_->heap != nullptr, c.heap) << c.size;
        ASSERT_EQ(reply_->body_size(), c.size);
        auto want = pattern(c.size);
        EXPECT_EQ(memcmp(reply_->body(), want.data(), c.size), 0) << c.size;
    }
}

struct FailCase {
    const char* scenario;
};

TEST_F(Framing, BrokenRepliesFailTheReceive)
{
    for (const char* sc : {"oversize", "close-mid-head", "close-mid-body", "silent", "close-on-accept"}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--scenario", sc}));
        KVMsgChannel w;
        ASSERT_TRUE(w.Socket("127.0.0.1", sim.tcp_port(), true) && w.Connect(2000));
        if (std::string(sc) == "silent") {
            timeval tv{0, 200000};
            setsockopt(w.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        EXPECT_FALSE(w.SendAndRecvMsg(head(9005, 0), nullptr, *reply_, false)) << sc;
    }
}

TEST_F(Framing, UdpDatagramMustHoldItsAnnouncedBody)
{
    for (bool lying : {false, true}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Start(lying ? std::vector<std::string>{"--scenario", "udp-lying-size"}
                                    : std::vector<std::string>{}));
        KVMsgChannel w;
        ASSERT_TRUE(w.Socket("127.0.0.1", sim.udp_port(), false));
        timeval tv{1, 0};
        setsockopt(w.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const char b[] = "search";
        EXPECT_EQ(w.SendAndRecvMsg(head(9011, 6), b, *reply_, false), !lying);
        if (!lying)
            EXPECT_EQ(std::string(reinterpret_cast<char*>(reply_->body()), 6), "search");
    }
}

TEST_F(Framing, FramesGoOutAsPacksOf1400)
{
    // A raw loopback peer: the pack layout is checked byte by byte here.
    kvtest::LoopbackListener l(1);
    ASSERT_TRUE(l.ok());
    for (uint32_t payload : {2760u, 1360u, 0u}) {
        KVMsgChannel w;
        ASSERT_TRUE(w.Socket("127.0.0.1", l.port(), true) && w.Connect(2000));
        int peer = l.Accept(5000);
        ASSERT_GE(peer, 0);
        std::vector<uint8_t> frame(40 + payload);
        memcpy(frame.data(), "KVFm", 4);
        uint32_t no = 77;
        memcpy(frame.data() + 8, &no, 4);
        memcpy(frame.data() + 12, &payload, 4);
        for (size_t i = 40; i < frame.size(); ++i)
            frame[i] = static_cast<uint8_t>(i);
        ASSERT_TRUE(w.SendFrame(frame.data()));
        w.Close();
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, 0)) > 0)
            got.insert(got.end(), buf, buf + n);
        close(peer);
        size_t packs = (40 + payload + 1399) / 1400;
        ASSERT_EQ(got.size(), packs * 12 + 40 + payload);
        size_t off = 0, data = 0;
        for (size_t k = 0; k < packs; ++k) {
            PackHead ph;
            memcpy(&ph, got.data() + off, 12);
            EXPECT_EQ(ph.flags, 0);
            EXPECT_EQ(ph.PackType, 0);
            EXPECT_EQ(ph.PackNum, packs);
            EXPECT_EQ(ph.FrameNo, 77u);
            EXPECT_EQ(ph.PackNo, k);
            EXPECT_EQ(ph.PackSize, std::min<size_t>(1400, 40 + payload - data));
            EXPECT_EQ(memcmp(got.data() + off + 12, frame.data() + data, ph.PackSize), 0);
            off += 12 + ph.PackSize;
            data += ph.PackSize;
        }
    }
}

TEST_F(Framing, UdpPacksAreCheckedForSizeAndIndex)
{
    struct Case {
        PackHead h;
        size_t extra; // bytes beyond what the head says
        bool ok;
    };
    auto ph = [](uint8_t type, uint16_t num, uint16_t no, uint16_t size) {
        PackHead h;
        h.PackType = type;
        h.PackNum = num;
        h.PackNo = no;
        h.PackSize = size;
        return h;
    };
    const Case cases[] = {
        {ph(0, 3, 2, 10), 0, true},
        {ph(0, 3, 2, 10), 1, false},  // one byte longer than its head says
        {ph(0, 3, 3, 10), 0, false},  // PackNo not below PackNum
        {ph(1, 3, 3, 10), 0, true},   // other pack types are not checked
        {ph(0, 0, 0, 0), 0, false},
    };
    for (const auto& c : cases) {
        SyncSocket tx;
        KVMsgChannel rx;
        uint16_t port = SyncSocket::GetFreePort();
        ASSERT_TRUE(rx.Socket("127.0.0.1", 9, false) && rx.Bind("127.0.0.1", port));
        ASSERT_TRUE(tx.Socket("127.0.0.1", port, false));
        std::vector<uint8_t> dgram(12 + c.h.PackSize + c.extra, 0x5A);
        memcpy(dgram.data(), &c.h, 12);
        ASSERT_TRUE(tx.SendTo(dgram.data(), dgram.size()));
        auto pack = std::make_unique<PackBuf>();
        EXPECT_EQ(rx.RecvPack(*pack), c.ok) << "no=" << c.h.PackNo << " extra=" << c.extra;
    }
}

} // namespace
