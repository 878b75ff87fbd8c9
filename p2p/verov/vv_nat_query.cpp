// Sends to the selected server and the blocking queries, each on a socket of its own.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "vv_datagram.h"
#include "vv_instance.h"
#include "vv_replies.h"
#include "vv_socket.h"

namespace {

// Offsets of the status reply (1011).
enum {
  kStatusUuid = 4,
  kStatusOnline = 104,
  kStatusAddr = 108,
  kStatusAddrLen = 36,
  kStatusParamLen = 144,
  kStatusParams = 148,
  kStatusPreferred = 1172,
  kStatusQuerySize = 104,
  kUpnpPaddedMax = 1480,
};

struct Target {
  int ipv6;
  sockaddr_in a4;
  sockaddr_in6 a6;
};

Target selected(VvInstance& in) {
  std::lock_guard<std::mutex> lock(in.mu);
  return Target{in.st.ipv6svr, in.st.sel_addr4, in.st.sel_addr6};
}

int send_to(int sock, const void* d, int len, const Target& t) {
  return t.ipv6 ? SendToA6(sock, d, len, &t.a6) : SendToA(sock, d, len, &t.a4);
}

void build_status_query(unsigned char* q, const char* uuid) {
  memset(q, 0, kStatusQuerySize);
  vv_put16(q, VV_MAGIC);
  vv_put16(q + 2, VV_MSG_STATUS_QUERY);
  snprintf(reinterpret_cast<char*>(q + kStatusUuid), 100, "%s", uuid);
}

long long mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits in 100 ms steps until a datagram arrives, the time-out passes or the caller's run
// flag drops; returns the datagram length, or 0 when nothing came.
int wait_reply(int fd, int timeout_s, const int* run, unsigned char* buf, int cap) {
  const long long deadline = mono_ms() + static_cast<long long>(timeout_s) * 1000;
  while (mono_ms() < deadline) {
    if (run && *run == 0) return 0;
    long long left = deadline - mono_ms();
    int r = blockUntilReadable0(fd, static_cast<long>((left < 100 ? left : 100) * 1000));
    if (r < 0) {
      poll(nullptr, 0, 100);
      continue;
    }
    if (r == 0) continue;
    int n = static_cast<int>(recv(fd, buf, static_cast<size_t>(cap), 0));
    if (n > 0) return n;
  }
  return 0;
}

// A text field of the reply, bounded by both the field and the bytes that arrived.
void field_text(const unsigned char* d, int len, int off, int width, char* out, size_t cap) {
  out[0] = '\0';
  if (off >= len || cap == 0) return;
  int avail = len - off < width ? len - off : width;
  size_t n = strnlen(reinterpret_cast<const char*>(d + off), static_cast<size_t>(avail));
  if (n >= cap) n = cap - 1;
  memcpy(out, d + off, n);
  out[n] = '\0';
}

int do_query(VvInstance& in, const char* uuid, int timeout_s, const int* run, char* info,
             int info_size, char* addr, int addr_size) {
  if (!uuid || !run) return -1;
  Target t = selected(in);
  int fd = t.ipv6 ? CreateSocket6(SOCK_DGRAM) : CreateSocket(SOCK_DGRAM);
  if (fd <= 0) return -2;
  unsigned char q[kStatusQuerySize];
  build_status_query(q, uuid);
  send_to(fd, q, sizeof(q), t);
  unsigned char buf[1500];
  int n = wait_reply(fd, timeout_s, run, buf, sizeof(buf));
  CloseSocket(&fd);
  VvStatusReply r;
  if (n <= 0 || !vv_parse_status_reply(buf, n, &r)) return -1;
  if (r.online == 0) return 0;
  // The parameter bytes must have arrived and must fit the caller's buffer.
  if (info && r.params_present && r.param_len >= 1 && r.param_len <= info_size)
    memcpy(info, r.params, static_cast<size_t>(r.param_len));
  if (addr && addr_size > 0) {
    if (r.preferred[0]) {
      snprintf(addr, static_cast<size_t>(addr_size), "%s", r.preferred);
    } else {
      char ip[kStatusAddrLen + 1];
      unsigned port = 0;
      if (sscanf(r.addr, "%36[0-9,.]:%u", ip, &port) == 2)
        snprintf(addr, static_cast<size_t>(addr_size), "%s", ip);
    }
  }
  return 1;
}

int do_get_param_ex(const char* svraddr, int port, int timeout_s, const char* uuid, void* buf,
                    int size, char* addr) {
  // A time-out of 0 or less would make the receive below wait for ever.
  if (!uuid || !buf || size <= 0 || timeout_s <= 0) return -3;
  int fd = CreateSocket(SOCK_DGRAM);
  if (fd <= 0) return -3;
  unsigned char q[kStatusQuerySize];
  build_status_query(q, uuid);
  if (SendTo(fd, q, sizeof(q), svraddr, static_cast<unsigned short>(port)) < 0) {
    CloseSocket(&fd);
    return -2;
  }
  unsigned char r[2048];
  int n = Recv(fd, r, sizeof(r), static_cast<long>(timeout_s) * 1000000L);
  CloseSocket(&fd);
  VvStatusReply rep;
  if (n <= 0 || !vv_parse_status_reply(r, n, &rep)) return -2;
  if (rep.online == 0) return -1;
  if (addr) memcpy(addr, rep.addr, sizeof(rep.addr));
  if (rep.param_len == 0) return 0;
  if (!rep.params_present) return -2;  // a length that claims more than arrived
  int copy = rep.param_len < size ? rep.param_len : size;
  memcpy(buf, rep.params, static_cast<size_t>(copy));
  return copy;
}

int do_get_param(VvInstance& in, const char* uuid, void* buf, int size, char* addr) {
  char name[100];
  int port;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    memcpy(name, in.st.svraddr, sizeof(name));
    port = in.st.svrport + in.st.svrport_offset;
  }
  return do_get_param_ex(name, port, 2, uuid, buf, size, addr);
}

int do_get_param_v3(VvInstance& in, const char* uuid, int status) {
  // The main socket stays open until this send is done (renewal waits for it).
  std::shared_lock<std::shared_mutex> socks(in.sock_mu);
  int sock;
  sockaddr_in a4;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    sock = in.st.sock;
    a4 = in.st.sel_addr4;
  }
  if (sock <= 0) return -1;
  if (!uuid) return -2;
  if (status != 1) return 0;
  unsigned char q[kStatusQuerySize];
  build_status_query(q, uuid);
  SendToA(sock, q, sizeof(q), &a4);
  return 1;
}

int do_query_upnp(VvInstance& in, const char* uuid, int timeout_s, const int* run, char* out,
                  int size, int status) {
  if (status != 1) return -1;
  if (!uuid) return -5;
  Target t = selected(in);
  int fd = t.ipv6 ? CreateSocket6(SOCK_DGRAM) : CreateSocket(SOCK_DGRAM);
  if (fd <= 0) return -2;
  unsigned char d[VV_TEXT_DGRAM_MAX];
  timeval tv;
  gettimeofday(&tv, nullptr);
  int len = vv_text_build(d, sizeof(d), VV_MSG_UPNP_QUERY, uuid, static_cast<uint32_t>(tv.tv_sec),
                          static_cast<uint32_t>(tv.tv_usec), nullptr);
  if (len < 0) {
    CloseSocket(&fd);
    return -5;
  }
  send_to(fd, d, len, t);
  unsigned char r[2048];
  int n = wait_reply(fd, timeout_s, run, r, sizeof(r));
  CloseSocket(&fd);
  if (n < 1) return -3;
  int result = 0;
  int rc = vv_parse_upnp_reply(r, n, uuid, &result, out, size);
  return rc < 0 ? rc : result;
}

}  // namespace

int vv_parse_status_reply(const unsigned char* d, int n, VvStatusReply* out) {
  uint16_t id = 0;
  if (!d || !out || !vv_head_ok(d, n, &id) || id != VV_MSG_STATUS || n < kStatusParams) return 0;
  out->online = static_cast<int>(vv_get32(d + kStatusOnline) & 0xFFFF);
  field_text(d, n, kStatusAddr, kStatusAddrLen, out->addr, sizeof(out->addr));
  field_text(d, n, kStatusPreferred, 64, out->preferred, sizeof(out->preferred));
  out->param_len = static_cast<int>(vv_get32(d + kStatusParamLen) & 0xFFFF);
  out->params_present = out->param_len <= VV_PARAMS_MAX && kStatusParams + out->param_len <= n;
  out->params = d + kStatusParams;
  return 1;
}

int vv_parse_upnp_reply(unsigned char* d, int n, const char* uuid, int* result, char* out,
                        int size) {
  uint16_t id = 0;
  if (!d || !vv_head_ok(d, n, &id) || id != VV_MSG_UPNP_REPLY) return -3;
  if (n < VV_TEXT_HEAD_SIZE) return -4;
  int tl = vv_get16(d + 16), padded = vv_get16(d + 18);
  if (tl == 0 || padded < 1 || padded > kUpnpPaddedMax) return -4;
  const char* text = nullptr;
  if (vv_text_decode(d, n, nullptr, &text) < 0) return -4;
  char copy[1504];
  snprintf(copy, sizeof(copy), "%s", text);
  char* f[8];
  if (vv_divstr(copy, f, 8, '|') < 4 || !uuid || strcmp(f[0], uuid) != 0) return -5;
  if (out && size > 0) snprintf(out, static_cast<size_t>(size), "%s|%d", f[2], atoi(f[3]));
  if (result) *result = atoi(f[1]);
  return 0;
}

int vv_send_text(VvInstance& in, int sock, int msg_id, const char* text) {
  unsigned char d[VV_TEXT_DGRAM_MAX];
  timeval tv;
  gettimeofday(&tv, nullptr);
  int len = vv_text_build(d, sizeof(d), static_cast<uint16_t>(msg_id), text ? text : "",
                          static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec), nullptr);
  if (len < 0) return -1;
  return send_to(sock, d, len, selected(in));
}

int vv_send_to_server(VvInstance& in, const void* dgram, int len) {
  std::shared_lock<std::shared_mutex> socks(in.sock_mu);
  Target t = selected(in);
  int sock;
  {
    std::lock_guard<std::mutex> lock(in.mu);
    sock = t.ipv6 ? in.st.sock6 : in.st.sock;
  }
  return send_to(sock, dgram, len, t);
}

int vv_nat_send2svr_B(int sock, int msg_id, const char* text) {
  return vv_send_text(vv_instance(1), sock, msg_id, text);
}
int vv2_nat_send2svr(int sock, int msg_id, const char* text) {
  return vv_send_text(vv_instance(2), sock, msg_id, text);
}
int vv_nat_send_to_server(const void* dgram, int len) {
  return vv_send_to_server(vv_instance(1), dgram, len);
}

#define VV_QUERY_DEFINE(P, N)                                                                 \
  int P##query(const char* uuid, int timeout_s, const int* run, char* info, int info_size,  \
               char* addr, int addr_size) {                                                  \
    return do_query(vv_instance(N), uuid, timeout_s, run, info, info_size, addr, addr_size); \
  }                                                                                          \
  int P##get_param_ex(const char* a, int port, int timeout_s, const char* uuid, void* buf,   \
                      int size, char* addr) {                                                \
    return do_get_param_ex(a, port, timeout_s, uuid, buf, size, addr);                       \
  }                                                                                          \
  int P##get_param(const char* uuid, void* buf, int size, char* addr) {                      \
    return do_get_param(vv_instance(N), uuid, buf, size, addr);                              \
  }                                                                                          \
  int P##get_param_v3(const char* uuid) {                                                    \
    return do_get_param_v3(vv_instance(N), uuid, P##get_status());                           \
  }                                                                                          \
  int P##query_upnp(const char* uuid, int timeout_s, const int* run, char* out, int size) {  \
    return do_query_upnp(vv_instance(N), uuid, timeout_s, run, out, size, P##get_status());  \
  }

VV_QUERY_DEFINE(vv_nat_, 1)
VV_QUERY_DEFINE(vv2_nat_, 2)
