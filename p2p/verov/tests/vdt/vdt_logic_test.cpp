// vdt's sender and receiver steps on one record, driven by a scripted peer socket on
// loopback; no layer threads run here.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vdt_conn.h"
#include "vdt_packet.h"

namespace {

int udp_on_loopback(uint16_t* port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t l = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  *port = ntohs(a.sin_port);
  return s;
}

// One record whose destination is a plain socket the test reads and writes.
struct Scripted {
  uint16_t own_port = 0, peer_port = 0;
  int peer = -1;
  VdtRef c;
  sockaddr_in peer_addr{};

  explicit Scripted(int sndbuf = 65536, int rcvbuf = 512000, int payload = 1384) {
    int s = udp_on_loopback(&own_port);
    peer = udp_on_loopback(&peer_port);
    c = vdt_conn_new(s, sndbuf, rcvbuf);
    vdt_conn_set_dest4(*c, "127.0.0.1", peer_port);
    peer_addr.sin_family = AF_INET;
    peer_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer_addr.sin_port = htons(peer_port);
    c->payload_size = static_cast<uint16_t>(payload);
    c->packet_size = static_cast<uint16_t>(payload + 16);
  }
  ~Scripted() { close(peer); }

  void set_peer_slots(uint16_t n) {
    std::lock_guard<std::mutex> lock(c->snd.mu);
    c->snd.peer_slots = n;
    c->snd.max_window = std::min<uint16_t>(n, 20);
  }
  // Datagrams waiting at the peer.
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    char buf[2048];
    pollfd p{peer, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
      ssize_t n = recv(peer, buf, sizeof(buf), 0);
      if (n < 0) break;
      out.emplace_back(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // Hands bytes to the record as if they came from `from_port` on loopback.
  int feed(std::string d, uint16_t from_port = 0) {
    sockaddr_in f = peer_addr;
    if (from_port) f.sin_port = htons(from_port);
    return vdt_dispatch(*c, reinterpret_cast<unsigned char*>(&d[0]), d.size(),
                        reinterpret_cast<sockaddr*>(&f), sizeof(f), nullptr);
  }
};

std::string ack(uint32_t highest, std::vector<uint32_t> missing, int claimed_n = -1) {
  unsigned char buf[VDT_DGRAM_MAX];
  size_t len = vdt_encode_ack(buf, 300, highest, missing.data(), missing.size());
  if (claimed_n >= 0) vdt_put16(buf + 6, static_cast<uint16_t>(claimed_n));
  return std::string(reinterpret_cast<char*>(buf), len);
}

std::string data_packet(uint32_t seq, const std::string& payload, bool last, uint8_t every = 5) {
  unsigned char buf[VDT_DGRAM_MAX];
  VdtDataHead h{seq, static_cast<uint16_t>(payload.size()), static_cast<uint8_t>(last), 0, every};
  vdt_encode_data_head(buf, h);
  memcpy(buf + 16, payload.data(), payload.size());
  return std::string(reinterpret_cast<char*>(buf), 16 + payload.size());
}

int count_type(const std::vector<std::string>& ds, int type) {
  int n = 0;
  for (auto& d : ds)
    if (vdt_packet_type(reinterpret_cast<const unsigned char*>(d.data()), d.size()) == type) ++n;
  return n;
}

// Slot counts travel in 16-bit fields: a buffer of more than 65535 slots gets 65535.
TEST(VdtSender, SlotCountStaysWithinSixteenBits) {
  uint16_t port = 0;
  int s = udp_on_loopback(&port);
  VdtRef c = vdt_conn_new(s, 70000 * VDT_SLOT_SIZE, 2 * VDT_SLOT_SIZE);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->snd.slots.size(), 65535u);
  EXPECT_EQ(c->rcv.slots.size(), 2u);
  EXPECT_EQ(c->snd.free_slots(), 65535);
}

TEST(VdtSender, MessageSplitsAtThePayloadSize) {
  struct Case {
    size_t len;
    int packets;
  } cases[] = {{1384, 1}, {1385, 2}, {1, 1}, {3 * 1384, 3}};
  for (const auto& k : cases) {
    Scripted s;
    std::string msg(k.len, 'm');
    EXPECT_EQ(vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size()),
              static_cast<int>(k.len));
    EXPECT_EQ(s.c->snd.queued(), k.packets) << k.len;
    VdtSlot& last = s.c->snd.slot(static_cast<uint32_t>(k.packets));
    EXPECT_EQ(last.pkt[10], 1) << k.len;
    if (k.packets > 1) EXPECT_EQ(s.c->snd.slot(1).pkt[10], 0) << k.len;
  }
}

TEST(VdtSender, TakesOnlyWhatFreeSlotsHold) {
  Scripted s(1440 * 3);
  std::string msg(5 * 1384, 'x');
  EXPECT_EQ(vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size()),
            3 * 1384);
  EXPECT_EQ(s.c->snd.free_slots(), 0);
}

TEST(VdtSender, WindowFollowsLossyAndCleanAcks) {
  struct Case {
    uint16_t start, peer_slots;
    int lossy, clean;
    uint16_t expect;
  } cases[] = {
      {8, 355, 10, 0, 7},  {8, 355, 9, 0, 8},   {5, 355, 30, 0, 5},  {6, 355, 20, 0, 5},
      {5, 355, 0, 20, 6},  {5, 355, 0, 19, 5},  {19, 355, 0, 60, 20}, {5, 7, 0, 100, 7},
      {9, 355, 10, 20, 9},
  };
  for (const auto& k : cases) {
    Scripted s;
    s.set_peer_slots(k.peer_slots);
    s.c->snd.window = k.start;
    std::string msg(1384, 'a');
    // Each lossy ack names the newest packet, still in flight.
    for (int i = 0; i < k.lossy; ++i) {
      vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
      s.c->snd.burst = false;
      ASSERT_GT(vdt_sender_send(*s.c), 0);
      uint32_t seq = s.c->snd.send_next - 1;
      s.feed(ack(seq, {seq}));
    }
    for (int i = 0; i < k.clean; ++i) s.feed(ack(0, {}));
    EXPECT_EQ(s.c->snd.window, k.expect)
        << "start " << k.start << " lossy " << k.lossy << " clean " << k.clean;
  }
}

TEST(VdtSender, ReportedLossIsResentOnceWithinTheGuard) {
  Scripted s;
  s.set_peer_slots(100);
  std::string msg(3 * 1384, 'z');
  vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
  ASSERT_EQ(vdt_sender_send(*s.c), 3);
  EXPECT_EQ(count_type(s.drain(), VDT_PACKET), 3);
  s.c->rtt_us = 2000000;  // a long guard: RTT + 50 ms
  s.feed(ack(3, {2}));
  s.c->snd.burst = false;
  EXPECT_EQ(vdt_sender_send(*s.c), 1);  // the first resend goes at once
  auto got = s.drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(vdt_get32(reinterpret_cast<const unsigned char*>(got[0].data()) + 4), 2u);
  EXPECT_EQ(static_cast<unsigned char>(got[0][11]), 1);  // its retransmission count
  s.feed(ack(3, {2}));  // a second report inside the guard
  s.c->snd.burst = false;
  EXPECT_EQ(vdt_sender_send(*s.c), 0);
  EXPECT_EQ(count_type(s.drain(), VDT_PACKET), 0);
  EXPECT_EQ(s.c->snd.inflight, 1);
  s.feed(ack(3, {}));
  EXPECT_EQ(s.c->snd.inflight, 0);
  EXPECT_EQ(s.c->snd.free_slots(), s.c->snd.slots.size());
}

TEST(VdtSender, AckNamesAreCheckedAgainstWhatIsInFlight) {
  Scripted s;
  s.set_peer_slots(100);
  std::string msg(2 * 1384, 'q');
  vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
  vdt_sender_send(*s.c);
  s.drain();
  // A count beyond the datagram is dropped whole; numbers outside the flight are ignored.
  EXPECT_EQ(s.feed(ack(2, {}, 50)), -1);
  EXPECT_EQ(s.c->snd.inflight, 2);
  EXPECT_EQ(s.feed(ack(0x40000000u, {7, 0xfffffff0u, 1000000})), VDT_ACK);
  EXPECT_EQ(s.c->snd.inflight, 0);
}

// A long-lived tunnel passes 2^32 packets; neither side's slots may collide when the
// numbers wrap.
TEST(VdtSender, NumbersWrapWithoutSharingASlot) {
  struct Case {
    int sndbuf;
    uint32_t first;
  } cases[] = {{65536, 0xfffffff0u}, {512000, 0xffffff00u}, {65536, 0xffffffffu}};
  for (const auto& k : cases) {
    Scripted s(k.sndbuf);
    s.set_peer_slots(1000);
    s.c->snd.window = 40;  // a pass stays within the peer socket's buffer
    s.c->snd.next_seq = s.c->snd.base = s.c->snd.send_next = k.first;
    const size_t n = s.c->snd.slots.size();
    std::string msg;
    for (size_t i = 0; i < n; ++i) msg += std::string(1384, static_cast<char>('A' + i % 50));
    ASSERT_EQ(vdt_sender_put(*s.c, reinterpret_cast<const unsigned char*>(msg.data()), msg.size()),
              static_cast<int>(msg.size()));
    std::vector<std::string> got;
    for (int pass = 0; pass < 20 && got.size() < n; ++pass) {
      s.c->snd.burst = false;
      vdt_sender_send(*s.c);
      for (auto& d : s.drain()) got.push_back(d);
    }
    ASSERT_EQ(got.size(), n) << std::hex << k.first;
    for (size_t i = 0; i < n; ++i) {
      auto* d = reinterpret_cast<const unsigned char*>(got[i].data());
      EXPECT_EQ(vdt_get32(d + 4), static_cast<uint32_t>(k.first + i)) << i;
      EXPECT_EQ(got[i].substr(16), msg.substr(i * 1384, 1384)) << std::hex << k.first << " " << i;
    }
    // Everything acknowledged frees every slot.
    s.feed(ack(static_cast<uint32_t>(k.first + n - 1), {}));
    EXPECT_EQ(s.c->snd.inflight, 0);
    EXPECT_EQ(s.c->snd.free_slots(), n);
  }
}

TEST(VdtRecver, NumbersWrapWithoutSharingASlot) {
  struct Case {
    int rcvbuf;
    uint32_t first;
  } cases[] = {{512000, 0xffffff00u}, {65536, 0xfffffff0u}, {1440 * 7, 0xfffffffdu}};
  for (const auto& k : cases) {
    Scripted s(65536, k.rcvbuf);
    const uint32_t m = static_cast<uint32_t>(s.c->rcv.slots.size());
    s.c->rcv.expected = k.first;
    s.c->rcv.highest = s.c->rcv.highest_acked = k.first - 1;
    // Newest first, so every packet waits in its slot until the first arrives.
    for (uint32_t i = m; i-- > 0;)
      s.feed(data_packet(k.first + i, std::string(1, static_cast<char>('a' + i % 26)), true, 255));
    EXPECT_EQ(s.c->rcv.stored, m) << std::hex << k.first;
    unsigned char buf[16];
    for (uint32_t i = 0; i < m; ++i) {
      ASSERT_EQ(vdt_recver_get(*s.c, buf, sizeof(buf)), 1) << std::hex << k.first << " " << i;
      EXPECT_EQ(buf[0], 'a' + i % 26) << i;
    }
    EXPECT_EQ(s.c->rcv.stored, 0);
  }
}

TEST(VdtRecver, DeliversOneMessagePerCallAndInParts) {
  Scripted s;
  s.feed(data_packet(1, "abc", false));
  s.feed(data_packet(2, "def", true));
  s.feed(data_packet(3, "ghij", true));
  unsigned char buf[16];
  EXPECT_EQ(vdt_recver_get(*s.c, buf, sizeof(buf)), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "abcdef");
  EXPECT_EQ(vdt_recver_get(*s.c, buf, 3), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "ghi");
  EXPECT_EQ(vdt_recver_get(*s.c, buf, 3), 1);
  EXPECT_EQ(buf[0], 'j');
  EXPECT_EQ(vdt_recver_get(*s.c, buf, 3), 0);
}

TEST(VdtRecver, OutOfOrderWaitsForTheGapAndDropsOutsideTheWindow) {
  Scripted s(65536, 1440 * 10);
  s.feed(data_packet(2, "b", true));
  unsigned char buf[16];
  EXPECT_EQ(vdt_recver_get(*s.c, buf, sizeof(buf)), 0);
  s.feed(data_packet(11, "x", true));          // expected + slots: no slot for it
  s.feed(data_packet(0x7fffffff, "y", true));  // far beyond
  EXPECT_EQ(s.c->rcv.stored, 1);
  EXPECT_EQ(s.c->rcv.highest, 2u);
  s.feed(data_packet(1, "a", true));
  s.feed(data_packet(1, "a", true));  // duplicate
  EXPECT_EQ(vdt_recver_get(*s.c, buf, sizeof(buf)), 1);
  EXPECT_EQ(vdt_recver_get(*s.c, buf, sizeof(buf)), 1);
  EXPECT_EQ(buf[0], 'b');
}

TEST(VdtRecver, AckListsGapsAndStaysInOneDatagram) {
  Scripted s;  // 355 receive slots
  s.drain();
  // Only the last number of the window arrives: 354 gaps, more than one ack holds.
  s.feed(data_packet(355, "z", true, 1));
  auto got = s.drain();
  ASSERT_EQ(count_type(got, VDT_ACK), 1);
  VdtAck a;
  const auto* d = reinterpret_cast<const unsigned char*>(got.back().data());
  ASSERT_TRUE(vdt_decode_ack(d, got.back().size(), &a));
  EXPECT_LE(got.back().size(), static_cast<size_t>(VDT_DGRAM_MAX));
  EXPECT_EQ(a.n, VDT_ACK_MISSING_MAX);
  EXPECT_EQ(vdt_ack_missing(a, 0), 1u);
  // Nothing unlisted may count as received.
  EXPECT_EQ(a.highest, static_cast<uint32_t>(VDT_ACK_MISSING_MAX));
  // Small gaps: listed exactly.
  Scripted t;
  t.feed(data_packet(1, "a", false, 9));
  t.feed(data_packet(3, "c", false, 9));
  t.feed(data_packet(6, "f", false, 1));
  got = t.drain();
  ASSERT_GE(got.size(), 1u);
  d = reinterpret_cast<const unsigned char*>(got.back().data());
  ASSERT_TRUE(vdt_decode_ack(d, got.back().size(), &a));
  ASSERT_EQ(a.n, 3);
  EXPECT_EQ(vdt_ack_missing(a, 0), 2u);
  EXPECT_EQ(vdt_ack_missing(a, 1), 4u);
  EXPECT_EQ(vdt_ack_missing(a, 2), 5u);
  EXPECT_EQ(a.highest, 6u);
}

TEST(VdtRecver, AskBeyondWhatArrivedListsTheTail) {
  Scripted s;
  s.feed(data_packet(1, "a", false, 9));
  unsigned char ask[16];
  VdtStamp st{4, 0, 0, 0};
  vdt_encode_ask(ask, st);
  s.feed(std::string(reinterpret_cast<char*>(ask), 16));
  EXPECT_TRUE(s.c->rcv.ask_flag);
  s.drain();
  vdt_send_ask_ack_if_flagged(*s.c);
  auto got = s.drain();
  ASSERT_EQ(got.size(), 1u);
  VdtAck a;
  ASSERT_TRUE(vdt_decode_ack(reinterpret_cast<const unsigned char*>(got[0].data()), got[0].size(), &a));
  ASSERT_EQ(a.n, 3);
  EXPECT_EQ(vdt_ack_missing(a, 2), 4u);
  // An ask far beyond the slots lists no more than the slots can take.
  st.seq = 0x7ffffff0;
  vdt_encode_ask(ask, st);
  s.feed(std::string(reinterpret_cast<char*>(ask), 16));
  vdt_send_ask_ack_if_flagged(*s.c);
  got = s.drain();
  ASSERT_EQ(got.size(), 1u);
  ASSERT_TRUE(vdt_decode_ack(reinterpret_cast<const unsigned char*>(got[0].data()), got[0].size(), &a));
  EXPECT_EQ(a.n, VDT_ACK_MISSING_MAX);
}

TEST(VdtPath, MtuReplyIsCappedAndHelloFromAStrangerIsNotReflected) {
  Scripted s;
  s.c->payload_size = 0;
  s.c->packet_size = 0;
  unsigned char probe[VDT_DGRAM_MAX];
  VdtStamp st{0, 1, 2, 1000};
  vdt_encode_check_mtu(probe, st);
  unsigned char re[16];
  vdt_encode_check_mtu_re(re, probe);
  vdt_put16(re + 12, 60000);  // a lie: larger than any slot
  s.feed(std::string(reinterpret_cast<char*>(re), 16));
  EXPECT_EQ(s.c->packet_size.load(), VDT_DGRAM_MAX);
  EXPECT_EQ(s.c->payload_size.load(), VDT_PAYLOAD_MAX);
  vdt_put16(re + 12, 100);  // never probed
  s.c->packet_size = 0;
  s.feed(std::string(reinterpret_cast<char*>(re), 16));
  EXPECT_EQ(s.c->packet_size.load(), 0);

  uint16_t stranger_port;
  int stranger = udp_on_loopback(&stranger_port);
  unsigned char hello[VDT_HELLO_LEN];
  VdtHello h{1, 2, 0, 3, 3};
  vdt_encode_hello(hello, VDT_HELLO, h);
  s.drain();
  EXPECT_EQ(s.feed(std::string(reinterpret_cast<char*>(hello), sizeof(hello)), stranger_port), VDT_HELLO);
  EXPECT_EQ(s.drain().size(), 0u);  // nothing to the destination
  char buf[64];
  pollfd p{stranger, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_EQ(recv(stranger, buf, sizeof(buf), 0), VDT_HELLO_LEN);  // the sender got its reply
  EXPECT_EQ(s.c->snd.peer_slots, 5);  // and its slot count was not taken
  close(stranger);
  // Data from a stranger changes nothing.
  EXPECT_EQ(s.feed(data_packet(1, "a", true), stranger_port), -1);
  EXPECT_EQ(s.c->rcv.stored, 0);
}

TEST(VdtPath, MtuProbesShrinkToTheFloor) {
  Scripted s;
  s.c->payload_size = 0;
  s.c->packet_size = 0;
  s.c->hello_counter = 1;
  std::vector<size_t> sizes;
  for (int i = 0; i < 17; ++i) {
    s.c->last_probe = 0;
    vdt_send_check_mtu(*s.c);
    for (auto& d : s.drain()) sizes.push_back(d.size());
  }
  ASSERT_EQ(sizes.size(), 17u);
  EXPECT_EQ(sizes[0], 1400u);
  EXPECT_EQ(sizes[1], 1336u);
  EXPECT_EQ(sizes[13], 568u);
  EXPECT_EQ(sizes[14], 512u);
  EXPECT_EQ(sizes[16], 512u);
}

TEST(VdtPath, HelloReplyMeasuresRttAndSilenceCloses) {
  Scripted s;
  vdt_timing t{2000, 5000, 300, 3};
  vdt_set_timing(&t);
  vdt_send_hello(*s.c);
  auto got = s.drain();
  ASSERT_EQ(got.size(), 1u);
  std::string re = got[0];
  vdt_put16(reinterpret_cast<unsigned char*>(&re[0]) + 2, VDT_HELLO_RE);
  s.feed(re);
  EXPECT_EQ(s.c->hello_counter, 1);
  EXPECT_GT(s.c->rtt_us.load(), 0);
  EXPECT_LE(s.c->rtt_us.load(), 3000000);
  // Unanswered hellos: the third one in a row closes the connection.
  s.c->last_reply = 0;
  for (int i = 0; i < 4; ++i) {
    s.c->last_hello = 0;
    vdt_send_hello(*s.c);
  }
  EXPECT_FALSE(s.c->open.load());
  vdt_set_timing(nullptr);
}

// Reception on one connection keeps only that one alive.
TEST(VdtPath, LivenessIsPerConnection) {
  vdt_timing t{60, 300, 20, 1000};
  vdt_set_timing(&t);
  Scripted quiet, busy;
  bool busy_open = true;
  for (int i = 0; i < 40; ++i) {  // 40 ticks of 20 ms: well past the 300 ms limit
    busy.feed(data_packet(static_cast<uint32_t>(i + 1), "k", true, 50));
    vdt_send_hello(*quiet.c);
    vdt_send_hello(*busy.c);
    busy_open = busy_open && busy.c->open.load();
    struct timespec ts {0, 20000000};
    nanosleep(&ts, nullptr);
  }
  EXPECT_FALSE(quiet.c->open.load());
  EXPECT_TRUE(busy_open);
  vdt_set_timing(nullptr);
}

}  // namespace
