// A vdt connection of this library against the independent Python endpoint on loopback,
// plainly and with each of the peer's lies.
#include <gtest/gtest.h>

#include <algorithm>

#include "vdt_peer_util.h"

namespace {

using namespace vdttest;

TEST(VdtPeer, StreamsBothWays) {
  PeerRun r;
  r.to_peer = 4 << 20;
  r.from_peer = 2 << 20;
  RunAgainstPeer(r);
}

TEST(VdtPeer, LiesAreDroppedOrCappedAndTheConnectionLives) {
  struct Case {
    const char* lie;
  } cases[] = {{"mtu-huge"}, {"ack-overcount"}, {"seq-far"}, {"third-hello"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.lie);
    PeerRun r;
    r.lies = {k.lie};
    int payload = 0;
    auto lines = RunAgainstPeer(r, &payload);
    EXPECT_LE(payload, 1384);  // a huge MTU reply is capped at the slot
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("REFLECTED")), 0);
  }
}

}  // namespace
