// The NAT client's views of a connection's vdt, for both instances.
#include <gtest/gtest.h>

#include "vdt.h"
#include "vdt_nat.h"
#include "vdt_test_util.h"
#include "vv_instance.h"

namespace {

struct Twin {
  int index;
  int (*sndbuff)(int);
  int (*vdt_id)(int);
  int (*sendable)(int);
  void (*setbuff)(int, int);
  int (*send)(int, uint16_t, uint16_t, const void*, int);
};

const Twin kTwins[] = {
    {1, vv_nat_vdt_sndbuff, vv_nat_vdt_id, vv_nat_sendable, vv_nat_vdt_setbuff, vv_nat_vdt_send},
    {2, vv2_nat_vdt_sndbuff, vv2_nat_vdt_id, vv2_nat_sendable, vv2_nat_vdt_setbuff, vv2_nat_vdt_send},
};

void SetConn(int instance, int index, int established, int version, int vdt_id) {
  VvInstance& in = vv_instance(instance);
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_conn& c = in.st.conns[index - 1];
  c.established = established;
  c.peer_version = version;
  c.vdt_id = vdt_id;
}

TEST(VdtNat, SetbuffClampsInBothInstances) {
  struct Case {
    int snd, rcv, want_snd, want_rcv;
  } cases[] = {{1000, 0, 65536, 200000}, {0, 9999999, 65536, 512000}, {100000, 70000, 100000, 70000}};
  for (const auto& t : kTwins) {
    {
      std::lock_guard<std::mutex> lock(vv_instance(t.index).mu);
      vv_instance(t.index).st.vdt_rcvbuf = 200000;
    }
    for (const auto& k : cases) {
      t.setbuff(k.snd, k.rcv);
      std::lock_guard<std::mutex> lock(vv_instance(t.index).mu);
      EXPECT_EQ(vv_instance(t.index).st.vdt_sndbuf, k.want_snd) << t.index;
      EXPECT_EQ(vv_instance(t.index).st.vdt_rcvbuf, k.want_rcv) << t.index;
    }
  }
}

TEST(VdtNat, ConnectionViews) {
  vdt_init();
  for (const auto& t : kTwins) {
    SCOPED_TRACE(t.index);
    EXPECT_EQ(t.sndbuff(0), -1);
    EXPECT_EQ(t.vdt_id(101), -1);
    EXPECT_EQ(t.sendable(-3), -1);
    EXPECT_EQ(t.send(0, 1, 2, "x", 1), -1);
    SetConn(t.index, 5, 0, 118, 0);
    EXPECT_EQ(t.sndbuff(5), 0);
    EXPECT_EQ(t.vdt_id(5), 0);
    EXPECT_EQ(t.sendable(5), 0);
    SetConn(t.index, 5, 1, 35, 0);  // an old peer is served without vdt
    EXPECT_EQ(t.sendable(5), 1);
    EXPECT_EQ(t.vdt_id(5), -1);
    EXPECT_EQ(t.sndbuff(5), -1);
    SetConn(t.index, 5, 1, 118, 0);
    EXPECT_EQ(t.sendable(5), 0);
    EXPECT_EQ(t.send(5, 1, 2, "x", 1), -1);
    // A vdt whose path is not probed yet has no room.
    uint16_t port;
    int id = vdt_create(vdttest::UdpSocket("127.0.0.1", 0, &port), 65536, 65536);
    SetConn(t.index, 5, 1, 118, id);
    EXPECT_EQ(t.vdt_id(5), id);
    EXPECT_EQ(t.sndbuff(5), 0);
    EXPECT_EQ(t.sendable(5), 0);
    EXPECT_EQ(t.send(5, 1, 2, "x", 1), 0);
    vdt_close(id);
    SetConn(t.index, 5, 0, 0, 0);
  }
}

}  // namespace
