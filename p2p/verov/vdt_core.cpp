// vdt sender, receiver and packet handlers on one connection record.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "vdt_conn.h"

namespace {

std::atomic<int> g_quiet_ms{2000}, g_liveness_ms{5000}, g_hello_min_ms{300}, g_max_unanswered{20};

// Serial-number order, so that a wrapped counter still compares.
inline int32_t seq_diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

void split_clock(int64_t us, uint32_t* sec, uint32_t* usec) {
  *sec = static_cast<uint32_t>(us / 1000000);
  *usec = static_cast<uint32_t>(us % 1000000);
}

int send_raw(int sock, const void* d, size_t len, const sockaddr* to, socklen_t tolen) {
  if (sock < 0 || !to) return 0;
  ssize_t n = sendto(sock, d, len, MSG_NOSIGNAL | MSG_DONTWAIT, to, tolen);
  return n == static_cast<ssize_t>(len) ? 1 : 0;
}

bool same_addr(vdt_conn& c, const sockaddr* from, socklen_t fromlen) {
  std::lock_guard<std::mutex> lock(c.mu);
  if (!from) return false;
  if (c.dest_kind == 1 && from->sa_family == AF_INET && fromlen >= sizeof(sockaddr_in)) {
    auto* f = reinterpret_cast<const sockaddr_in*>(from);
    return f->sin_port == c.dest4.sin_port && f->sin_addr.s_addr == c.dest4.sin_addr.s_addr;
  }
  if (c.dest_kind == 2 && from->sa_family == AF_INET6 && fromlen >= sizeof(sockaddr_in6)) {
    auto* f = reinterpret_cast<const sockaddr_in6*>(from);
    return f->sin6_port == c.dest6.sin6_port &&
           memcmp(&f->sin6_addr, &c.dest6.sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

// Sends one slot (sender mutex held); payload bytes sent, 0 when held back or failed.
int send_packet(vdt_conn& c, VdtSlot& sl, int64_t now) {
  VdtSender& s = c.snd;
  int64_t rtt = c.rtt_us.load();
  unsigned char* p = sl.pkt;
  p[12] = static_cast<uint8_t>(std::min<int>(s.window, 255));
  if (sl.lost) {
    // The first resend after a report goes at once; a second report within RTT + 50 ms
    // finds the packet still on its way.
    if (sl.retrans_time && now - sl.retrans_time < rtt + 50000) return 0;
    if (p[11] < 255) p[11]++;
    if (!vdt_conn_send(c, p, VDT_HEAD + sl.len)) return 0;
    sl.lost = 0;
    sl.retrans_time = now;
    s.retrans++;
  } else {
    if (s.inflight >= s.peer_slots) return 0;
    if (sl.seq + 1 == s.next_seq) {
      p[12] = 1;  // the last queued packet asks for an ack at once
      s.stalled = true;
      s.last_ask = now;
    }
    if (!vdt_conn_send(c, p, VDT_HEAD + sl.len)) return 0;
  }
  s.last_send = now;
  s.bytes += sl.len;
  s.rate_bytes += sl.len;
  s.packets++;
  return sl.len ? sl.len : 1;
}

void free_acked_prefix(VdtSender& s) {
  while (s.base != s.send_next && s.slot(s.base).state == kSlotAcked) {
    s.slot(s.base).state = kSlotFree;
    s.advance_base();
  }
}

void on_ack(vdt_conn& c, const VdtAck& a) {
  VdtSender& s = c.snd;
  std::lock_guard<std::mutex> lock(s.mu);
  s.asks = 0;
  s.stalled = false;
  uint32_t gen = ++s.ack_gen;
  uint32_t last_sent = s.send_next - 1;
  // Only numbers in flight count; anything else in a list is stale or made up.
  for (size_t i = 0; i < a.n; ++i) {
    uint32_t m = vdt_ack_missing(a, i);
    if (seq_diff(m, s.base) < 0 || seq_diff(m, last_sent) > 0) continue;
    VdtSlot& sl = s.slot(m);
    if (sl.state == kSlotInFlight && sl.seq == m) sl.mark = gen;
  }
  uint32_t top = seq_diff(a.highest, last_sent) > 0 ? last_sent : a.highest;
  for (uint32_t q = s.base; seq_diff(q, top) <= 0 && q != s.send_next; ++q) {
    VdtSlot& sl = s.slot(q);
    if (sl.state == kSlotInFlight && sl.mark != gen) {
      sl.state = kSlotAcked;
      s.inflight--;
    }
  }
  free_acked_prefix(s);
  bool lossy = false;
  for (size_t i = 0; i < a.n; ++i) {
    uint32_t m = vdt_ack_missing(a, i);
    if (seq_diff(m, s.base) < 0 || seq_diff(m, last_sent) > 0) continue;
    VdtSlot& sl = s.slot(m);
    if (sl.state == kSlotInFlight && sl.seq == m) {
      sl.lost = 1;
      lossy = true;
    }
  }
  if (a.n > 0) {
    (void)lossy;
    s.clean_acks = 0;
    s.lossy_acks++;
    if (s.window >= 6 && s.lossy_acks >= 10) {
      s.lossy_acks = 0;
      s.window--;
    }
  } else {
    s.lossy_acks = 0;
    s.clean_acks++;
    if (s.window < s.max_window && s.clean_acks >= 20) {
      s.clean_acks = 0;
      s.window++;
    }
  }
}

void on_packet(vdt_conn& c, const unsigned char* d, const VdtDataHead& h) {
  VdtRecver& r = c.rcv;
  std::unique_lock<std::mutex> lock(r.mu);
  if (h.retrans) r.retrans++;
  r.packets++;
  r.bytes += h.len;
  r.rate_bytes += h.len;
  const uint32_t m = static_cast<uint32_t>(r.slots.size());
  int32_t off = seq_diff(h.seq, r.expected);
  bool fresh = false;
  // Numbers outside [expected, expected + slots) have no slot: dropped.
  if (off >= 0 && static_cast<uint32_t>(off) < m) {
    VdtSlot& sl = r.slot(h.seq);
    if (!(sl.state == kSlotStored && sl.seq == h.seq)) {
      sl.state = kSlotStored;
      sl.seq = h.seq;
      sl.len = h.len;
      sl.delivered = 0;
      memcpy(sl.pkt, d, VDT_HEAD + h.len);
      r.stored++;
      if (r.highest == 0 || seq_diff(h.seq, r.highest) > 0) r.highest = h.seq;
    }
    fresh = true;
  }
  r.since_ack++;
  int every = h.ack_every ? h.ack_every : 1;
  bool ack = r.since_ack >= every;
  if (fresh && seq_diff(h.seq, r.highest_acked) >= every) ack = true;
  lock.unlock();
  if (ack) vdt_recver_send_ack(c);
}

void on_hello(vdt_conn& c, unsigned char* d, size_t len, const sockaddr* from, socklen_t fromlen,
              bool from_dest) {
  VdtHello h;
  if (!vdt_decode_hello(d, len, &h)) return;
  if (from_dest) {
    std::lock_guard<std::mutex> lock(c.snd.mu);
    c.snd.peer_slots = h.slots ? h.slots : 1;
    c.snd.max_window = std::min<uint16_t>(c.snd.peer_slots, 20);
  }
  vdt_put16(d + 2, VDT_HELLO_RE);
  // Answered once, to the sender: a stranger's hello is not reflected to the destination.
  send_raw(c.sock, d, VDT_HELLO_LEN, from, fromlen);
}

void on_hello_re(vdt_conn& c, const unsigned char* d, size_t len) {
  VdtHello h;
  if (!vdt_decode_hello(d, len, &h)) return;
  int64_t now = vdt_now_us();
  int64_t echoed = static_cast<int64_t>(h.sec) * 1000000 + h.usec;
  int64_t sample = now - echoed;
  std::lock_guard<std::mutex> lock(c.mu);
  c.last_reply = c.last_hello = now;
  if (c.hello_counter == 0 || h.counter == static_cast<uint32_t>(c.hello_counter)) c.hello_counter++;
  c.unanswered = 0;
  if (sample < 0) return;  // not our clock
  if (sample == 0) sample = 1000;
  if (sample > 3000000) sample = 3000000;
  int rtt = c.rtt_us.load();
  c.rtt_us = rtt == 0 ? static_cast<int>(sample) : static_cast<int>((rtt + sample) / 2);
}

void on_mtu_re(vdt_conn& c, const unsigned char* d, size_t len) {
  VdtStamp s;
  if (!vdt_decode_check_mtu_re(d, len, &s)) return;
  std::lock_guard<std::mutex> lock(c.mu);
  if (s.size > c.packet_size.load()) {
    c.payload_size = static_cast<uint16_t>(s.size - VDT_HEAD);
    c.packet_size = s.size;
  }
}

}  // namespace

int64_t vdt_now_us(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 + 1000000;
}

int64_t vdt_time_lag(int64_t t) {
  if (t == 0) return 0;
  int64_t d = vdt_now_us() - t;
  if (d < 0) return 0;
  return d < 1000 ? 1000 : d;
}

vdt_timing vdt_current_timing(void) {
  return vdt_timing{g_quiet_ms.load(), g_liveness_ms.load(), g_hello_min_ms.load(),
                    g_max_unanswered.load()};
}

void vdt_set_timing(const vdt_timing* t) {
  if (!t) {
    g_quiet_ms = 2000;
    g_liveness_ms = 5000;
    g_hello_min_ms = 300;
    g_max_unanswered = 20;
    return;
  }
  if (t->quiet_ms > 0) g_quiet_ms = t->quiet_ms;
  if (t->liveness_ms > 0) g_liveness_ms = t->liveness_ms;
  if (t->hello_min_ms > 0) g_hello_min_ms = t->hello_min_ms;
  if (t->max_unanswered > 0) g_max_unanswered = t->max_unanswered;
}

vdt_conn::~vdt_conn() {
  if (sock >= 0) close(sock);
}

VdtRef vdt_conn_new(int sock, int sndbuf, int rcvbuf) {
  if (sndbuf < VDT_SLOT_SIZE || rcvbuf < VDT_SLOT_SIZE) return nullptr;
  auto c = std::make_shared<vdt_conn>();
  c->sock = sock;
  // Slot counts travel in 16-bit fields (hellos, free counts): a larger buffer gets no more.
  c->snd.slots.resize(static_cast<size_t>(std::min(sndbuf / VDT_SLOT_SIZE, 65535)));
  c->rcv.slots.resize(static_cast<size_t>(std::min(rcvbuf / VDT_SLOT_SIZE, 65535)));
  int64_t now = vdt_now_us();
  c->snd.created = c->snd.rate_time = now;
  c->rcv.created = c->rcv.rate_time = now;
  c->last_reception = now;
  return c;
}

void vdt_conn_set_dest4(vdt_conn& c, const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (!ip || inet_pton(AF_INET, ip, &a.sin_addr) != 1) return;
  std::lock_guard<std::mutex> lock(c.mu);
  c.dest4 = a;
  c.dest_kind = 1;
  snprintf(c.dest_text, sizeof(c.dest_text), "%s", ip);
  c.dest_port = static_cast<uint16_t>(port);
}

void vdt_conn_set_dest6(vdt_conn& c, const char* ip6, int port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  if (!ip6 || inet_pton(AF_INET6, ip6, &a.sin6_addr) != 1) return;
  std::lock_guard<std::mutex> lock(c.mu);
  c.dest6 = a;
  c.dest_kind = 2;
  snprintf(c.dest_text, sizeof(c.dest_text), "%s", ip6);
  c.dest_port = static_cast<uint16_t>(port);
}

bool vdt_conn_has_dest(vdt_conn& c) {
  std::lock_guard<std::mutex> lock(c.mu);
  return c.dest_kind != 0;
}

int vdt_conn_send(vdt_conn& c, const void* d, size_t len) {
  sockaddr_storage to;
  socklen_t tolen;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.dest_kind == 1) {
      memcpy(&to, &c.dest4, sizeof(c.dest4));
      tolen = sizeof(c.dest4);
    } else if (c.dest_kind == 2) {
      memcpy(&to, &c.dest6, sizeof(c.dest6));
      tolen = sizeof(c.dest6);
    } else {
      return 0;
    }
  }
  return send_raw(c.sock, d, len, reinterpret_cast<sockaddr*>(&to), tolen);
}

int vdt_sender_put(vdt_conn& c, const unsigned char* data, size_t len) {
  size_t piece_max = c.payload_size.load();
  if (piece_max == 0) return 0;
  VdtSender& s = c.snd;
  std::lock_guard<std::mutex> lock(s.mu);
  size_t taken = 0;
  // A message of length 0 is one empty packet that ends it.
  do {
    if (s.free_slots() == 0) break;
    size_t n = std::min(piece_max, len - taken);
    uint32_t seq = s.next_seq;
    VdtSlot& sl = s.slot(seq);
    sl.state = kSlotQueued;
    sl.seq = seq;
    sl.len = static_cast<uint16_t>(n);
    sl.lost = 0;
    sl.retrans_time = 0;
    sl.mark = 0;
    VdtDataHead h{seq, static_cast<uint16_t>(n), static_cast<uint8_t>(taken + n == len), 0, 0};
    vdt_encode_data_head(sl.pkt, h);
    if (n) memcpy(sl.pkt + VDT_HEAD, data + taken, n);
    s.next_seq++;
    taken += n;
  } while (taken < len);
  return static_cast<int>(taken);
}

int vdt_sender_send(vdt_conn& c) {
  VdtSender& s = c.snd;
  std::lock_guard<std::mutex> lock(s.mu);
  int64_t now = vdt_now_us();
  int64_t rtt = c.rtt_us.load();
  if (s.burst) {
    int64_t gap = std::max<int64_t>(rtt / std::max<int>(s.window, 1), 1000);
    if (now - s.last_send <= gap) return -1;
  }
  int sent = 0;
  for (uint32_t q = s.base; q != s.send_next && sent < s.window; ++q) {
    VdtSlot& sl = s.slot(q);
    if (sl.state == kSlotInFlight && sl.lost && send_packet(c, sl, now) > 0) ++sent;
  }
  bool last_went = false;
  while (s.inflight < s.peer_slots && s.send_next != s.next_seq && sent < s.window) {
    if (s.inflight > 0 && static_cast<uint32_t>(seq_diff(s.send_next - 1, s.base)) >=
                              static_cast<uint32_t>(s.peer_slots - 1))
      break;
    VdtSlot& sl = s.slot(s.send_next);
    last_went = sl.seq + 1 == s.next_seq;
    if (send_packet(c, sl, now) <= 0) break;
    sl.state = kSlotInFlight;
    s.send_next++;
    s.inflight++;
    ++sent;
  }
  s.burst = sent >= s.window;
  if (sent == 0 && s.inflight > 0) {
    if (!s.stalled) {
      s.stalled = true;
      s.last_ask = now;
    } else if (now - s.last_ask > rtt + 50000) {
      unsigned char ask[16];
      VdtStamp st{s.send_next - 1, 0, 0, 0};
      split_clock(now, &st.sec, &st.usec);
      vdt_encode_ask(ask, st);
      vdt_conn_send(c, ask, sizeof(ask));
      s.last_ask = now;
      s.asks++;
    }
  } else if (sent > 0 && !last_went) {
    s.stalled = false;
  }
  return sent;
}

void vdt_sender_counts(vdt_conn& c, int* queued, int* inflight) {
  std::lock_guard<std::mutex> lock(c.snd.mu);
  *queued = c.snd.queued();
  *inflight = c.snd.inflight;
}

int vdt_recver_get(vdt_conn& c, unsigned char* buf, size_t len) {
  VdtRecver& r = c.rcv;
  std::lock_guard<std::mutex> lock(r.mu);
  size_t got = 0;
  while (r.deliverable()) {
    VdtSlot& sl = r.slot(r.expected);
    size_t left = sl.len - sl.delivered;
    size_t n = std::min(left, len - got);
    if (n) memcpy(buf + got, sl.pkt + VDT_HEAD + sl.delivered, n);
    got += n;
    if (n < left) {
      sl.delivered = static_cast<uint16_t>(sl.delivered + n);
      break;
    }
    bool last = sl.pkt[10] != 0;
    sl.state = kSlotFree;
    r.stored--;
    r.advance_expected();
    if (last) break;
  }
  return static_cast<int>(got);
}

int vdt_recver_send_ack(vdt_conn& c) {
  VdtRecver& r = c.rcv;
  uint32_t missing[VDT_ACK_MISSING_MAX];
  size_t n = 0;
  unsigned char out[VDT_DGRAM_MAX];
  size_t len;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    const uint32_t m = static_cast<uint32_t>(r.slots.size());
    uint32_t top = r.highest && seq_diff(r.highest, r.expected) >= 0 ? r.highest : r.expected - 1;
    uint32_t reach = top;
    // An ask beyond what arrived names numbers lost at the end of a burst; never beyond the
    // slots this side has.
    if (seq_diff(r.ask_seq, reach) > 0) {
      uint32_t limit = r.expected + m - 1;
      reach = seq_diff(r.ask_seq, limit) > 0 ? limit : r.ask_seq;
    }
    uint32_t reported = top;
    for (uint32_t q = r.expected; seq_diff(q, reach) <= 0; ++q) {
      VdtSlot& sl = r.slot(q);
      if (sl.state == kSlotStored && sl.seq == q) continue;
      if (n == VDT_ACK_MISSING_MAX) {
        // The list is full: report only up to here, so no unlisted gap counts as received;
        // the rest goes in the next ack.
        if (seq_diff(q - 1, reported) < 0) reported = q - 1;
        break;
      }
      missing[n++] = q;
    }
    len = vdt_encode_ack(out, r.free_slots(), reported, missing, n);
    r.since_ack = 0;
    r.ask_flag = false;
    r.highest_acked = r.highest;
  }
  vdt_conn_send(c, out, len);
  return 1;
}

void vdt_send_ask_ack_if_flagged(vdt_conn& c) {
  bool flagged;
  {
    std::lock_guard<std::mutex> lock(c.rcv.mu);
    flagged = c.rcv.ask_flag;
  }
  if (flagged) vdt_recver_send_ack(c);
}

void vdt_send_hello(vdt_conn& c) {
  int64_t now = vdt_now_us();
  vdt_timing t = vdt_current_timing();
  unsigned char out[VDT_HELLO_LEN];
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.last_reply && now - c.last_reply < t.quiet_ms * 1000LL) return;
    int rtt = c.rtt_us.load();
    int64_t gap = std::max<int64_t>(rtt ? rtt + 100000 : 0, t.hello_min_ms * 1000LL);
    if (c.last_hello && now - c.last_hello < gap) return;
    // Liveness is this connection's own: nothing from its peer for too long, or too many
    // hellos in a row without an answer.
    if (now - c.last_reception.load() > t.liveness_ms * 1000LL || c.unanswered >= t.max_unanswered) {
      c.open = false;
      return;
    }
    VdtHello h{};
    split_clock(now, &h.sec, &h.usec);
    h.counter = static_cast<uint32_t>(c.hello_counter);
    {
      std::lock_guard<std::mutex> rl(c.rcv.mu);
      h.slots = static_cast<uint16_t>(c.rcv.slots.size());
      h.free_slots = c.rcv.free_slots();
    }
    vdt_encode_hello(out, VDT_HELLO, h);
    c.last_hello = now;
    c.unanswered++;
  }
  vdt_conn_send(c, out, sizeof(out));
}

void vdt_send_check_mtu(vdt_conn& c) {
  int64_t now = vdt_now_us();
  unsigned char out[VDT_DGRAM_MAX];
  size_t len;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.hello_counter <= 0 || c.packet_size.load() != 0) return;
    if (c.last_probe && now - c.last_probe < 200000) return;
    int size = std::max(VDT_DGRAM_MAX - 64 * c.probes, static_cast<int>(VDT_MTU_MIN));
    VdtStamp s{0, 0, 0, static_cast<uint16_t>(size)};
    split_clock(now, &s.sec, &s.usec);
    len = vdt_encode_check_mtu(out, s);
    c.probes++;
    c.last_probe = now;
  }
  // A probe larger than the path fails here (the socket does not fragment) or on the way;
  // either way the next one is smaller.
  vdt_conn_send(c, out, len);
}

void vdt_update_rates(vdt_conn& c) {
  if (!c.rate_on.load()) return;
  int64_t now = vdt_now_us();
  for (int side = 0; side < 2; ++side) {
    std::mutex& mu = side ? c.rcv.mu : c.snd.mu;
    std::lock_guard<std::mutex> lock(mu);
    int64_t& rate_time = side ? c.rcv.rate_time : c.snd.rate_time;
    if (now - rate_time < 2000000) continue;
    uint32_t& rb = side ? c.rcv.rate_bytes : c.snd.rate_bytes;
    uint32_t packets = side ? c.rcv.packets : c.snd.packets;
    if (packets) {
      float since = static_cast<float>(now - rate_time) / 1e6f;
      float all = static_cast<float>(now - (side ? c.rcv.created : c.snd.created)) / 1e6f;
      float cur = rb / 1024.0f / since;
      float avg = static_cast<float>(side ? c.rcv.bytes : c.snd.bytes) / 1024.0f / all;
      float pct = static_cast<float>(side ? c.rcv.retrans : c.snd.retrans) * 100.0f / packets;
      if (side) {
        c.rcv.cur_kbs = cur, c.rcv.avg_kbs = avg, c.rcv.retrans_pct = pct;
      } else {
        c.snd.cur_kbs = cur, c.snd.avg_kbs = avg, c.snd.retrans_pct = pct;
      }
    }
    rb = 0;
    rate_time = now;
  }
}

void vdt_send_close(vdt_conn& c) {
  unsigned char out[12];
  VdtStamp s{};
  split_clock(vdt_now_us(), &s.sec, &s.usec);
  vdt_encode_close(out, s);
  vdt_conn_send(c, out, sizeof(out));
}

int vdt_dispatch(vdt_conn& c, unsigned char* d, size_t len, const sockaddr* from,
                 socklen_t fromlen, void (*wake)(void)) {
  if (len > VDT_DGRAM_MAX) len = VDT_DGRAM_MAX;
  bool from_dest = same_addr(c, from, fromlen);
  if (vdt_is_vvnat_hello(d, len)) {
    int conn_id;
    char uuid[100];
    {
      std::lock_guard<std::mutex> lock(c.mu);
      conn_id = c.conn_id;
      memcpy(uuid, c.uuid, sizeof(uuid));
    }
    if (vdt_make_vvnat_hello_reply(d, len, conn_id, uuid)) send_raw(c.sock, d, len, from, fromlen);
    return -1;
  }
  int type = vdt_packet_type(d, len);
  if (type < 0) return -1;
  if (from_dest) c.last_reception = vdt_now_us();
  // Probes and hellos are answered to whoever sent them; everything that changes the
  // connection must come from its peer.
  switch (type) {
    case VDT_HELLO:
      on_hello(c, d, len, from, fromlen, from_dest);
      return type;
    case VDT_CHECK_MTU: {
      VdtStamp s;
      if (!vdt_decode_check_mtu(d, len, &s)) return -1;
      unsigned char out[16];
      vdt_encode_check_mtu_re(out, d);
      send_raw(c.sock, out, sizeof(out), from, fromlen);
      return type;
    }
    default:
      break;
  }
  if (!from_dest) return -1;
  switch (type) {
    case VDT_HELLO_RE:
      on_hello_re(c, d, len);
      return type;
    case VDT_PACKET: {
      VdtDataHead h;
      if (!vdt_decode_data(d, len, &h)) return -1;
      on_packet(c, d, h);
      return type;
    }
    case VDT_ACK: {
      VdtAck a;
      if (!vdt_decode_ack(d, len, &a)) return -1;
      on_ack(c, a);
      return type;
    }
    case VDT_ASK: {
      VdtStamp s;
      if (!vdt_decode_ask(d, len, &s)) return -1;
      {
        std::lock_guard<std::mutex> lock(c.rcv.mu);
        c.rcv.ask_seq = s.seq;
        c.rcv.ask_flag = true;
      }
      if (wake) wake();
      return type;
    }
    case VDT_CHECK_MTU_RE:
      on_mtu_re(c, d, len);
      return type;
    case VDT_CLOSE: {
      VdtStamp s;
      if (!vdt_decode_close(d, len, &s)) return -1;
      c.open = false;
      return type;
    }
  }
  return -1;
}
