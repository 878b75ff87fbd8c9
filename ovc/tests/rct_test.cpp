// RCT without a session: the head and id rules, the window arithmetic, and the receive callback
// driven with hand-made packets on records bound to a made-up session (what they would send is
// captured instead of written).
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ovc_state.h"
#include "peer_util.h"
#include "rct_internal.h"

namespace {

std::vector<uint8_t> packet(uint8_t type, uint64_t id, const std::string& body = "", uint8_t index = 0,
                            uint8_t version = 5) {
  RctHead h;
  h.type = type;
  h.version = version;
  h.id = id;
  h.index = index;
  h.length = (uint16_t)body.size();
  std::vector<uint8_t> p(RCT_HEAD_SIZE + body.size());
  rct_head_write(h, p.data());
  memcpy(p.data() + RCT_HEAD_SIZE, body.data(), body.size());
  return p;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

struct Range {
  uint64_t from, to;
};
std::vector<uint8_t> sack2(std::vector<Range> ranges, uint32_t count) {
  std::string body(RCT_SACK2_BODY, '\0');
  auto* b = reinterpret_cast<uint8_t*>(&body[0]);
  put32(b + 4, count);
  for (size_t i = 0; i < ranges.size() && i < 4; ++i) {
    put32(b + 8 + 16 * i, (uint32_t)ranges[i].from);
    put32(b + 12 + 16 * i, (uint32_t)(ranges[i].from >> 32));
    put32(b + 16 + 16 * i, (uint32_t)ranges[i].to);
    put32(b + 20 + 16 * i, (uint32_t)(ranges[i].to >> 32));
  }
  return packet(RCT_MSG_DATA_SACK2, 0, body);
}

constexpr int kSid = 5;
constexpr uint8_t kCh = 3;

class Rct : public ::testing::Test {
 protected:
  ovc_test::TempDir dir;
  std::string old_cwd;
  int id = -1;

  void SetUp() override {
    char buf[4096];
    old_cwd = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override {
    if (id >= 0) rct_detach_for_test(id);
    RCT_DeInitialize();
    RCT_Set_Max_Channel_Number(128);
    RCT_Set_MaxPacketDataSize(1280);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  void Attach(uint8_t version = 5) {
    ASSERT_EQ(RCT_Initialize(), 128);
    id = rct_attach_for_test(kSid, kCh, version);
    ASSERT_GE(id, 0);
    rct_take_sent(nullptr, 0);
  }
  void Feed(const std::vector<uint8_t>& p) { RCTRecvCB(kSid, kCh, p.data(), (uint32_t)p.size(), 0); }
  std::vector<RctSent> Sent() {
    std::vector<RctSent> out(256);
    out.resize((size_t)rct_take_sent(out.data(), (int)out.size()));
    return out;
  }
  RctView View() {
    RctView v{};
    EXPECT_EQ(rct_view(id, &v), 0);
    return v;
  }
  std::string ReadAll() {
    std::string s;
    char buf[4096];
    int n;
    while ((n = RCT_Read(id, buf, sizeof buf, 0)) > 0) s.append(buf, (size_t)n);
    return s;
  }
};

TEST(RctMath, CubeRootTable) {
  const struct {
    uint32_t x, y;
  } cases[] = {{0, 0}, {7, 1}, {8, 2}, {26, 2}, {27, 3}, {500000, 79}, {1000000, 100}, {0xFFFFFFFFu, 1625}};
  for (auto c : cases) EXPECT_EQ(icbrt(c.x), c.y) << c.x;
  for (uint32_t y = 1; y < 1626; y += 37) {
    EXPECT_EQ(icbrt(y * y * y), y);
    EXPECT_EQ(icbrt(y * y * y - 1), y - 1);
  }
}

TEST(RctMath, CubicTargetAfterALoss) {
  EXPECT_EQ(rct_cubic_target(1000, 0), 827);
  // Within a second of K (7.9 s for wmax 1000) the cubic term is 0; far beyond it the target
  // grows without wrapping, and long after an epoch it stays positive.
  EXPECT_EQ(rct_cubic_target(1000, 7900000), 1000);
  EXPECT_GT(rct_cubic_target(1000, 20000000), 1000);
  EXPECT_GT(rct_cubic_target(6500, 3600ll * 1000000 * 24), 6500);
}

TEST(RctMath, IdIncrementAndCompare) {
  RCT_U64 a{0xEFFFFFFFu, 0};
  U64_add(&a);
  EXPECT_EQ(a.low, 0xF0000000u);
  EXPECT_EQ(a.high, 0u);
  U64_add(&a);
  EXPECT_EQ(a.low, 0u);
  EXPECT_EQ(a.high, 1u);
  RCT_U64 b{0xF0000000u, 0};
  EXPECT_EQ(U64_compare(&a, &b), 1);
  EXPECT_EQ(U64_compare(&b, &a), -1);
  RCT_U64 c;
  U64_copy(&a, &c);
  EXPECT_EQ(U64_compare(&a, &c), 0);
  U64_zero(&c);
  EXPECT_EQ(c.low | c.high, 0u);
  EXPECT_EQ(rct_id_distance(rct_id_make(0xF0000000u, 0), rct_id_make(0, 1)), 1u);
  EXPECT_EQ(rct_id_distance(0, rct_id_make(0, 7)), ~0ull);
}

TEST(RctMath, HeadRoundTrip) {
  RctHead h;
  h.type = 0x45;
  h.length = 72;
  h.id = rct_id_make(0x11223344u, 0x55667788u);
  h.sendCount = 9;
  h.index = 200;
  h.reserved = 0xBEEF;
  uint8_t w[20];
  rct_head_write(h, w);
  const uint8_t want[20] = {0x5A, 0x97, 0xC2, 0xF1, 0x45, 5, 72, 0, 0x44, 0x33, 0x22, 0x11,
                            0x88, 0x77, 0x66, 0x55, 9, 200, 0xEF, 0xBE};
  EXPECT_EQ(memcmp(w, want, 20), 0);
  RctHead r = rct_head_read(w);
  EXPECT_EQ(r.id, h.id);
  EXPECT_EQ(r.reserved, h.reserved);
}

TEST_F(Rct, OutOfOrderDeliveryAndItsAcknowledgements) {
  Attach();
  for (uint64_t i : {0, 1, 3, 4, 2}) Feed(packet(RCT_MSG_DATA, i, std::string(1, (char)('a' + i))));
  auto s = Sent();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].type, RCT_MSG_DATA_ACK2);
  EXPECT_EQ(s[0].id, 0u);
  EXPECT_EQ(s[1].type, RCT_MSG_DATA_ACK2);
  EXPECT_EQ(s[1].id, 1u);
  EXPECT_EQ(s[2].type, RCT_MSG_DATA_SACK2);
  EXPECT_EQ(s[2].id, 1u);
  EXPECT_EQ(s[2].from, 3u);
  EXPECT_EQ(s[2].to, 4u);
  EXPECT_EQ(s[3].type, RCT_MSG_DATA_ACK2);
  EXPECT_EQ(s[3].id, 4u);
  EXPECT_EQ(ReadAll(), "abcde");
}

TEST_F(Rct, DuplicatesAreAcknowledgedAtOnceAndDeliveredOnce) {
  Attach();
  Feed(packet(RCT_MSG_DATA, 0, "x"));
  Feed(packet(RCT_MSG_DATA, 1, "y"));
  EXPECT_EQ(ReadAll(), "xy");
  Sent();
  Feed(packet(RCT_MSG_DATA, 0, "x"));  // below the delivery point
  Feed(packet(RCT_MSG_DATA, 1, "y"));
  auto s = Sent();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].type, RCT_MSG_DATA_ACK2);
  EXPECT_EQ(s[0].id, 1u);
  Feed(packet(RCT_MSG_DATA, 3, "w"));
  Feed(packet(RCT_MSG_DATA, 3, "w"));  // a duplicate beyond a gap
  Feed(packet(RCT_MSG_DATA, 2, "z"));
  EXPECT_EQ(ReadAll(), "zw");
  EXPECT_EQ(View().recvListCount, 0u);
}

TEST_F(Rct, PendingAckLimitAndTheIdleCallback) {
  Attach();
  ASSERT_EQ(RCT_Set_Max_Pending_ACK_Number(id, 8), 0);
  for (uint64_t i = 0; i < 8; ++i) Feed(packet(RCT_MSG_DATA, i, "d"));
  EXPECT_TRUE(Sent().empty());
  Feed(packet(RCT_MSG_DATA, 8, "d"));
  auto s = Sent();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].id, 8u);
  Feed(packet(RCT_MSG_DATA, 9, "d"));
  Feed(packet(RCT_MSG_DATA, 11, "d"));  // opens a range
  EXPECT_TRUE(Sent().empty() == false);  // the gap sends the ACK2 of 9 first
  RCTRecvIdleCB(kSid, kCh);
  s = Sent();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].type, RCT_MSG_DATA_SACK2);
  EXPECT_EQ(s[0].from, 11u);
}

TEST_F(Rct, BeforeTheFirstHeartbeatDataIsAcknowledgedPerPacket) {
  Attach(0);
  Feed(packet(RCT_MSG_DATA, 0, "a"));
  Feed(packet(RCT_MSG_DATA, 2, "c"));
  EXPECT_TRUE(Sent().empty());  // queued for the send thread, not ACK2
  // A heartbeat of version 5 switches to ACK2: the in-order point was kept all along.
  Feed(packet(RCT_MSG_HEARTBIT, 0, "", 9, 5));
  Feed(packet(RCT_MSG_DATA, 1, "b"));
  auto s = Sent();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].type, RCT_MSG_DATA_ACK2);
  EXPECT_EQ(s[0].id, 2u);
  EXPECT_EQ(ReadAll(), "abc");
}

TEST_F(Rct, RemoteIndexIsNotFixedByThePreviousUsersIndex) {
  RCT_Set_Max_Channel_Number(1);
  ASSERT_EQ(RCT_Initialize(), 1);
  id = rct_attach_for_test(kSid, kCh, 5);
  ASSERT_EQ(id, 0);
  Feed(packet(RCT_MSG_HEARTBIT, 0, "", 7));
  EXPECT_EQ(View().remoteIndex, 7);
  rct_detach_for_test(id);
  id = rct_attach_for_test(kSid, kCh, 5);
  ASSERT_EQ(id, 0);
  EXPECT_EQ(View().lastRemoteIndex, 7);
  Feed(packet(RCT_MSG_HEARTBIT, 0, "", 7));
  EXPECT_EQ(View().remoteFixed, 0);
  Feed(packet(RCT_MSG_HEARTBIT, 0, "", 9, 5));
  EXPECT_EQ(View().remoteIndex, 9);
  EXPECT_EQ(View().remoteFixed, 1);
  // Once fixed, a heartbeat with another index is ignored whole.
  Feed(packet(RCT_MSG_HEARTBIT, 0, "", 11, 6));
  EXPECT_EQ(View().remoteIndex, 9);
  EXPECT_EQ(View().peerVersion, 5);
}

TEST_F(Rct, SpecificIdsRunFromOneTo254) {
  RCT_Set_Max_Channel_Number(4);
  ASSERT_EQ(RCT_Initialize(), 4);
  std::vector<int> seen;
  for (int i = 0; i < 260; ++i) {
    int r = rct_attach_for_test(kSid, kCh, 5);
    ASSERT_GE(r, 0);
    RctView v{};
    rct_view(r, &v);
    seen.push_back(v.specificId);
    rct_detach_for_test(r);
  }
  // The counter is process-wide: it goes on from wherever earlier channels left it.
  for (int i = 0; i < 260; ++i) EXPECT_EQ(seen[(size_t)i], (seen[0] - 1 + i) % 254 + 1) << i;
}

TEST_F(Rct, MalformedPacketsChangeNothing) {
  Attach();
  auto good = packet(RCT_MSG_DATA, 0, "abc");
  auto bad_magic = good;
  bad_magic[0] ^= 1;
  Feed(bad_magic);
  auto longer = good;
  longer.push_back('!');  // head length disagrees with the datagram
  Feed(longer);
  Feed(std::vector<uint8_t>(good.begin(), good.begin() + 19));
  Feed(packet(RCT_MSG_DATA, 0, std::string(1281, 'o')));  // beyond the receive buffer
  Feed(packet(RCT_MSG_DATA, 0, ""));
  auto sk = sack2({{0, 0}}, 1);
  sk.pop_back();
  Feed(sk);
  RCTRecvCB(kSid, kCh, nullptr, 20, 0);
  RCTRecvCB(kSid + 1, kCh, good.data(), (uint32_t)good.size(), 0);  // another session
  EXPECT_TRUE(Sent().empty());
  RctView v = View();
  EXPECT_EQ(v.recvListCount, 0u);
  EXPECT_EQ(v.expected, 0u);
  Feed(packet(RCT_MSG_DATA, 0, std::string(1280, 'k')));
  EXPECT_EQ(View().bufInRecv, 1280u);
}

TEST_F(Rct, APeerSendingFarAheadLeavesMemoryBounded) {
  Attach();
  Feed(packet(RCT_MSG_DATA, rct_id_make(5, 0x7FFFFFFF), "far"));
  Feed(packet(RCT_MSG_DATA, RCT_RECV_SPAN_LIMIT, "edge"));
  for (uint64_t i = 1; i < 3 * RCT_RECV_SPAN_LIMIT; i += 1) Feed(packet(RCT_MSG_DATA, i, std::string(1000, 'm')));
  RctView v = View();
  EXPECT_LE(v.recvListCount, RCT_RECV_SPAN_LIMIT);
  EXPECT_LE(v.bufInRecv, RCT_RECV_BYTES_LIMIT);
  // What was not stored was not acknowledged either: no SACK2 range reaches past what is held.
  for (const RctSent& s : Sent())
    if (s.type == RCT_MSG_DATA_SACK2) {
      EXPECT_LT(s.to, RCT_RECV_SPAN_LIMIT);
    }
  // Once the gap at 0 fills, reading frees room and later packets are taken again.
  Feed(packet(RCT_MSG_DATA, 0, "z"));
  char buf[65536];
  size_t total = 0;
  int n;
  while ((n = RCT_Read(id, buf, sizeof buf, 0)) > 0) total += (size_t)n;
  EXPECT_GT(total, 1000u * 1000);
  EXPECT_EQ(View().recvListCount, 0u);
  uint64_t next = View().deliveryPoint;
  Feed(packet(RCT_MSG_DATA, next, "again"));
  EXPECT_EQ(ReadAll(), "again");
}

TEST_F(Rct, SenderSideAcknowledgementsEmptyTheSendList) {
  Attach();
  std::string data(1280 * 6, 's');
  ASSERT_EQ(RCT_Write(id, data.data(), (unsigned)data.size()), (int)data.size());
  ASSERT_EQ(RCT_Flush(id), 0);
  auto s = Sent();
  ASSERT_EQ(s.size(), 6u);  // within the window every packet leaves at once
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i].id, i);
  EXPECT_EQ(View().sendQ, 6u);
  Feed(packet(RCT_MSG_DATA_ACK2, 1));
  EXPECT_EQ(View().sendQ, 4u);
  // Five ranges announced: only the first four count.
  Feed(sack2({{2, 2}, {3, 3}, {4, 4}, {5, 5}}, 9));
  EXPECT_EQ(View().sendQ, 0u);
  EXPECT_EQ(View().sendBytes, 0u);
  ASSERT_EQ(RCT_Write(id, "abc", 3), 3);
  ASSERT_EQ(RCT_Flush(id), 0);
  Feed(sack2({{7, 7}}, 1));  // beyond what was sent: nothing removed
  Feed(packet(RCT_MSG_DATA_ACK, 6));
  EXPECT_EQ(View().sendQ, 0u);
}

TEST_F(Rct, FinEndsTheReceiveSideAndReadReportsEndOfData) {
  Attach();
  Feed(packet(RCT_MSG_DATA, 0, "last"));
  Feed(packet(RCT_MSG_FIN, ~0ull));
  auto s = Sent();
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s.back().type, RCT_MSG_QUIT);
  char buf[16];
  EXPECT_EQ(RCT_Read(id, buf, sizeof buf, 0), 4);
  EXPECT_EQ(RCT_Read(id, buf, sizeof buf, 0), RCT_ER_END_OF_DATA);
  EXPECT_EQ(RCT_Write(id, "x", 1), RCT_ER_INVALID_ID);
  // Later packets of the channel are ignored.
  Feed(packet(RCT_MSG_DATA, 1, "late"));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(Rct, SessionLossIsStoredAndReported) {
  Attach();
  RCTRecvCB(kSid, kCh, nullptr, 0, OVC_ER_CLOSED_TIMEOUT);
  char buf[4];
  EXPECT_EQ(RCT_Read(id, buf, 4, 0), OVC_ER_CLOSED_TIMEOUT);
  EXPECT_EQ(RCT_Write(id, "x", 1), OVC_ER_CLOSED_TIMEOUT);
}

TEST_F(Rct, InterfaceEdges) {
  EXPECT_EQ(RCT_Set_MaxPacketDataSize(99), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Set_MaxPacketDataSize(1281), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Set_MaxPacketDataSize(100), 0);
  EXPECT_EQ(RCT_Set_MaxPacketDataSize(1280), 0);
  EXPECT_EQ(RCT_GetRCTApiVer(), 0x0301052A);
  EXPECT_EQ(RCT_Create(0, 10, 1), RCT_ER_NOT_INITIALIZED);
  EXPECT_EQ(RCT_DeInitialize(), RCT_ER_NOT_INITIALIZED);
  ASSERT_EQ(RCT_Initialize(), 128);
  EXPECT_EQ(RCT_Initialize(), RCT_ER_ALREADY_INITIALIZED);
  EXPECT_EQ(RCT_Create(-1, 10, 1), OVC_ER_INVALID_SID);
  EXPECT_EQ(RCT_Create(0, 10, 32), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Create_Exit(-1, 1), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Create_Exit(0, 1), RCT_ER_INVALID_ID);
  char buf[8];
  for (int bad : {-1, 128, 1 << 20}) {
    EXPECT_EQ(RCT_Read(bad, buf, 8, 0), RCT_ER_INVALID_ID);
    EXPECT_EQ(RCT_Write(bad, buf, 8), RCT_ER_INVALID_ID);
    EXPECT_EQ(RCT_Destroy(bad), RCT_ER_INVALID_ID);
    EXPECT_EQ(RCT_Abort(bad), RCT_ER_INVALID_ID);
    EXPECT_EQ(RCT_Flush(bad), RCT_ER_INVALID_ID);
  }
  id = rct_attach_for_test(kSid, kCh, 5);
  ASSERT_GE(id, 0);
  EXPECT_EQ(rct_attach_for_test(kSid, kCh, 5), RCT_ER_CHANNEL_TAKEN);
  EXPECT_EQ(RCT_Read(id, buf, -1, 0), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Read(id, buf, 8, -1), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Write(id, nullptr, 3), RCT_ER_INVALID_ARG);
  EXPECT_EQ(RCT_Read(id, buf, 8, 0), RCT_ER_TIMEOUT);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(RCT_Read(id, buf, 8, 100), RCT_ER_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(95));
  // A wrong guard: nothing written.
  RCT_StatusEx ex;
  memset(&ex, 0xAB, sizeof ex);
  EXPECT_EQ(RCT_Private_Status_Check(1, id, &ex), 0);
  EXPECT_EQ(ex.cwnd, 0xABABu);
  ASSERT_EQ(RCT_Private_Status_Check(RCT_PRIVATE_GUARD, id, &ex), 0);
  EXPECT_EQ(ex.tickLimit, 120);
  EXPECT_EQ(ex.cwnd, 1000);
  RCT_Status st;
  ASSERT_EQ(RCT_Status_Check(id, &st), 0);
  EXPECT_EQ(st.ticksSinceReceipt, 0);
  // A positive send-buffer limit fails a write that would pass it.
  ASSERT_EQ(RCT_Set_Max_SendBuffer_Size(id, 2000), 0);
  std::string big(1500, 'b');
  EXPECT_EQ(RCT_Write(id, big.data(), 1500), 1500);
  EXPECT_EQ(RCT_Flush(id), 0);
  EXPECT_EQ(RCT_Write(id, big.data(), 1500), RCT_ER_SEND_BUFFER_FULL);
  // Urgent data is checked for its length.
  rct_take_sent(nullptr, 0);
  RCT_Write_UrgentData(RCT_PRIVATE_GUARD, id, big.data(), 1281);
  RCT_Write_UrgentData(RCT_PRIVATE_GUARD, id, big.data(), 0);
  RCT_Write_UrgentData(0, id, big.data(), 10);
  EXPECT_TRUE(Sent().empty());
  RCT_Write_UrgentData(RCT_PRIVATE_GUARD, id, big.data(), 10);
  auto s = Sent();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].type, RCT_MSG_URGENT);
}

}  // namespace
