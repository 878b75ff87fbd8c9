// Server messages on the main sockets of both instances: the first byte picks the instance and
// the sender (a listed server over IPv4 or IPv6, or a stranger), the rest is the datagram.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "vv_instance.h"
#include "vv_nat.h"
#include "vv_socket.h"
#include "vv_fuzz_util.h"

namespace {

using vvfuzz::touch;

void on_query(const char* uuid, int, const char* addr, const unsigned char* params, int len) {
  touch(uuid, static_cast<int>(strlen(uuid)));
  touch(addr, static_cast<int>(strlen(addr)));
  if (len < 0 || len > 1024) __builtin_trap();
  touch(params, len);
}

void on_conn(VvInstance&, const unsigned char* d, int n, const sockaddr*, int) { touch(d, n); }

int no_names(const char*, int, sockaddr_storage*, int, void*) { return 0; }

void prepare(VvInstance& in) {
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_state& st = in.st;
  memset(&st, 0, sizeof(st));
  snprintf(st.svrip4_list, sizeof(st.svrip4_list), "127.0.0.10|127.0.0.11");
  snprintf(st.svrip6_list, sizeof(st.svrip6_list), "::1");
  st.svrnum = 2;
  snprintf(st.svrs[0].ip4, sizeof(st.svrs[0].ip4), "127.0.0.10");
  snprintf(st.svrs[0].ip6, sizeof(st.svrs[0].ip6), "::1");
  st.svrs[0].port = 7000;
  snprintf(st.svrs[1].ip4, sizeof(st.svrs[1].ip4), "127.0.0.11");
  st.svrs[1].port = 7000;
  snprintf(st.svrkey, sizeof(st.svrkey), "key");
  st.hb_interval = 30;
  st.auth_ok = -1;
  st.auth_interval = 3600;
  st.pwcheck = 1;
  st.conns[3].req_id = 77;
  st.callbacks.OnQueryResult = on_query;
  if (in.flags.index == 1) {
    st.nat64 = 1;
    inet_pton(AF_INET6, "64:ff9b::", &st.nat64_prefix.sin6_addr);
  }
  in.on_conn_message = on_conn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1501) return 0;
  static bool once = [] {
    vv_set_resolver(no_names, nullptr);
    return true;
  }();
  (void)once;
  VvInstance& in = vv_instance((data[0] & 1) ? 2 : 1);
  prepare(in);
  sockaddr_storage from{};
  int fromlen = 16;
  switch ((data[0] >> 1) % 3) {
    case 0: {
      auto* a = reinterpret_cast<sockaddr_in*>(&from);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, "127.0.0.10", &a->sin_addr);
      break;
    }
    case 1: {
      auto* a = reinterpret_cast<sockaddr_in6*>(&from);
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, "::1", &a->sin6_addr);
      fromlen = 28;
      break;
    }
    default: {
      auto* a = reinterpret_cast<sockaddr_in*>(&from);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, "127.0.0.99", &a->sin_addr);
    }
  }
  // An exact-size heap copy, so any read past the datagram is caught.
  std::vector<unsigned char> d(data + 1, data + size);
  if (in.flags.index == 1)
    vv_nat_on_server_msg(d.empty() ? nullptr : d.data(), static_cast<int>(d.size()), &from, fromlen);
  else
    vv2_nat_on_server_msg(d.empty() ? nullptr : d.data(), &from, fromlen, static_cast<int>(d.size()));
  // Whatever arrived, the table and the texts stay within their bounds.
  std::lock_guard<std::mutex> lock(in.mu);
  const vv_nat_state& st = in.st;
  if (st.svrnum < 0 || st.svrnum > VV_MAX_SERVERS) __builtin_trap();
  if (strnlen(st.uuid, sizeof(st.uuid)) == sizeof(st.uuid)) __builtin_trap();
  if (strnlen(st.pubip_list, sizeof(st.pubip_list)) > 98) __builtin_trap();
  for (int i = 0; i < st.svrnum; ++i)
    if (strnlen(st.svrs[i].ip4, 16) == 16 || strnlen(st.svrs[i].ip6, 60) == 60) __builtin_trap();
  return 0;
}
