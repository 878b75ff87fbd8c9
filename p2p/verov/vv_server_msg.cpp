// Messages from the P2P servers on the main sockets, the connect and disconnect logs, and the
// NAT64 form of an IPv4 address. Every field is read only after the datagram is known to hold
// it, and only datagrams from the servers this instance knows change its state.
#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <vector>

#include "vv_crypto.h"
#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_replies.h"
#include "vv_socket.h"

namespace {

enum {
  kMaxLines = 100,
  kConnectLogSize = 108,
  kDisconnectLogSize = 88,
};

// Log lines gathered while the state lock is held and written after it is let go.
struct Lines {
  std::vector<std::string> v;
  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof(b), fmt, ap);
    va_end(ap);
    v.emplace_back(b);
  }
  void flush(VvInstance& in) {
    for (const auto& l : v) vv_log(in, 2, "%s", l.c_str());
  }
};

// A text field of the datagram, bounded by its width and by the bytes that arrived.
void field_text(const unsigned char* d, int n, int off, int width, char* out, size_t cap) {
  out[0] = '\0';
  if (off >= n || cap == 0) return;
  int avail = n - off < width ? n - off : width;
  size_t len = strnlen(reinterpret_cast<const char*>(d + off), static_cast<size_t>(avail));
  if (len >= cap) len = cap - 1;
  memcpy(out, d + off, len);
  out[len] = '\0';
}

void copy_text(char* dst, size_t cap, const char* src) {
  if (cap == 0) return;
  size_t n = src ? strnlen(src, cap - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
}

struct Sender {
  int family = 0;
  in_addr a4{};
  in6_addr a6{};
  char text[INET6_ADDRSTRLEN] = "";
};

bool read_sender(const sockaddr* from, int fromlen, Sender* s) {
  if (!from) return false;
  if (fromlen == static_cast<int>(sizeof(sockaddr_in)) && from->sa_family == AF_INET) {
    s->family = AF_INET;
    s->a4 = reinterpret_cast<const sockaddr_in*>(from)->sin_addr;
    inet_ntop(AF_INET, &s->a4, s->text, sizeof(s->text));
    return true;
  }
  if (fromlen == static_cast<int>(sizeof(sockaddr_in6)) && from->sa_family == AF_INET6) {
    s->family = AF_INET6;
    s->a6 = reinterpret_cast<const sockaddr_in6*>(from)->sin6_addr;
    inet_ntop(AF_INET6, &s->a6, s->text, sizeof(s->text));
    return true;
  }
  return false;
}

// Addresses are compared as addresses, so that two spellings of one IPv6 address agree.
bool same_address(const char* text, const Sender& s) {
  if (!text || !text[0]) return false;
  if (s.family == AF_INET) {
    in_addr a;
    return inet_pton(AF_INET, text, &a) == 1 && a.s_addr == s.a4.s_addr;
  }
  in6_addr a;
  return inet_pton(AF_INET6, text, &a) == 1 && memcmp(&a, &s.a6, sizeof(a)) == 0;
}

bool in_table(const vv_nat_state& st, const Sender& s) {
  for (int i = 0; i < st.svrnum && i < VV_MAX_SERVERS; ++i)
    if (same_address(st.svrs[i].ip4, s) || same_address(st.svrs[i].ip6, s)) return true;
  return false;
}

bool in_list(const char* list, const Sender& s) {
  char copy[200];
  copy_text(copy, sizeof(copy), list);
  char* save = nullptr;
  for (char* a = strtok_r(copy, "|", &save); a; a = strtok_r(nullptr, "|", &save))
    if (same_address(a, s)) return true;
  return false;
}

// A check field: the check number as decimal text, enciphered as three blocks at offset 16.
bool check_number_ok(const unsigned char* d, int n) {
  if (n < 40) return false;
  unsigned char block[24];
  memcpy(block, d + 16, sizeof(block));
  decrypt_ex(block, sizeof(block), d);
  char text[25];
  field_text(block, sizeof(block), 0, 24, text, sizeof(text));
  char want[16];
  snprintf(want, sizeof(want), "%d", static_cast<int>(vv_get32(d + 12)));
  return strcmp(text, want) == 0;
}

void heartbeat_seen(vv_nat_state& st, int64_t now) {
  // A reply after a long silence: the server may have lost the parameters too.
  if (st.hbtime + st.hb_interval + 30 < now) st.params_time = 0;
  st.hbtime = now;
  st.send_hb = 0;
}

struct ListEntry {
  char ip4[16];
  char ip6[60];
  char domain[40];
  uint16_t port;
};

void on_server_list(VvInstance& in, const unsigned char* d, int n, Lines& log) {
  if (n < 20) return;
  int64_t now = vv_nat_now();
  {
    std::lock_guard<std::mutex> lock(in.mu);
    if (in.st.getsvrtime <= now && now < in.st.getsvrtime + 5) return;
  }
  int count = vv_get16(d + 10);
  int len = static_cast<int>(vv_get32(d + 16));
  // The body length must lie within what arrived.
  if (len <= 0 || len > n - 20 || len > 1480) return;
  int padded = (len + 7) / 8 * 8;
  unsigned char body[1504 + 8] = {};
  int have = n - 20 < padded ? n - 20 : padded;
  memcpy(body, d + 20, static_cast<size_t>(have));
  decrypt_ex(body, len, d);
  body[len] = '\0';
  log.add("Got server list, count: %d\n", count);

  char* lines[kMaxLines];
  int nl = vv_divstr(reinterpret_cast<char*>(body), lines, kMaxLines, '\n');
  std::vector<ListEntry> entries;
  for (int i = 0; i < nl && entries.size() < VV_MAX_SERVERS; ++i) {
    if (strlen(lines[i]) < 10) break;
    char line[1504];
    copy_text(line, sizeof(line), lines[i]);
    char* f[8];
    int nf = vv_divstr(line, f, 8, '|');
    char ip[17] = "";
    unsigned port = 0;
    if (nf < 1 || sscanf(f[0], "%16[0-9,.]:%u", ip, &port) != 2 || strlen(ip) > 15 || port == 0 ||
        port > 65535)
      continue;
    const char* v6 = nf > 1 ? f[1] : "";
    const char* domain = nf > 2 ? f[2] : "";
    log.add("%d server: %s:%u [%s] Domain:%s\n", static_cast<int>(entries.size()), ip, port, v6, domain);
    ListEntry e{};
    copy_text(e.domain, sizeof(e.domain), domain);
    e.port = static_cast<uint16_t>(port);
    if (e.domain[0]) {
      sockaddr_in a4;
      sockaddr_in6 a6;
      char t[INET6_ADDRSTRLEN];
      if (GetHostByName(e.domain, e.port, &a4) && inet_ntop(AF_INET, &a4.sin_addr, t, sizeof(t)))
        copy_text(e.ip4, sizeof(e.ip4), t);
      else
        copy_text(e.ip4, sizeof(e.ip4), ip);
      if (GetHostByName6(e.domain, e.port, &a6) && inet_ntop(AF_INET6, &a6.sin6_addr, t, sizeof(t)))
        copy_text(e.ip6, sizeof(e.ip6), t);
      else
        copy_text(e.ip6, sizeof(e.ip6), v6);
      log.add("Domain %s -> IPV4:%s IPV6:%s\n", e.domain, e.ip4, e.ip6);
    } else {
      copy_text(e.ip4, sizeof(e.ip4), ip);
      char n64[INET6_ADDRSTRLEN];
      if (ipv4_to_nat64(ip, n64, sizeof(n64)))
        copy_text(e.ip6, sizeof(e.ip6), n64);
      else
        copy_text(e.ip6, sizeof(e.ip6), v6);
    }
    entries.push_back(e);
  }
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_state& st = in.st;
  memset(st.svrs, 0, sizeof(st.svrs));
  for (size_t k = 0; k < entries.size(); ++k) {
    vv_nat_svr& s = st.svrs[k];
    copy_text(s.ip4, sizeof(s.ip4), entries[k].ip4);
    copy_text(s.ip6, sizeof(s.ip6), entries[k].ip6);
    copy_text(s.domain, sizeof(s.domain), entries[k].domain);
    s.port = entries[k].port;
  }
  st.svrnum = static_cast<int>(entries.size());
  st.getsvrtime = now;
  // One server cannot tell the NAT's kind.
  if (st.svrnum == 1) st.nattype = -1;
}

bool own_address(const char* ip) {
  char list[1024];
  if (Get_local_ips(list, sizeof(list)) <= 0) return false;
  char* save = nullptr;
  for (char* a = strtok_r(list, ",", &save); a; a = strtok_r(nullptr, ",", &save))
    if (strcmp(a, ip) == 0) return true;
  return false;
}

void on_mapped(VvInstance& in, const unsigned char* d, int n, const Sender& from, Lines& log) {
  if (n < 32) return;
  char ip[16], ip6[60];
  field_text(d, n, 4, 16, ip, sizeof(ip));
  field_text(d, n, 32, 60, ip6, sizeof(ip6));
  int mport = vv_get16(d + 20);
  timeval echoed{static_cast<time_t>(vv_get32(d + 24)), static_cast<suseconds_t>(vv_get32(d + 28))};
  uint32_t delay = echoed.tv_sec ? vv_nat_time_lag(echoed) : 0;
  bool v6 = from.family == AF_INET6;
  bool own = !v6 && own_address(ip);
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_state& st = in.st;
  if (st.nattype <= 0) {
    if (v6) {
      st.nattype = strlen(ip6) > 9 ? 6 : 64;
      log.add(st.nattype == 6 ? "Nat type is: IPV6\n" : "Nat type is: NAT64\n");
    } else if (own) {
      st.nattype = 1;
      log.add("NAT type is: public IP, no NAT\n");
    }
  }
  if (v6 && !st.own_ip6[0] && (ip6[0] || in.flags.index == 2)) {
    copy_text(st.own_ip6, sizeof(st.own_ip6), ip6);
    log.add("IPV6 address: %s\n", ip6);
  }
  int selected = -1;
  for (int i = 0; i < st.svrnum && i < VV_MAX_SERVERS; ++i) {
    vv_nat_svr& s = st.svrs[i];
    if (!same_address(s.ip4, from) && !same_address(s.ip6, from)) continue;
    copy_text(s.mapped_ip4, sizeof(s.mapped_ip4), ip);
    copy_text(s.mapped_ip6, sizeof(s.mapped_ip6), ip6);
    s.mapped_port = static_cast<uint16_t>(mport);
    s.delay_us = delay;
    size_t have = strlen(st.pubip_list);
    if (strcmp(ip, "0.0.0.0") != 0 && ip[0] && !strstr(st.pubip_list, ip) && have + strlen(ip) + 1 <= 98) {
      strcat(st.pubip_list, ip);
      strcat(st.pubip_list, ",");
    }
    if (st.checksvrs) {
      st.checksvrs += 1;
      continue;
    }
    if (v6) {
      sockaddr_in6 a{};
      if (inet_pton(AF_INET6, s.ip6, &a.sin6_addr) != 1) continue;
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(s.port);
      st.sel_addr6 = a;
      copy_text(st.svrip6, sizeof(st.svrip6), s.ip6);
      st.ipv6svr = 1;
    } else {
      sockaddr_in a{};
      if (inet_pton(AF_INET, s.ip4, &a.sin_addr) != 1) continue;
      a.sin_family = AF_INET;
      a.sin_port = htons(s.port);
      st.sel_addr4 = a;
      copy_text(st.svrip4, sizeof(st.svrip4), s.ip4);
      st.ipv6svr = 0;
    }
    st.checksvrs = 1;
    selected = i;
    log.add("Selected the best server: %s:%d [%s] delay: %d IPV6:%d\n", v6 ? s.ip6 : s.ip4, s.port,
            s.domain, static_cast<int>(delay), st.ipv6svr);
  }
  if (selected >= 0 && !st.uuid[0]) {
    const vv_nat_svr& s = st.svrs[selected];
    char seed[200];
    int len = snprintf(seed, sizeof(seed), "%s:%s:%d:%d:%d", s.mapped_ip6, s.mapped_ip4, s.mapped_port,
                       static_cast<int>(s.delay_us), static_cast<int>(time(nullptr)));
    vv_Md5String(seed, len < static_cast<int>(sizeof(seed)) ? len : static_cast<int>(sizeof(seed)) - 1,
                 st.uuid);
  }
}

void on_heartbeat_reply(VvInstance& in, const unsigned char* d, int n, uint16_t id) {
  if (n < (id == VV_MSG_HB2_REPLY ? 16 : 8)) return;
  int interval = static_cast<int>(vv_get32(d + 4));
  std::lock_guard<std::mutex> lock(in.mu);
  if (interval >= 1 && interval <= 120) in.st.hb_interval = interval;
  heartbeat_seen(in.st, vv_nat_now());
}

void on_key_reply(VvInstance& in, const unsigned char* d, int n, Lines& log) {
  bool one = in.flags.index == 1;
  if (n < (one ? 52 : 48)) return;
  int status = static_cast<int>(vv_get32(d + 4));
  int interval = static_cast<int>(vv_get32(d + 8));
  uint32_t server_time = vv_get32(d + 12);
  if (status == 0) {
    std::lock_guard<std::mutex> lock(in.mu);
    in.st.key_invalid = 1;
    log.add("Received server's response-> invaild heartbeat package!\n");
    return;
  }
  // A reply older than 10 s, or from ahead of our clock, is a replay.
  if (static_cast<uint32_t>(static_cast<uint32_t>(time(nullptr)) - server_time) > 10) return;
  unsigned char block[32];
  memcpy(block, d + 16, sizeof(block));
  decrypt_ex(block, sizeof(block), d);
  char text[33];
  field_text(block, sizeof(block), 0, 32, text, sizeof(text));
  std::lock_guard<std::mutex> lock(in.mu);
  vv_nat_state& st = in.st;
  if (strcmp(text, st.svrkey) != 0) {
    log.add("Received server's response->invaild message!\n");
    return;
  }
  if (one) st.connlog_level = static_cast<int>(vv_get32(d + 48));
  if (interval >= 1 && interval <= 120) st.hb_interval = interval;
  heartbeat_seen(st, vv_nat_now());
  log.add("Received server's heartbeat respone! Interval: %d ConnectLog:%d BYTE:%d\n", interval,
          st.connlog_level, n);
}

void on_auth_result(VvInstance& in, const unsigned char* d, int n, Lines& log) {
  // A forged result is dropped without pausing the thread: a pause per datagram would let
  // anyone who can reach the socket stall the registration.
  if (!check_number_ok(d, n)) {
    log.add("Invaild server message!\n");
    return;
  }
  int result = static_cast<int>(vv_get32(d + 4));
  int period = static_cast<int>(vv_get32(d + 8));
  std::lock_guard<std::mutex> lock(in.mu);
  in.st.auth_ok = result;
  in.st.auth_interval = period;
  in.st.auth_time = vv_nat_now();
  log.add("Received auth result ret:%d intval:%d\n", result, period);
}

void on_conn_result(VvInstance& in, const unsigned char* d, int n, Lines& log) {
  if (n < 12) return;
  int req = static_cast<int>(vv_get32(d + 4));
  int result = static_cast<int>(vv_get32(d + 8));
  std::lock_guard<std::mutex> lock(in.mu);
  for (int i = 0; i < VV_MAX_CONNS; ++i) {
    vv_nat_conn& c = in.st.conns[i];
    if (c.req_id == 0 || c.req_id != req) continue;
    c.conn_result = result;
    log.add("conn_id:%d --->Received server's respone of connection request---> msgid:%d ret:%d BYTE:%d\n",
            i + 1, VV_MSG_CONN_RESULT, result, n);
    break;
  }
}

}  // namespace

void vv_server_msg(VvInstance& in, unsigned char* d, int n, const sockaddr* from, int fromlen) {
  uint16_t id = 0;
  if (!vv_head_ok(d, n, &id)) return;
  switch (id) {
    case VV_MSG_SVRLIST: case VV_MSG_MAPPED: case VV_MSG_HB_REPLY: case VV_MSG_CONN_REQ:
    case VV_MSG_CONN_RESULT: case VV_MSG_NEW_UUID: case VV_MSG_PARAMS_ACK: case VV_MSG_STATUS:
    case VV_MSG_HB_KEY_REPLY: case VV_MSG_AUTH_RESULT: case VV_MSG_INCOMING: case VV_MSG_HB2_REPLY:
      break;
    default:
      return;
  }
  Sender s;
  if (!read_sender(from, fromlen, &s)) return;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    bool known = in_table(in.st, s) ||
                 (id == VV_MSG_SVRLIST && (in_list(in.st.svrip4_list, s) || in_list(in.st.svrip6_list, s)));
    if (!known) {
      in.st.spoofed += 1;
      return;
    }
  }
  Lines log;
  switch (id) {
    case VV_MSG_SVRLIST:
      on_server_list(in, d, n, log);
      break;
    case VV_MSG_MAPPED:
      on_mapped(in, d, n, s, log);
      break;
    case VV_MSG_HB_REPLY:
    case VV_MSG_HB2_REPLY:
      on_heartbeat_reply(in, d, n, id);
      break;
    case VV_MSG_HB_KEY_REPLY:
      on_key_reply(in, d, n, log);
      break;
    case VV_MSG_AUTH_RESULT:
      on_auth_result(in, d, n, log);
      break;
    case VV_MSG_INCOMING:
      if (check_number_ok(d, n)) {
        std::lock_guard<std::mutex> lock(in.mu);
        in.st.pwcheck = static_cast<int>(vv_get32(d + 4));
      }
      break;
    case VV_MSG_NEW_UUID: {
      char uuid[100];
      field_text(d, n, 4, 100, uuid, sizeof(uuid));
      if (uuid[0]) {
        std::lock_guard<std::mutex> lock(in.mu);
        copy_text(in.st.uuid, sizeof(in.st.uuid), uuid);
      }
      break;
    }
    case VV_MSG_PARAMS_ACK: {
      std::lock_guard<std::mutex> lock(in.mu);
      in.st.params_time = vv_nat_now();
      break;
    }
    case VV_MSG_STATUS: {
      VvStatusReply r;
      vv_nat_query_cb cb;
      {
        std::lock_guard<std::mutex> lock(in.mu);
        cb = in.st.callbacks.OnQueryResult;
      }
      if (cb && vv_parse_status_reply(d, n, &r)) {
        char uuid[100];
        field_text(d, n, 4, 100, uuid, sizeof(uuid));
        cb(uuid, r.online, r.addr, r.params, r.params_present ? r.param_len : 0);
      }
      break;
    }
    case VV_MSG_CONN_REQ:
      if (in.on_conn_message) in.on_conn_message(in, d, n, from, fromlen);
      break;
    case VV_MSG_CONN_RESULT:
      if (in.on_conn_result)
        in.on_conn_result(in, d, n);
      else
        on_conn_result(in, d, n, log);
      break;
  }
  if (in.flags.index == 1) log.flush(in);
}

void vv_nat_on_server_msg(unsigned char* d, int len, const void* from, int fromlen) {
  vv_server_msg(vv_instance(1), d, len, static_cast<const sockaddr*>(from), fromlen);
}

void vv2_nat_on_server_msg(unsigned char* d, const void* from, int fromlen, int len) {
  vv_server_msg(vv_instance(2), d, len, static_cast<const sockaddr*>(from), fromlen);
}

int vv_nat_send_connect_log(int conn_no, const char* peer_uuid, int peer_nattype, int peer_version,
                            int relayed, int time_taken, int result) {
  VvInstance& in = vv_instance(1);
  unsigned char d[kConnectLogSize] = {};
  {
    std::lock_guard<std::mutex> lock(in.mu);
    if (in.st.connlog_level <= 0) return 0;
    memcpy(d + 12, in.st.uuid, strnlen(in.st.uuid, 35));
    vv_put32(d + 80, static_cast<uint32_t>(in.st.nattype));
  }
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_CONNECT_LOG);
  vv_put32(d + 4, static_cast<uint32_t>(conn_no));
  vv_put32(d + 8, VV_NAT_PLATFORM);
  if (peer_uuid) memcpy(d + 48, peer_uuid, strnlen(peer_uuid, 31));
  vv_put32(d + 84, static_cast<uint32_t>(peer_nattype));
  vv_put32(d + 88, VV_NAT_VERSION);
  vv_put32(d + 92, static_cast<uint32_t>(peer_version));
  vv_put32(d + 96, static_cast<uint32_t>(relayed));
  vv_put32(d + 100, static_cast<uint32_t>(result));
  vv_put32(d + 104, static_cast<uint32_t>(time_taken));
  return vv_send_to_server(in, d, sizeof(d));
}

int vv_nat_send_disconnect_log(int conn_no, const char* peer_uuid, int seconds_kept, int result) {
  VvInstance& in = vv_instance(1);
  unsigned char d[kDisconnectLogSize] = {};
  {
    std::lock_guard<std::mutex> lock(in.mu);
    if (in.st.connlog_level < 2) return 0;
    memcpy(d + 12, in.st.uuid, strnlen(in.st.uuid, 35));
  }
  vv_put16(d, VV_MAGIC);
  vv_put16(d + 2, VV_MSG_DISCONNECT_LOG);
  vv_put32(d + 4, static_cast<uint32_t>(conn_no));
  vv_put32(d + 8, VV_NAT_PLATFORM);
  if (peer_uuid) memcpy(d + 48, peer_uuid, strnlen(peer_uuid, 31));
  vv_put32(d + 80, static_cast<uint32_t>(seconds_kept));
  vv_put32(d + 84, static_cast<uint32_t>(result));
  return vv_send_to_server(in, d, sizeof(d));
}

int ipv4_to_nat64(const char* ipv4, char* out, int size) {
  if (!ipv4 || !out || size <= 0 || !is_ipaddr(ipv4)) return 0;
  VvInstance& one = vv_instance(1);
  sockaddr_in6 prefix;
  {
    std::lock_guard<std::mutex> lock(one.mu);
    if (one.st.nat64 <= 0) return 0;
    prefix = one.st.nat64_prefix;
  }
  in_addr v4;
  if (inet_pton(AF_INET, ipv4, &v4) != 1) return 0;
  memcpy(&prefix.sin6_addr.s6_addr[12], &v4, 4);
  if (!inet_ntop(AF_INET6, &prefix.sin6_addr, out, static_cast<socklen_t>(size))) return 0;
  vv_log(one, 2, "IPV4 to NAT64: %s->%s\n", ipv4, out);
  return 1;
}
