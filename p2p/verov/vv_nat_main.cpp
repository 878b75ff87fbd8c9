// The registration thread of a NAT-client instance: server list, mapped address, NAT-type
// test, authentication, heartbeats, UPnP report and parameters, and reception on the main
// sockets. One step is taken per cycle; cycles are paced by the reception wait.
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <random>

#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_socket.h"

namespace {

enum {
  kListQuerySize = 16,
  kMappedQuerySize = 12,
  kNatTestSize = 24,
  kHeartbeatSize = 160,
  kParamsHead = 108,
};

// A periodic message may go when its spacing has passed, or when the clock went backwards.
bool spaced(int64_t slot, int64_t spacing, int64_t now) { return now >= slot + spacing || slot > now; }

enum class Step { kServerList, kMapping, kNatTest, kIdle, kRegister };

Step choose(const vv_nat_state& st) {
  if (st.svrnum == 0) return Step::kServerList;
  if (st.checksvrs == 0 || (st.checksvrs == 1 && st.svrnum >= 2)) return Step::kMapping;
  if (st.checksvrs >= 2 && st.nattype == 0) return Step::kNatTest;
  if (!st.uuid[0]) return Step::kIdle;
  return Step::kRegister;
}

std::mt19937& rng() {
  thread_local std::mt19937 r([] {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_usec) ^ static_cast<uint32_t>(tv.tv_sec);
  }());
  return r;
}

// Walks a '|'-separated address list.
template <typename F>
void each_address(const char* list, F f) {
  char copy[200];
  snprintf(copy, sizeof(copy), "%s", list);
  char* save = nullptr;
  for (char* a = strtok_r(copy, "|", &save); a; a = strtok_r(nullptr, "|", &save))
    if (*a) f(a);
}

void server_list_query(VvInstance& in, int64_t now) {
  char l4[200], l6[200];
  int s4, s6;
  uint16_t port;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    vv_nat_state& st = in.st;
    if (!spaced(st.send_slot_time[VV_SLOT_5001], 3, now)) return;
    st.send_slot_time[VV_SLOT_5001] = now;
    memcpy(l4, st.svrip4_list, sizeof(l4));
    memcpy(l6, st.svrip6_list, sizeof(l6));
    s4 = st.sock;
    s6 = st.sock6;
    port = static_cast<uint16_t>(st.svrport + st.svrport_offset);
    st.send_hb += 1;
  }
  unsigned char q[kListQuerySize] = {};
  vv_put16(q, VV_MAGIC);
  vv_put16(q + 2, VV_MSG_SVRLIST_QUERY);
  vv_put32(q + 4, static_cast<uint32_t>(time(nullptr)));
  vv_put16(q + 8, 1);
  vv_put16(q + 10, 50);
  vv_put32(q + 12, 1);
  if (s4 > 0 && l4[0]) {
    each_address(l4, [&](const char* a) {
      sockaddr_in to;
      if (vv_ip4_of(a, port, &to)) SendToA(s4, q, sizeof(q), &to);
    });
    vv_log(in, 2, ">>[%s]:%d Query server list! BYTE:%d\n", l4, port, kListQuerySize);
  }
  if (s6 > 0 && l6[0]) {
    each_address(l6, [&](const char* a) {
      sockaddr_in6 to;
      if (vv_ip6_of(a, port, &to)) SendToA6(s6, q, sizeof(q), &to);
    });
    vv_log(in, 2, ">>[%s]:%d Query server list! BYTE:%d\n", l6, port, kListQuerySize);
  }
}

void build_mapped_query(unsigned char* q) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  vv_put16(q, VV_MAGIC);
  vv_put16(q + 2, VV_MSG_MAPPED_QUERY);
  vv_put32(q + 4, static_cast<uint32_t>(tv.tv_sec));
  vv_put32(q + 8, static_cast<uint32_t>(tv.tv_usec));
}

void mapped_address_query(VvInstance& in, int64_t now) {
  vv_nat_svr svrs[VV_MAX_SERVERS];
  int n, s4, s6;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    vv_nat_state& st = in.st;
    if (!spaced(st.send_slot_time[VV_SLOT_1000], 2, now)) return;
    st.send_slot_time[VV_SLOT_1000] = now;
    n = st.svrnum;
    memcpy(svrs, st.svrs, sizeof(svrs));
    s4 = st.sock;
    s6 = st.sock6;
    st.send_hb += 1;
  }
  unsigned char q[kMappedQuerySize];
  build_mapped_query(q);
  for (int i = 0; i < n && s4 > 0; ++i) {
    sockaddr_in to;
    if (vv_ip4_of(svrs[i].ip4, svrs[i].port, &to)) SendToA(s4, q, sizeof(q), &to);
  }
  if (s6 <= 0 || !vv_pause(in, 20)) return;
  build_mapped_query(q);
  for (int i = 0; i < n; ++i) {
    sockaddr_in6 to;
    if (vv_ip6_of(svrs[i].ip6, svrs[i].port, &to)) SendToA6(s6, q, sizeof(q), &to);
  }
}

int symmetric(const vv_nat_state& st) {
  int first = 0;
  for (int i = 0; i < st.svrnum && i < VV_MAX_SERVERS; ++i) {
    int p = st.svrs[i].mapped_port;
    if (!p) continue;
    if (!first)
      first = p;
    else if (p != first)
      return 1;
  }
  return 0;
}

// Three test sockets ask the selected server to have its assistant answer: s0 from an address
// it never sent to (full cone), s1 after a hello to another port of the assistant (restricted
// cone), s2 after a hello to the assistant's own port (port-restricted cone).
void nat_type_test(VvInstance& in) {
  vv_nat_svr svrs[VV_MAX_SERVERS];
  int n, sym = 0;
  sockaddr_in sel;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    vv_nat_state& st = in.st;
    n = st.svrnum;
    if (n <= 1) {
      st.nattype = -1;
    } else if ((sym = symmetric(st)) != 0) {
      st.nattype = 5;
    }
    memcpy(svrs, st.svrs, sizeof(svrs));
    sel = st.sel_addr4;
  }
  if (n <= 1) {
    if (in.flags.index == 1) vv_log(in, 2, "No enough servers, can't to check NAT type!\n");
    return;
  }
  if (sym) {
    vv_log(in, 2, "Got NAT type: Symmetric NAT\n");
    return;
  }
  int main_idx = -1;
  char sel_text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sel.sin_addr, sel_text, sizeof(sel_text));
  for (int i = 0; i < n; ++i)
    if (strcmp(svrs[i].ip4, sel_text) == 0) {
      main_idx = i;
      break;
    }
  int assistant = -1;
  for (int i = 0; i < n; ++i) {
    if (i == main_idx || svrs[i].delay_us == 0) continue;
    if (assistant < 0 || svrs[i].delay_us < svrs[assistant].delay_us) assistant = i;
  }
  if (assistant < 0) assistant = 0;
  const vv_nat_svr& a = svrs[assistant];
  int s[3];
  for (int& fd : s) fd = CreateSocket(SOCK_DGRAM);
  static const char kHello[] = "HELLO";
  for (int j = 0; j < 3; ++j) {
    if (s[j] <= 0) continue;
    sockaddr_in to;
    if (j == 1 && vv_ip4_of(a.ip4, static_cast<uint16_t>(a.port + 1), &to)) SendToA(s[j], kHello, 6, &to);
    if (j == 2 && vv_ip4_of(a.ip4, a.port, &to)) SendToA(s[j], kHello, 6, &to);
    unsigned char q[kNatTestSize] = {};
    vv_put16(q, VV_MAGIC);
    vv_put16(q + 2, VV_MSG_NAT_TEST);
    snprintf(reinterpret_cast<char*>(q + 4), 16, "%s", a.ip4);
    vv_put16(q + 20, a.port);
    vv_put16(q + 22, static_cast<uint16_t>(j));
    SendToA(s[j], q, sizeof(q), &sel);
  }
  int type = 0;
  for (int round = 0; round < 5 && type != 2; ++round) {
    pollfd p[3];
    for (int j = 0; j < 3; ++j) p[j] = pollfd{s[j] > 0 ? s[j] : -1, POLLIN, 0};
    // These waits are the network's, not the registration's: they stay in real time.
    if (poll(p, 3, 100) < 0) {
      poll(nullptr, 0, 10);
      continue;
    }
    for (int j = 0; j < 3 && type != 2; ++j) {
      if (!(p[j].revents & POLLIN)) continue;
      unsigned char r[100];
      ssize_t got = recv(s[j], r, sizeof(r), MSG_DONTWAIT);
      if (got >= 2 && vv_get16(r) == VV_MAGIC) {
        int t = 2 + j;
        if (type <= 0 || t < type) type = t;
      }
    }
  }
  for (int& fd : s) CloseSocket(&fd);
  if (type == 0) type = -1;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    in.st.nattype = type;
  }
  if (type <= 0)
    vv_log(in, 2, "Check NAT type failed!\n");
  else
    vv_log(in, 2,
           "Got NAT type: %d [1 global 2 Full Cone NAT 3 Restricted Cone NAT 4 Port Restricted "
           "Cone NAT 5 Symmetric NAT]\n",
           type);
}

// Prepared registration datagram and where it goes.
struct Outgoing {
  unsigned char d[VV_TEXT_DGRAM_MAX];
  int len = 0;
};

void send_registration(VvInstance& in, const Outgoing& o) {
  if (o.len <= 0) return;
  int s4, s6, v6;
  sockaddr_in a4;
  sockaddr_in6 a6;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    s4 = in.st.sock;
    s6 = in.st.sock6;
    v6 = in.st.ipv6svr;
    a4 = in.st.sel_addr4;
    a6 = in.st.sel_addr6;
  }
  if (v6)
    SendToA6(s6, o.d, o.len, &a6);
  else
    SendToA(s4, o.d, o.len, &a4);
}

void text_message(Outgoing& o, uint16_t id, const char* text) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  o.len = vv_text_build(o.d, sizeof(o.d), id, text, static_cast<uint32_t>(tv.tv_sec),
                        static_cast<uint32_t>(tv.tv_usec), nullptr);
}

void heartbeat(Outgoing& o, const vv_nat_state& st) {
  memset(o.d, 0, kHeartbeatSize);
  vv_put16(o.d, VV_MAGIC);
  vv_put16(o.d + 2, VV_MSG_HB_KEY);
  vv_put32(o.d + 4, static_cast<uint32_t>(time(nullptr)));
  // Two random words: part of the key, so no two heartbeats are enciphered alike.
  vv_put32(o.d + 8, 1 + 2 * (rng()() & 0x7FFFFFFFu));
  vv_put32(o.d + 12, 1 + 2 * (rng()() & 0x7FFFFFFFu));
  memcpy(o.d + 16, st.svrkey, strnlen(st.svrkey, sizeof(st.svrkey) - 1));
  encrypt_ex(o.d + 16, 32, o.d);
  memcpy(o.d + 48, st.uuid, strnlen(st.uuid, sizeof(st.uuid) - 1));
  vv_put32(o.d + 148, VV_NAT_VERSION);
  vv_put32(o.d + 152, static_cast<uint32_t>(st.nattype));
  vv_put32(o.d + 156, VV_NAT_PLATFORM);
  o.len = kHeartbeatSize;
}

void heartbeat2(Outgoing& o, const vv_nat_state& st) {
  size_t ul = strnlen(st.uuid, 99);
  int padded = static_cast<int>((ul + 1 + 7) / 8 * 8);
  memset(o.d, 0, static_cast<size_t>(20 + padded));
  vv_put16(o.d, VV_MAGIC);
  vv_put16(o.d + 2, VV_MSG_HB2);
  vv_put32(o.d + 4, static_cast<uint32_t>(time(nullptr)));
  vv_put32(o.d + 8, VV_NAT_VERSION);
  vv_put32(o.d + 12, static_cast<uint32_t>(st.nattype));
  vv_put32(o.d + 16, static_cast<uint32_t>(padded));
  memcpy(o.d + 20, st.uuid, ul);
  encrypt_ex(o.d + 20, static_cast<int>(ul + 1), o.d);
  o.len = 20 + padded;
}

// Returns false when the next cycle should start at once.
bool registration(VvInstance& in, int64_t now) {
  Outgoing first, second;
  char hb_log[256] = "", upnp_log[256] = "";
  {
    std::lock_guard<std::mutex> lock(in.mu);
    vv_nat_state& st = in.st;
    bool auth_due = st.auth_interval > 0 &&
                    (st.auth_time == 0 || st.auth_time > now || now >= st.auth_time + st.auth_interval);
    if (auth_due) {
      // An authentication stamped before the clock was set would look ancient: keep it.
      if (st.auth_ok > 0 && st.auth_time >= 1 && st.auth_time <= 86399 &&
          now - st.auth_time >= 100000001) {
        st.auth_time = now;
        return false;
      }
      if (st.nattype != 0 && spaced(st.send_slot_time[VV_SLOT_1023], 10, now)) {
        st.send_slot_time[VV_SLOT_1023] = now;
        char macs[512] = "";
        GetMacAddrs(macs, sizeof(macs));
        char text[VV_TEXT_MAX + 1];
        snprintf(text, sizeof(text), "%s|%s|%s", st.uuid, st.skey, macs);
        text_message(first, VV_MSG_AUTH, text);
        st.send_hb += 1;
      }
    } else if (st.auth_ok > 0) {
      bool hb_due = now >= st.hbtime + st.hb_interval || st.hbtime > now;
      if (hb_due) {
        bool second_form = in.flags.index == 2 && !st.svrkey[0];
        int slot = second_form ? VV_SLOT_1021 : VV_SLOT_1012;
        if ((second_form || st.key_invalid == 0) &&
            spaced(st.send_slot_time[slot], st.send_hb + 5, now)) {
          st.send_slot_time[slot] = now;
          if (second_form)
            heartbeat2(first, st);
          else
            heartbeat(first, st);
          st.send_hb += 1;
          snprintf(hb_log, sizeof(hb_log),
                   ">>[%s|%d] Send Heartbeat! NAT:%d Platform:%d Version:%d UT:%d BYTE:%d\n",
                   st.ipv6svr ? st.svrip6 : st.svrip4,
                   ntohs(st.ipv6svr ? st.sel_addr6.sin6_port : st.sel_addr4.sin_port), st.nattype,
                   VV_NAT_PLATFORM, VV_NAT_VERSION, static_cast<int>(time(nullptr)), first.len);
        }
        if (st.upnp_lport > 0 && (st.upnp_port > 0 || st.nattype == 1) &&
            spaced(st.send_slot_time[VV_SLOT_1100], 10, now)) {
          st.send_slot_time[VV_SLOT_1100] = now;
          char text[VV_TEXT_MAX + 1];
          snprintf(text, sizeof(text), "%s|%s|%d|%d|%d|%d", st.uuid, st.upnp_ip, st.upnp_port,
                   VV_NAT_VERSION, st.nattype, st.upnp_lport);
          text_message(second, VV_MSG_UPNP_REPORT, text);
          snprintf(upnp_log, sizeof(upnp_log), ">>[%s|%d] Send UPNP Address: [%s:%d] LPort:%d\n",
                   st.ipv6svr ? st.svrip6 : st.svrip4,
                   ntohs(st.ipv6svr ? st.sel_addr6.sin6_port : st.sel_addr4.sin_port), st.upnp_ip,
                   st.upnp_port, st.upnp_lport);
        }
      } else if (st.params_size > 0 && now >= st.params_time + 1200 &&
                 spaced(st.send_slot_time[VV_SLOT_1008], 2, now)) {
        st.send_slot_time[VV_SLOT_1008] = now;
        memset(first.d, 0, kParamsHead);
        vv_put16(first.d, VV_MAGIC);
        vv_put16(first.d + 2, VV_MSG_PARAMS);
        memcpy(first.d + 4, st.uuid, strnlen(st.uuid, sizeof(st.uuid) - 1));
        vv_put32(first.d + 104, static_cast<uint32_t>(st.params_size));
        memcpy(first.d + kParamsHead, st.params, static_cast<size_t>(st.params_size));
        first.len = kParamsHead + st.params_size;
      }
    }
  }
  send_registration(in, first);
  send_registration(in, second);
  if (hb_log[0]) vv_log(in, 2, "%s", hb_log);
  if (upnp_log[0]) vv_log(in, 2, "%s", upnp_log);
  return true;
}

void receive_round(VvInstance& in) {
  int s4, s6;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    s4 = in.st.sock;
    s6 = in.st.sock6;
  }
  pollfd p[3];
  int n = 0;
  if (s4 > 0) p[n++] = pollfd{s4, POLLIN, 0};
  if (s6 > 0) p[n++] = pollfd{s6, POLLIN, 0};
  if (in.wake[0] >= 0) p[n++] = pollfd{in.wake[0], POLLIN, 0};
  if (poll(p, static_cast<nfds_t>(n), vv_scaled_ms(2000)) < 0) {
    vv_pause(in, 20);
    return;
  }
  for (int i = 0; i < n; ++i) {
    if (p[i].fd == in.wake[0] || !(p[i].revents & POLLIN)) continue;
    unsigned char buf[1500];
    sockaddr_storage from{};
    socklen_t fl = sizeof(from);
    ssize_t got = recvfrom(p[i].fd, buf, sizeof(buf), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fl);
    if (got <= 0) continue;
    vv_server_msg(in, buf, static_cast<int>(got), reinterpret_cast<sockaddr*>(&from),
                  from.ss_family == AF_INET6 ? 28 : 16);
  }
}

}  // namespace

bool vv_pause(VvInstance& in, int ms) {
  if (!in.run.load()) return false;
  pollfd p{in.wake[0], POLLIN, 0};
  poll(&p, in.wake[0] >= 0 ? 1 : 0, ms);
  return in.run.load() != 0;
}

void vv_nat_main_body(VvInstance& in) {
  pthread_setname_np(pthread_self(), in.flags.index == 1 ? "vv_nat_main" : "vv2_nat_main");
  while (in.run.load()) {
    if (vv_nat_resolve_server(in, 1) == 1) break;
    vv_pause(in, vv_scaled_ms(2000));
  }
  while (in.run.load()) {
    vv_nat_resolve_server(in, 0);
    if (!in.run.load()) break;
    int64_t now = vv_nat_now();
    Step step;
    {
      std::lock_guard<std::mutex> lock(in.mu);
      step = choose(in.st);
    }
    bool receive = true;
    switch (step) {
      case Step::kServerList:
        server_list_query(in, now);
        break;
      case Step::kMapping:
        mapped_address_query(in, now);
        break;
      case Step::kNatTest:
        nat_type_test(in);
        receive = false;
        break;
      case Step::kIdle:
        break;
      case Step::kRegister:
        receive = registration(in, now);
        break;
    }
    if (receive && in.run.load()) receive_round(in);
  }
}

int vv_nat_check_symmetric_nat(void) {
  VvInstance& in = vv_instance(1);
  std::lock_guard<std::mutex> lock(in.mu);
  return symmetric(in.st);
}
