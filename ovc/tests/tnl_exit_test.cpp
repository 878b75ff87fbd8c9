// A program that ends while the tunnel agent still has a mapping listening (a session the
// program never stopped) ends with its own exit code, not with an abort.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Tunnel/tnl_agent_internal.h"
#include "ovc_state.h"
#include "p2ptunnel_api.h"

namespace {

int one_loopback(orvan_net_if_info_t* info) {
  memset(info, 0, sizeof *info);
  info->addr[0] = htonl(0x7F000001u);
  info->mask[0] = 0xFFFFFFFFu;
  return 1;
}

void EndWithAMappingListening() {
  ovc_set_interface_source(one_loopback);
  const uint32_t nets[1] = {htonl(0x7F000000u)};
  const int prefixes[1] = {8};
  ovc_set_lan_networks(nets, prefixes, 1);
  if (P2PTunnelAgentInitialize(4) != 0) _exit(3);
  const int idx = P2PTunnelAgent_PortMapping(0, 0, 9);
  if (idx < 0 || tnl_mapping_local_port(idx) == 0) _exit(4);
  exit(7);
}

}  // namespace

TEST(TnlAgentExit, ProgramEndsWithItsCodeWhileAMappingListens) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(EndWithAMappingListening(), ::testing::ExitedWithCode(7), "");
}
