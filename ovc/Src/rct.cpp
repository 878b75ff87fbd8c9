// RCT channels: the channel table, packet forming, the per-channel send thread with heartbeats,
// resends and a CUBIC window, the receive callback with ACK2/SACK2, and the byte interface.
//
// Every record field is guarded by the OVC session lock (recursive). Calls that wait release it
// and sleep on one condition that the receive side signals, so a writer waiting for room or a
// reader waiting for data wakes as soon as something changes. RCT_DeInitialize frees the table
// only after every call that may wait has left (gBusy) and every send thread has been joined.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "ovc_state.h"
#include "rct_internal.h"

namespace {

constexpr uint64_t kFinId = ~0ull;
constexpr uint64_t kRttG = 100000;
constexpr int kCubicMin = 10;
constexpr uint64_t kNeverSentAge = 16000000;
constexpr uint64_t kRtoCap = 8000000;

uint64_t now_us() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct SendNode {
  RctHead h;
  std::vector<uint8_t> data;
  uint64_t lastSend = 0;  // 0: never sent
  uint16_t cwndAtSend = 0;
  uint8_t lossMark = 0;
};

struct Channel {
  int32_t sid = -1;
  uint8_t channel = 0;
  uint8_t allowWrite = 0, wdt = 0, finBits = 0, hbSeen = 0, hbAcked = 0;
  uint8_t remoteIndex = 0, lastRemoteIndex = 0, remoteFixed = 0;
  uint8_t inUse = 0, established = 0, sendState = 0, recvState = 0, forceStop = 0, exitFlag = 0;
  int32_t ovcError = 0;
  uint64_t deliveryPoint = 0, nextSendId = 0;
  std::list<SendNode> sendList;
  std::list<SendNode>::iterator nextToSend;  // first node never sent in order; end(): none
  std::map<uint64_t, std::vector<uint8_t>> recvList;
  std::vector<uint8_t> rbuf, wbuf;
  uint32_t rbufSize = 0, rbufRead = 0, wlen = 0;
  uint32_t sendBytes = 0, bufInRecv = 0;
  uint16_t cwnd = 0;
  uint8_t finReceived = 0;
  uint32_t sendQ = 0;
  uint64_t epoch = 0;
  uint16_t wmax = 0;
  uint64_t srtt = 0, rto = 500000, rttvar = 0;
  uint8_t peerVersion = 0, localAbort = 0, remoteAbort = 0, destroying = 0, writing = 0;
  uint8_t specificId = 0, createExit = 0, remoteCreateExit = 0, finLinger = 0;
  int32_t hbTimer = 0, nextWait = 100000;
  int32_t sackCount = 0;
  uint64_t sackFrom = 0, sackTo = 0;
  RctHead sackHead;
  uint32_t ack2Ready = 0;
  int32_t unacked = 0;
  uint64_t lastInOrder = 0, expected = 0;
  RctHead ack2Head;
  int32_t sendLimit = -1;
  uint32_t maxPending = 0;
  uint64_t finLingerStart = 0;
  std::thread thread;
  std::vector<RctHead> ackQueue;
  uint32_t generation = 0;
  bool capture = false;  // test records: packets go to gSent instead of the session

  Channel() { nextToSend = sendList.end(); }
};

std::atomic<int> gState{0};  // 0 not initialised, 1 initialised, 3 de-initialising
unsigned gMaxChannels = 128;
unsigned gMaxPacket = 1280;
Channel* gTable = nullptr;
unsigned gTableSize = 0;
int gLastSlot = -1;
uint8_t gNextSpecific = 1;
uint32_t gCreated = 0;
std::atomic<bool> gDebug{false};
std::atomic<int> gHeartbeatMs{1000};
std::atomic<int> gBusy{0};
std::vector<RctSent> gSent;

std::mutex gCvMu;
std::condition_variable gCv;
std::atomic<uint64_t> gEvents{0};

void wake() {
  {
    std::lock_guard<std::mutex> l(gCvMu);
    gEvents++;
  }
  gCv.notify_all();
}

// The session lock, released and taken again around waits.
struct Locker {
  bool held = false;
  Locker() { lock(); }
  ~Locker() {
    if (held) unlock();
  }
  void lock() {
    OVC_Session_Lock();
    held = true;
  }
  void unlock() {
    OVC_Session_unLock();
    held = false;
  }
  // Sleeps at most ms, or until the receive side signals; the lock is let go meanwhile.
  void wait(int ms) {
    uint64_t seen = gEvents.load();
    unlock();
    {
      std::unique_lock<std::mutex> l(gCvMu);
      gCv.wait_for(l, std::chrono::milliseconds(ms), [&] { return gEvents.load() != seen; });
    }
    lock();
  }
  void sleep(int ms) {
    unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock();
  }
};

struct BusyGuard {
  BusyGuard() { gBusy++; }
  ~BusyGuard() { gBusy--; }
};

bool valid_id(int id) { return gTable && id >= 0 && (unsigned)id < gTableSize; }

Channel* find_by_session(int sid, uint8_t channel) {
  for (unsigned i = 0; gTable && i < gTableSize; ++i)
    if (gTable[i].inUse && gTable[i].sid == sid && gTable[i].channel == channel) return &gTable[i];
  return nullptr;
}

// ---- Sending --------------------------------------------------------------------------------

int send_raw(Channel& c, const RctHead& h, const uint8_t* body, size_t len) {
  uint8_t buf[RCT_HEAD_SIZE + 1400];
  if (len > sizeof buf - RCT_HEAD_SIZE) return OVC_ER_INVALID_ARG;
  rct_head_write(h, buf);
  if (len) memcpy(buf + RCT_HEAD_SIZE, body, len);
  if (c.capture) {
    RctSent s{h.type, h.id, 0, 0};
    if (h.type == RCT_MSG_DATA_SACK2 && len >= 24) {
      uint32_t w[4];
      for (int i = 0; i < 4; ++i)
        w[i] = (uint32_t)body[8 + 4 * i] | (uint32_t)body[9 + 4 * i] << 8 | (uint32_t)body[10 + 4 * i] << 16 |
               (uint32_t)body[11 + 4 * i] << 24;
      s.from = rct_id_make(w[0], w[1]);
      s.to = rct_id_make(w[2], w[3]);
    }
    if (gSent.size() < 100000) gSent.push_back(s);
    return (int)(RCT_HEAD_SIZE + len);
  }
  return OVC_Session_Write(c.sid, buf, (unsigned)(RCT_HEAD_SIZE + len), c.channel);
}

RctHead control_head(const Channel& c, uint8_t type) {
  RctHead h;
  h.type = type;
  h.index = c.remoteIndex;
  return h;
}

int send_data(Channel& c, SendNode& n) {
  n.h.sendCount++;
  n.cwndAtSend = c.cwnd;
  int r = send_raw(c, n.h, n.data.data(), n.data.size());
  if (r > 0) {
    n.lastSend = now_us();
    if (n.lossMark == 1) n.lossMark = 2;
  }
  return r;
}

void insert_send(Channel& c, const RctHead& h, const uint8_t* data) {
  bool now = (h.type != RCT_MSG_FIN && c.sendQ <= c.cwnd && c.nextToSend == c.sendList.end()) ||
             h.type == RCT_MSG_URGENT;
  SendNode n;
  n.h = h;
  if (h.length) n.data.assign(data, data + h.length);
  auto it = c.sendList.insert(c.sendList.end(), std::move(n));
  c.sendQ++;
  c.sendBytes += h.length;
  bool sent = now && send_data(c, *it) > 0;
  if (!sent && c.nextToSend == c.sendList.end()) c.nextToSend = it;
}

void flush_write_buffer(Channel& c, uint8_t type = RCT_MSG_DATA) {
  if (c.wlen == 0) return;
  RctHead h;
  h.type = type;
  h.length = (uint16_t)c.wlen;
  h.index = c.remoteIndex;
  h.id = c.nextSendId;
  c.nextSendId = rct_id_next(c.nextSendId);
  c.wlen = 0;
  insert_send(c, h, c.wbuf.data());
}

// Removes a node, keeping the counters and the next-to-send position right.
std::list<SendNode>::iterator remove_node(Channel& c, std::list<SendNode>::iterator it) {
  if (it == c.nextToSend) ++c.nextToSend;
  c.sendQ--;
  c.sendBytes -= it->h.length;
  return c.sendList.erase(it);
}

void remove_type(Channel& c, uint8_t type) {
  for (auto it = c.sendList.begin(); it != c.sendList.end(); ++it)
    if (it->h.type == type) {
      remove_node(c, it);
      return;
    }
}

void set_dynamic_limit(Channel& c) {
  uint64_t now = now_us();
  if (now < c.epoch) {
    c.epoch = now;
    return;
  }
  int64_t target = rct_cubic_target(c.wmax, (int64_t)(now - c.epoch));
  int64_t q = (int64_t)c.sendQ + 1;
  int64_t floor = gCreated ? kCubicMin / (int64_t)gCreated : kCubicMin;
  if (floor == 0) floor = 1;
  if (target >= 6501) c.cwnd = (uint16_t)(q < 6500 ? q : 6500);
  else if (target > q) c.cwnd = (uint16_t)q;
  else c.cwnd = (uint16_t)(target < floor ? floor : target);
}

void calc_rto(Channel& c, const SendNode& n) {
  if (n.lastSend == 0) return;  // never sent: no sample
  uint64_t now = now_us();
  if (now < n.lastSend) return;
  uint64_t r = now - n.lastSend;
  if (c.srtt == 0) {
    c.srtt = r;
    c.rttvar = r / 2;
  } else {
    uint64_t diff = c.srtt > r ? c.srtt - r : r - c.srtt;
    c.rttvar = (c.rttvar * 750 + diff * 250) / 1000;
    c.srtt = (r * 125 + c.srtt * 875) / 1000;
  }
  uint64_t var = 4 * c.rttvar;
  c.rto = c.srtt + (var > kRttG ? var : kRttG);
  if (c.rto > kRtoCap) c.rto = kRtoCap;
}

void send_ack_queue(Channel& c) {
  if (c.ackQueue.empty()) return;
  std::vector<RctHead> q;
  q.swap(c.ackQueue);
  for (const RctHead& h : q) send_raw(c, h, nullptr, 0);
}

void queue_ack(Channel& c, const RctHead& rx) {
  RctHead a = rx;
  switch (rx.type) {
    case RCT_MSG_HEARTBIT: a.type = RCT_MSG_HEARTBIT_ACK; break;
    case RCT_MSG_DATA: a.type = RCT_MSG_DATA_ACK; break;
    case RCT_MSG_FIN: a.type = RCT_MSG_FIN_ACK; break;
    case RCT_MSG_URGENT: a.type = RCT_MSG_URGENT_ACK; break;
    case RCT_MSG_ABORT: a.type = RCT_MSG_ABORT_ACK; break;
    default: return;
  }
  a.version = 5;
  a.length = 0;
  if (rx.type != RCT_MSG_HEARTBIT) a.index = c.remoteIndex;
  if (c.ackQueue.size() < 4096) c.ackQueue.push_back(a);
}

// One send pass: queued acknowledgements, then due packets within the window.
int check_send_queue(Channel& c) {
  send_ack_queue(c);
  flush_write_buffer(c);
  c.nextWait = 100000;
  bool lossHandled = false;
  if (c.sendQ > 0) {
    uint32_t limit = c.cwnd > 0 ? c.cwnd : 1;
    uint32_t i = 0;
    for (auto it = c.sendList.begin(); it != c.sendList.end() && i < limit; ++it, ++i) {
      SendNode& n = *it;
      if (n.h.type == RCT_MSG_FIN) {
        if (c.sendQ >= 2) continue;
        if (!c.finLinger) {
          c.finLinger = 1;
          c.finLingerStart = now_us();
        }
      }
      uint64_t now = now_us();
      int64_t age = n.lastSend ? (int64_t)(now - n.lastSend) : (int64_t)kNeverSentAge;
      bool due = age >= (int64_t)c.rto || n.lossMark == 1 || n.h.type == RCT_MSG_URGENT;
      if (!due) {
        int64_t w = ((int64_t)c.rto - age) / 1000;
        if (w < c.nextWait) c.nextWait = (int32_t)w;
        continue;
      }
      if (n.lastSend != 0 && !lossHandled) {
        lossHandled = true;
        c.wmax = n.cwndAtSend;
        c.epoch = now;
        set_dynamic_limit(c);
        if (c.cwnd < i) return 0;
      }
      uint64_t t0 = now_us();
      int r = send_data(c, n);
      if (r < 0) {
        c.ovcError = r;
        return r;
      }
      if (r == 0) return 0;
      if (it == c.nextToSend) ++c.nextToSend;
      if (now_us() - t0 >= 2001) {  // a full path: shrink at once
        c.wmax = c.cwnd;
        c.epoch = now_us();
        set_dynamic_limit(c);
        if (c.cwnd < i) break;
      }
    }
  }
  if (!lossHandled) set_dynamic_limit(c);
  return 0;
}

void free_channel(Channel& c) {
  uint8_t last = c.remoteIndex, spec = c.specificId;
  uint32_t gen = c.generation + 1;
  c.sendList.clear();
  c.recvList.clear();
  std::thread t = std::move(c.thread);
  if (t.joinable()) t.detach();  // never reached: every path joins before freeing
  c.~Channel();
  new (&c) Channel();
  c.lastRemoteIndex = last;
  c.specificId = spec;
  c.generation = gen;
}

// Joins the channel's send thread with the lock released (the thread takes it).
void join_sender(Locker& l, Channel& c) {
  std::thread t = std::move(c.thread);
  l.unlock();
  if (t.joinable()) t.join();
  l.lock();
}

int heartbeat_ms() {
  int v = gHeartbeatMs.load();
  return v > 0 ? v : 1000;
}

void ending_path(Channel& c);

void send_thread(Channel* cp) {
  pthread_setname_np(pthread_self(), "rct_send");
  Channel& c = *cp;
  {
    Locker l;
    c.sendState = 2;
  }
  bool stop = false;
  for (;;) {
    int wait = 0;
    {
      Locker l;
      if (c.established && !c.allowWrite && c.sendQ == 0) break;
      if (stop || c.forceStop) break;
      int hb = heartbeat_ms();
      if (c.hbTimer >= (c.established ? hb : (hb < 100 ? hb : 100))) {
        RctHead h;
        h.type = RCT_MSG_HEARTBIT;
        h.index = c.specificId;
        if (send_raw(c, h, nullptr, 0) < 0) {
          stop = true;
        } else {
          c.hbTimer = 0;
          if (c.established) {
            if (!gDebug && c.wdt > 0) c.wdt--;
            if (c.wdt == 0 && !gDebug) {
              c.exitFlag = 1;
              stop = true;
            }
          }
        }
      }
      flush_write_buffer(c);
      if (check_send_queue(c) != 0) stop = true;
      if (c.forceStop) break;
      wait = c.nextWait;
      if (wait < 20 || !c.established) wait = 20;
      if (wait > 100) wait = 100;
      if (wait > hb) wait = hb;
    }
    uint64_t t0 = now_us();
    do {
      {
        Locker l;
        send_ack_queue(c);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(wait < 5 ? 1 : 5));
    } while ((int64_t)((now_us() - t0) / 1000) < wait);
    Locker l;
    if (c.finLinger && now_us() - c.finLingerStart >= 4 * c.rto) break;
    c.hbTimer += wait;
  }
  Locker l;
  // A watchdog expiry or a failed send ends the receive side too, so a reader is told at once
  // rather than waiting for a packet that will not come.
  if (stop && c.recvState == 2) ending_path(c);
  c.sendState = 3;
  wake();
}

// ---- Receiving ------------------------------------------------------------------------------

void refresh_watchdog(Channel& c) { c.wdt = c.destroying ? 5 : 120; }

void send_ack2(Channel& c) {
  c.unacked = 0;
  RctHead h = c.ack2Head;
  h.type = RCT_MSG_DATA_ACK2;
  h.version = 5;
  h.length = 0;
  h.index = c.remoteIndex;
  h.id = c.lastInOrder;
  send_raw(c, h, nullptr, 0);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void send_sack2(Channel& c) {
  c.sackCount = 0;
  RctHead h = c.sackHead;
  h.type = RCT_MSG_DATA_SACK2;
  h.version = 5;
  h.length = RCT_SACK2_BODY;
  h.index = c.remoteIndex;
  h.id = c.lastInOrder;
  uint8_t body[RCT_SACK2_BODY] = {};
  put32(body + 4, 1);
  put32(body + 8, (uint32_t)c.sackFrom);
  put32(body + 12, (uint32_t)(c.sackFrom >> 32));
  put32(body + 16, (uint32_t)c.sackTo);
  put32(body + 20, (uint32_t)(c.sackTo >> 32));
  send_raw(c, h, body, sizeof body);
}

enum class Store { Stored, Duplicate, Dropped };

Store store_data(Channel& c, const RctHead& h, const uint8_t* body) {
  if (h.id < c.deliveryPoint) return Store::Duplicate;
  if (rct_id_distance(c.deliveryPoint, h.id) >= RCT_RECV_SPAN_LIMIT) return Store::Dropped;
  if (c.recvList.count(h.id)) return Store::Duplicate;
  if (c.recvList.empty()) c.bufInRecv = c.rbufSize - c.rbufRead;
  if (c.bufInRecv + h.length > RCT_RECV_BYTES_LIMIT) return Store::Dropped;
  try {
    c.recvList.emplace(h.id, std::vector<uint8_t>(body, body + h.length));
  } catch (const std::bad_alloc&) {
    return Store::Dropped;  // the peer resends it
  }
  c.bufInRecv += h.length;
  return Store::Stored;
}

// The in-order point moves for every stored packet; ACK2 and SACK2 go out for peers of version
// 5 or more (others get one acknowledgement per packet).
void track_and_ack(Channel& c, const RctHead& h, bool ack2) {
  uint64_t x = h.id;
  if (ack2 && !c.ack2Ready) {
    c.ack2Head = h;
    c.ack2Head.version = 5;
    c.ack2Ready = 1;
  }
  if (x == c.expected) {
    c.unacked++;
    c.lastInOrder = x;
    c.expected = rct_id_next(x);
    for (auto it = c.recvList.find(c.expected); it != c.recvList.end() && it->first == c.expected; ++it) {
      c.lastInOrder = c.expected;
      c.expected = rct_id_next(c.expected);
    }
    if (!ack2) return;
    if (c.sackCount > 0) {
      if (c.sackTo > c.lastInOrder) {
        if (c.sackFrom < c.lastInOrder) c.sackFrom = c.lastInOrder;
        send_sack2(c);
      } else {
        c.sackCount = 0;
      }
    }
    if (c.unacked > (int32_t)c.maxPending) send_ack2(c);
  } else if (x < c.expected) {
    if (!ack2) return;
    send_ack2(c);
    c.unacked = 1;
  } else {
    if (!ack2) return;
    if (c.unacked > 0) send_ack2(c);
    auto open = [&] {
      c.sackCount = 1;
      c.sackFrom = c.sackTo = x;
      c.sackHead = h;
    };
    if (c.sackCount > 0 && x == rct_id_next(c.sackTo)) {
      c.sackCount++;
      c.sackTo = x;
      if (c.sackCount > (int32_t)c.maxPending) send_sack2(c);
    } else if (c.sackCount > 0) {
      send_sack2(c);
      open();
    } else {
      open();
    }
  }
}

// Sends the next packets in order after an acknowledgement (the window is clocked by acks).
void clock_out(Channel& c, uint16_t cwndAtSend, int times) {
  for (int k = 0; k < times; ++k) {
    if (c.cwnd < cwndAtSend || c.nextToSend == c.sendList.end()) return;
    if (c.nextToSend->h.type == RCT_MSG_FIN) return;
    if (send_data(c, *c.nextToSend) <= 0) return;
    ++c.nextToSend;
  }
}

bool is_data(const SendNode& n) { return n.h.type == RCT_MSG_DATA || n.h.type == RCT_MSG_URGENT; }

void on_packet_ack(Channel& c, const RctHead& h) {
  refresh_watchdog(c);
  for (auto it = c.sendList.begin(); it != c.sendList.end(); ++it) {
    if (!is_data(*it)) continue;
    if (it->h.id < h.id) {
      if (c.peerVersion >= 5 && h.type == RCT_MSG_DATA_ACK && it->lossMark == 0) it->lossMark = 1;
      continue;
    }
    if (it->h.id == h.id) {
      calc_rto(c, *it);
      uint16_t cws = it->cwndAtSend;
      if (c.cwnd >= cws && c.nextToSend != c.sendList.end() && c.nextToSend != it &&
          c.nextToSend->h.type != RCT_MSG_FIN && send_data(c, *c.nextToSend) > 0)
        ++c.nextToSend;
      remove_node(c, it);
    }
    return;
  }
}

void on_ack2(Channel& c, uint64_t id) {
  refresh_watchdog(c);
  int n = 0;
  while (!c.sendList.empty() && is_data(c.sendList.front()) && c.sendList.front().h.id < id) {
    remove_node(c, c.sendList.begin());
    n++;
  }
  if (!c.sendList.empty() && is_data(c.sendList.front()) && c.sendList.front().h.id == id) {
    calc_rto(c, c.sendList.front());
    uint16_t cws = c.sendList.front().cwndAtSend;
    remove_node(c, c.sendList.begin());
    clock_out(c, cws, n + 1);
  }
}

void on_sack2(Channel& c, const uint8_t* body) {
  refresh_watchdog(c);
  uint32_t count = get32(body + 4);
  if (count > 4) count = 4;
  for (uint32_t r = 0; r < count; ++r) {
    const uint8_t* p = body + 8 + 16 * r;
    uint64_t from = rct_id_make(get32(p), get32(p + 4));
    uint64_t to = rct_id_make(get32(p + 8), get32(p + 12));
    int n = 0;
    for (auto it = c.sendList.begin(); it != c.sendList.end();) {
      if (!is_data(*it)) {
        ++it;
        continue;
      }
      uint64_t id = it->h.id;
      if (id < from) {
        if (it->lossMark == 0) it->lossMark = 1;
        ++it;
      } else if (id < to) {
        it = remove_node(c, it);
        n++;
      } else if (id == to) {
        calc_rto(c, *it);
        uint16_t cws = it->cwndAtSend;
        remove_node(c, it);
        clock_out(c, cws, n + 1);
        break;
      } else {
        break;
      }
    }
  }
}

void ending_path(Channel& c) {
  c.recvState = 3;
  c.forceStop = 1;
  send_raw(c, control_head(c, RCT_MSG_QUIT), nullptr, 0);
}

}  // namespace

// ---- Shared helpers -------------------------------------------------------------------------

void rct_head_write(const RctHead& h, uint8_t* o) {
  put32(o, h.magic);
  o[4] = h.type;
  o[5] = h.version;
  o[6] = (uint8_t)h.length;
  o[7] = (uint8_t)(h.length >> 8);
  put32(o + 8, (uint32_t)h.id);
  put32(o + 12, (uint32_t)(h.id >> 32));
  o[16] = h.sendCount;
  o[17] = h.index;
  o[18] = (uint8_t)h.reserved;
  o[19] = (uint8_t)(h.reserved >> 8);
}

RctHead rct_head_read(const uint8_t* p) {
  RctHead h;
  h.magic = get32(p);
  h.type = p[4];
  h.version = p[5];
  h.length = (uint16_t)(p[6] | p[7] << 8);
  h.id = rct_id_make(get32(p + 8), get32(p + 12));
  h.sendCount = p[16];
  h.index = p[17];
  h.reserved = (uint16_t)(p[18] | p[19] << 8);
  return h;
}

uint64_t rct_id_make(uint32_t low, uint32_t high) { return (uint64_t)high << 32 | low; }

uint64_t rct_id_next(uint64_t id) {
  uint32_t lo = (uint32_t)id, hi = (uint32_t)(id >> 32);
  if (lo >= 0xF0000000u) {
    lo = 0;
    hi++;
  } else {
    lo++;
  }
  return rct_id_make(lo, hi);
}

uint64_t rct_id_distance(uint64_t a, uint64_t b) {
  if (b <= a) return 0;
  uint32_t ha = (uint32_t)(a >> 32), hb = (uint32_t)(b >> 32);
  uint64_t la = (uint32_t)a, lb = (uint32_t)b;
  if (la > 0xF0000000u) la = 0xF0000000u;
  if (lb > 0xF0000000u) lb = 0xF0000000u;
  if (hb - ha >= 2) return ~0ull;
  return (uint64_t)(hb - ha) * 0xF0000001ull + lb - la;
}

uint32_t icbrt(uint32_t x) {
  uint32_t y = 0, b = 0;
  for (int s = 30; s >= 0; s -= 3) {
    uint32_t c = (12 * b + 6 * y + 1) << s;
    // The shifted term can pass 32 bits only when it is larger than any x.
    uint64_t wide = (uint64_t)(12ull * b + 6ull * y + 1) << s;
    if (wide == c && x >= c) {
      x -= c;
      b = 4 * b + 4 * y + 1;
      y = 2 * y + 1;
    } else {
      b = 4 * b;
      y = 2 * y;
    }
  }
  return y;
}

int64_t rct_cubic_target(uint16_t wmax, int64_t t) {
  int64_t k = icbrt((uint32_t)(wmax / 2) * 1000u);
  int64_t x = t - k * 100000;
  // Beyond 1000 s the window is at its cap anyway; the clamp keeps the products in range.
  if (x > 1000000000) x = 1000000000;
  int64_t ms = x / 1000, s = x / 1000000;
  return (int64_t)wmax + ((((s * ms) / 1000) * ms) / 1000) * 400 / 1000;
}

void rct_set_heartbeat_ms(int ms) { gHeartbeatMs = ms > 0 ? ms : 1000; }
int rct_debug_mode() { return gDebug ? 1 : 0; }

void U64_zero(RCT_U64* id) {
  if (id) id->low = id->high = 0;
}
int U64_compare(const RCT_U64* a, const RCT_U64* b) {
  uint64_t x = rct_id_make(a->low, a->high), y = rct_id_make(b->low, b->high);
  return x > y ? 1 : x < y ? -1 : 0;
}
void U64_add(RCT_U64* id) {
  uint64_t n = rct_id_next(rct_id_make(id->low, id->high));
  id->low = (uint32_t)n;
  id->high = (uint32_t)(n >> 32);
}
void U64_copy(const RCT_U64* src, RCT_U64* dst) { *dst = *src; }

// ---- Receive callbacks ----------------------------------------------------------------------

void RCTRecvCB(int sid, uint8_t channel, const uint8_t* pkt, uint32_t length, int status) {
  Locker l;
  if (gState.load() == 0 || !gTable) return;
  if (status < 0) {
    // The session ended (its status comes without a packet): every call on the channel reports it.
    if (Channel* c = find_by_session(sid, channel)) {
      c->ovcError = status;
      wake();
    }
    return;
  }
  if (!pkt || length < (uint32_t)RCT_HEAD_SIZE) return;
  RctHead h = rct_head_read(pkt);
  if (h.magic != RCT_MAGIC) return;
  // The head's length must be what arrived, and data must fit the receive buffer.
  if ((uint32_t)h.length != length - RCT_HEAD_SIZE) return;
  const uint8_t* body = pkt + RCT_HEAD_SIZE;
  bool data = h.type == RCT_MSG_DATA || h.type == RCT_MSG_URGENT;
  if (data && (h.length == 0 || h.length > RCT_RECV_BUFFER)) return;
  if (h.type == RCT_MSG_DATA_SACK2 && h.length != RCT_SACK2_BODY) return;

  Channel* cp = nullptr;
  if (h.index != 0 && h.type != RCT_MSG_HEARTBIT) {
    for (unsigned i = 0; i < gTableSize && !cp; ++i) {
      Channel& t = gTable[i];
      if (t.inUse && t.specificId == h.index && t.sid == sid && t.channel == channel) cp = &t;
    }
  } else {
    cp = find_by_session(sid, channel);
  }
  if (!cp) return;
  Channel& c = *cp;
  if (c.recvState == 3) return;

  if (h.type == RCT_MSG_HEARTBIT && h.version >= 4) {
    if (c.remoteFixed) {
      if (h.index != c.remoteIndex) return;
    } else if (h.index != c.lastRemoteIndex) {
      c.remoteIndex = h.index;
      c.remoteFixed = 1;
    }
  }
  bool ending = c.exitFlag || c.remoteAbort || (c.established && c.wdt == 0) || c.localAbort;
  if (!ending) {
    switch (h.type) {
      case RCT_MSG_HEARTBIT:
        c.peerVersion = h.version;
        c.hbSeen = 1;
        refresh_watchdog(c);
        queue_ack(c, h);
        break;
      case RCT_MSG_HEARTBIT_ACK:
        refresh_watchdog(c);
        c.hbAcked = 120;
        break;
      case RCT_MSG_DATA:
      case RCT_MSG_URGENT: {
        refresh_watchdog(c);
        // Acknowledged only once stored: a packet that could not be kept comes again.
        Store st = store_data(c, h, body);
        if (st == Store::Dropped) break;
        bool ack2 = h.type == RCT_MSG_DATA && c.peerVersion >= 5;
        if (st == Store::Stored || ack2) track_and_ack(c, h, ack2);
        if (!ack2) queue_ack(c, h);
        break;
      }
      case RCT_MSG_DATA_ACK:
      case RCT_MSG_URGENT_ACK: on_packet_ack(c, h); break;
      case RCT_MSG_DATA_ACK2: on_ack2(c, h.id); break;
      case RCT_MSG_DATA_SACK2: on_sack2(c, body); break;
      case RCT_MSG_FIN:
        if (!c.established) break;
        queue_ack(c, h);
        c.finReceived = 1;
        c.finBits |= 1;
        if (c.finBits == 3) {
          remove_type(c, RCT_MSG_FIN);
          c.exitFlag = 1;
        }
        c.forceStop = 1;
        break;
      case RCT_MSG_FIN_ACK:
        remove_type(c, RCT_MSG_FIN);
        c.finBits |= 2;
        if (c.established) {
          if (c.finBits == 3) c.exitFlag = 1;
          c.forceStop = 1;
        }
        break;
      case RCT_MSG_QUIT:
        c.forceStop = 1;
        remove_type(c, RCT_MSG_FIN);
        break;
      case RCT_MSG_ABORT:
        queue_ack(c, h);
        c.remoteAbort = 1;
        c.forceStop = 1;
        break;
      case RCT_MSG_ABORT_ACK:
        remove_type(c, RCT_MSG_ABORT);
        c.exitFlag = 1;
        break;
      case RCT_MSG_CREATE_EXIT:
        c.remoteCreateExit = 1;
        c.exitFlag = 1;
        break;
      default: break;
    }
    ending = c.forceStop || c.exitFlag;
  }
  if (ending) ending_path(c);
  wake();
}

void RCTRecvIdleCB(int sid, uint8_t channel) {
  Locker l;
  if (gState.load() == 0 || !gTable) return;
  Channel* c = find_by_session(sid, channel);
  if (!c || !c->ack2Ready || c->recvState == 3) return;
  if (c->unacked > 0) send_ack2(*c);
  if (c->sackCount > 0) send_sack2(*c);
}

// ---- Settings -------------------------------------------------------------------------------

unsigned RCT_Set_Max_Session_Number(unsigned n) {
  Locker l;
  if (gState.load() == 0 && n > 0) gMaxChannels = n;
  return n;
}

void RCT_Set_Max_Channel_Number(unsigned n) {
  Locker l;
  if (gState.load() == 0 && n > 0) gMaxChannels = n;
}

int RCT_Set_MaxPacketDataSize(unsigned size) {
  if (size < 100 || size > RCT_RECV_BUFFER) return RCT_ER_INVALID_ARG;
  Locker l;
  gMaxPacket = size;  // channels keep the size they were made with
  return 0;
}

void RCT_Set_Log_Path(const char*) {}
int RCT_GetRCTApiVer(void) { return RCT_API_VERSION; }

// ---- Library --------------------------------------------------------------------------------

int RCT_Initialize(void) {
  if (!gSessionLock.initialised) orv_mutex_init(&gSessionLock, "gSessionLock");
  Locker l;
  if (gState.load() != 0) return RCT_ER_ALREADY_INITIALIZED;
  try {
    gTable = new Channel[gMaxChannels];
  } catch (const std::bad_alloc&) {
    return RCT_ER_NO_MEMORY;
  }
  gTableSize = gMaxChannels;
  gLastSlot = -1;
  gSent.clear();
  FILE* f = fopen("notimeout", "r");
  gDebug = f != nullptr;
  if (f) {
    fclose(f);
    printf("RCT_DebugMode ON\n");
    fflush(stdout);
  }
  gState = 1;
  return (int)gTableSize;
}

int RCT_DeInitialize(void) {
  int expect = 1;
  if (!gState.compare_exchange_strong(expect, 3)) return expect == 3 ? RCT_ER_DEINIT_RUNNING : RCT_ER_NOT_INITIALIZED;
  wake();  // waiting creates, writes and reads see the state and leave
  for (unsigned id = 0; id < gTableSize; ++id) {
    for (;;) {
      int r = RCT_Abort((int)id);
      if (r != RCT_ER_LOCAL_ABORT && r != RCT_ER_CLOSED) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  while (gBusy.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Locker l;
  // Test records have no thread; anything else was joined by the aborts and the creates.
  for (unsigned i = 0; i < gTableSize; ++i) {
    if (gTable[i].thread.joinable()) {
      std::thread t = std::move(gTable[i].thread);
      gTable[i].forceStop = 1;
      l.unlock();
      t.join();
      l.lock();
    }
  }
  delete[] gTable;
  gTable = nullptr;
  gTableSize = 0;
  gState = 0;
  return 0;
}

// ---- Channels -------------------------------------------------------------------------------

namespace {

void clear_callbacks(const Channel& c) {
  OVC_Session_Channel_OFF(c.sid, c.channel);
  OVC_Session_Set_Channel_RcvCb(c.sid, c.channel, nullptr, OVC_INTERNAL_GUARD);
  OVC_Session_Set_Channel_RcvIdleCb(c.sid, c.channel, nullptr, OVC_INTERNAL_GUARD);
}

// Takes a free slot for (sid, channel), or returns an error. The lock is held.
int take_slot(int sid, uint8_t channel, uint8_t peerVersion, bool capture) {
  // Every slot is checked for the pair first, so a duplicate beyond the first free slot is seen.
  if (find_by_session(sid, channel)) return RCT_ER_CHANNEL_TAKEN;
  int slot = -1;
  for (unsigned i = 0; i < gTableSize; ++i) {
    unsigned s = (unsigned)(gLastSlot + 1 + (int)i) % gTableSize;
    if (!gTable[s].inUse) {
      slot = (int)s;
      break;
    }
  }
  if (slot < 0) return RCT_ER_NO_FREE_CHANNEL;
  gLastSlot = slot;
  gCreated++;
  Channel& c = gTable[slot];
  uint8_t last = c.lastRemoteIndex;
  uint32_t gen = c.generation;
  c.~Channel();
  new (&c) Channel();
  c.lastRemoteIndex = last;
  c.generation = gen;
  c.specificId = gNextSpecific;
  gNextSpecific = gNextSpecific >= 254 ? 1 : (uint8_t)(gNextSpecific + 1);
  c.inUse = 1;
  c.sid = sid;
  c.channel = channel;
  c.peerVersion = peerVersion;
  c.capture = capture;
  try {
    c.rbuf.resize(RCT_RECV_BUFFER);
    c.wbuf.resize(gMaxPacket);
  } catch (const std::bad_alloc&) {
    free_channel(c);
    return RCT_ER_NO_MEMORY;
  }
  return slot;
}

// The checks shared by write, flush and the send-buffer setter.
int write_checks(int id) {
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (!valid_id(id)) return RCT_ER_INVALID_ID;
  Channel& c = gTable[id];
  if (c.ovcError < 0) return c.ovcError;
  if (!c.inUse || c.recvState != 2) return RCT_ER_INVALID_ID;
  if (c.remoteAbort) return RCT_ER_REMOTE_ABORT;
  if (!c.allowWrite) return RCT_ER_CLOSED;
  if (c.localAbort) return RCT_ER_LOCAL_ABORT;
  return 0;
}

}  // namespace

int RCT_Create(int sid, int timeoutMs, uint8_t channel) {
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (sid < 0) return OVC_ER_INVALID_SID;
  if (channel >= OVC_CHANNELS) return RCT_ER_INVALID_ARG;
  BusyGuard busy;
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  int id = take_slot(sid, channel, 0, false);
  if (id < 0) return id;
  Channel& c = gTable[id];
  OVC_Session_Channel_OFF(sid, channel);
  OVC_Session_Channel_ON(sid, channel);
  OVC_Session_Set_Channel_RcvCb(sid, channel, RCTRecvCB, OVC_INTERNAL_GUARD);
  OVC_Session_Set_Channel_RcvIdleCb(sid, channel, RCTRecvIdleCB, OVC_INTERNAL_GUARD);
  try {
    c.thread = std::thread(send_thread, &c);
  } catch (const std::system_error&) {
    free_channel(c);
    return RCT_ER_THREAD;
  }
  c.recvState = 2;
  int proto = OVC_Get_Remote_ProtocolVersion(sid);
  if (proto < 0) proto = 0;
  proto &= ~1;
  int64_t steps = timeoutMs > 0 ? timeoutMs / 5 + 1 : -1;
  int result = 0;
  for (int64_t i = 0;; ++i) {
    bool answered = proto < 6 ? c.wdt != 0 : (c.hbSeen && c.hbAcked);
    if (answered) {
      c.allowWrite = 1;
      c.established = 1;
      c.cwnd = 1000;
      c.wmax = c.cwnd;
      c.epoch = now_us();
      return id;
    }
    if (gState.load() != 1) result = RCT_ER_NOT_INITIALIZED;
    else if (c.createExit) result = RCT_ER_CREATE_EXIT;
    else if (c.remoteCreateExit) result = RCT_ER_REMOTE_CREATE_EXIT;
    else if (int st = OVC_Check_Session_Status(sid); st < 0) result = st;
    else if (c.sendState == 3 || c.recvState == 3) result = c.ovcError < 0 ? c.ovcError : RCT_ER_TIMEOUT;
    else if (steps >= 0 && i >= steps) result = RCT_ER_TIMEOUT;
    if (result) break;
    l.sleep(5);
  }
  c.forceStop = 1;
  c.exitFlag = 1;
  join_sender(l, c);
  free_channel(c);
  return result;
}

int RCT_Create_Exit(int sid, uint8_t channel) {
  if (sid < 0 || channel >= OVC_CHANNELS) return RCT_ER_INVALID_ARG;
  Locker l;
  if (gState.load() == 0) return RCT_ER_NOT_INITIALIZED;
  Channel* c = find_by_session(sid, channel);
  if (!c) return RCT_ER_INVALID_ID;
  c->createExit = 1;
  send_raw(*c, control_head(*c, RCT_MSG_CREATE_EXIT), nullptr, 0);
  send_raw(*c, control_head(*c, RCT_MSG_QUIT), nullptr, 0);
  return 0;
}

int RCT_Write(int id, const void* data, unsigned length) {
  BusyGuard busy;
  Locker l;
  if (int e = write_checks(id)) return e;
  // The count comes back as an int, so a longer write could not report itself.
  if ((!data && length) || length > 0x7FFFFFFFu) return RCT_ER_INVALID_ARG;
  Channel& c = gTable[id];
  uint32_t gen = c.generation;
  c.writing = 1;
  if (c.sendLimit == -1) {
    while (c.sendBytes > RCT_DEFAULT_SEND_LIMIT) {
      int e = 0;
      if (c.destroying || !c.allowWrite) e = RCT_ER_CLOSED;
      else if (c.localAbort) e = RCT_ER_LOCAL_ABORT;
      else if (c.ovcError < 0) e = c.ovcError;
      else if (int st = OVC_Check_Session_Status(c.sid); st < 0) e = st;
      else if (gState.load() != 1) e = RCT_ER_NOT_INITIALIZED;
      else if (c.recvState != 2) e = RCT_ER_CLOSED;  // the peer ended: nothing will be acknowledged
      if (e) {
        c.writing = 0;
        wake();
        return e;
      }
      l.wait(100);
      // Abort and destroy wait for the writing mark, so the record cannot have been freed.
      if (c.generation != gen) return RCT_ER_INVALID_ID;
    }
  } else if (c.sendLimit > 0 && (uint64_t)c.sendBytes + length > (uint64_t)c.sendLimit) {
    c.writing = 0;
    wake();
    l.sleep(5);
    return RCT_ER_SEND_BUFFER_FULL;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t size = (uint32_t)c.wbuf.size();
  uint32_t left = length;
  uint32_t room = size - c.wlen;
  if (left <= room) {
    memcpy(c.wbuf.data() + c.wlen, p, left);
    c.wlen += left;
  } else {
    memcpy(c.wbuf.data() + c.wlen, p, room);
    c.wlen = size;
    p += room;
    left -= room;
    flush_write_buffer(c);
    while (left >= size) {
      memcpy(c.wbuf.data(), p, size);
      c.wlen = size;
      flush_write_buffer(c);
      p += size;
      left -= size;
    }
    memcpy(c.wbuf.data(), p, left);
    c.wlen = left;
  }
  c.writing = 0;
  wake();
  return (int)length;
}

int RCT_Read(int id, void* buffer, int length, int timeoutMs) {
  BusyGuard busy;
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (!valid_id(id) || !gTable[id].inUse) return RCT_ER_INVALID_ID;
  Channel& c = gTable[id];
  if (c.remoteAbort) return RCT_ER_REMOTE_ABORT;
  if (c.ovcError < 0) return c.ovcError;
  if (length < 0 || timeoutMs < 0 || (!buffer && length > 0)) return RCT_ER_INVALID_ARG;
  if (c.localAbort) return RCT_ER_LOCAL_ABORT;
  bool bufEmpty = c.rbufRead >= c.rbufSize;
  // End of data comes before the closed receive side: the FIN itself ends that side.
  if (c.finReceived && bufEmpty && c.recvList.empty()) return RCT_ER_END_OF_DATA;
  if (bufEmpty && c.recvList.empty() && c.recvState != 2) return RCT_ER_CLOSED;
  if (bufEmpty && c.recvState == 3 && !c.recvList.empty() && c.recvList.begin()->first != c.deliveryPoint)
    return RCT_ER_CLOSED;
  uint32_t gen = c.generation;
  uint64_t deadline = now_us() + (uint64_t)timeoutMs * 1000;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  for (;;) {
    if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
    if (c.generation != gen || !c.inUse) return RCT_ER_INVALID_ID;
    if (c.localAbort) return RCT_ER_LOCAL_ABORT;
    if (c.remoteAbort) return RCT_ER_REMOTE_ABORT;
    if (c.remoteCreateExit) return RCT_ER_REMOTE_CREATE_EXIT;
    if (c.ovcError < 0) return c.ovcError;
    uint32_t copied = 0;
    for (;;) {
      if (c.rbufRead < c.rbufSize) {
        uint32_t n = c.rbufSize - c.rbufRead;
        if (n > (uint32_t)length - copied) n = (uint32_t)length - copied;
        memcpy(out + copied, c.rbuf.data() + c.rbufRead, n);
        c.rbufRead += n;
        copied += n;
      }
      if (copied >= (uint32_t)length) break;
      c.rbufRead = c.rbufSize = 0;
      auto it = c.recvList.begin();
      if (it == c.recvList.end() || it->first != c.deliveryPoint) break;
      c.deliveryPoint = rct_id_next(c.deliveryPoint);
      memcpy(c.rbuf.data(), it->second.data(), it->second.size());
      c.rbufSize = (uint32_t)it->second.size();
      c.recvList.erase(it);
    }
    c.bufInRecv = c.bufInRecv > copied ? c.bufInRecv - copied : 0;
    if (copied > 0) return (int)copied;
    if (timeoutMs == 0 || c.finReceived) return RCT_ER_TIMEOUT;
    if (c.recvState == 3) return RCT_ER_CLOSED;  // nothing more can arrive
    uint64_t now = now_us();
    if (now >= deadline) return RCT_ER_TIMEOUT;
    uint64_t left = (deadline - now + 999) / 1000;
    l.wait((int)(left < 10 ? left : 10));
  }
}

int RCT_Flush(int id) {
  Locker l;
  if (int e = write_checks(id)) return e;
  flush_write_buffer(gTable[id]);
  return 0;
}

int RCT_Set_Max_SendBuffer_Size(int id, int size) {
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (!valid_id(id)) return RCT_ER_INVALID_ID;
  Channel& c = gTable[id];
  if (c.ovcError < 0) return c.ovcError;
  if (!c.inUse || c.recvState != 2) return RCT_ER_INVALID_ID;
  if (c.remoteAbort) return RCT_ER_REMOTE_ABORT;
  c.sendLimit = size;
  wake();
  return 0;
}

int RCT_Set_Max_Pending_ACK_Number(int id, int number) {
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (!valid_id(id) || !gTable[id].inUse) return RCT_ER_INVALID_ID;
  Channel& c = gTable[id];
  if (c.sendState == 3 && c.recvState == 3) return RCT_ER_CLOSED;
  c.maxPending = (uint32_t)number;
  return 0;
}

static int status_fill(int id, RCT_StatusEx* out) {
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  if (!valid_id(id) || !gTable[id].inUse) return RCT_ER_INVALID_ID;
  Channel& c = gTable[id];
  if (c.sendState == 3 && c.recvState == 3) return RCT_ER_CLOSED;
  if (!out) return RCT_ER_INVALID_ARG;
  out->ticksSinceReceipt = (uint16_t)(120 - c.wdt);
  out->tickLimit = 120;
  out->sendBytes = c.sendBytes;
  out->unreadBytes = c.bufInRecv;
  out->cwnd = c.cwnd;
  out->channelsCreated = (uint16_t)gCreated;
  return 0;
}

int RCT_Status_Check(int id, RCT_Status* out) {
  RCT_StatusEx ex;
  int r = status_fill(id, out ? &ex : nullptr);
  if (r == 0) memcpy(out, &ex, sizeof *out);
  return r;
}

int RCT_Private_Status_Check(uint32_t guard, int id, RCT_StatusEx* out) {
  if (guard != RCT_PRIVATE_GUARD) return 0;
  return status_fill(id, out);
}

void RCT_Write_UrgentData(uint32_t guard, int id, const void* data, int length) {
  if (guard != RCT_PRIVATE_GUARD || !data) return;
  Locker l;
  if (gState.load() != 1 || !valid_id(id)) return;
  Channel& c = gTable[id];
  if (c.ovcError < 0 || !c.inUse || c.recvState != 2) return;
  if (length < 1 || (size_t)length > c.wbuf.size()) return;
  flush_write_buffer(c);
  memcpy(c.wbuf.data(), data, (size_t)length);
  c.wlen = (uint32_t)length;
  flush_write_buffer(c, RCT_MSG_URGENT);
}

namespace {

// Channel off, callbacks gone and the record freed; the lock is held.
void finish(Channel& c) {
  if (!c.capture) clear_callbacks(c);
  free_channel(c);
  wake();
}

void wait_writer(Locker& l, Channel& c) {
  for (int i = 0; i < 50 && c.writing; ++i) l.wait(100);
}

// What both ends ask of a channel: live and not already ending. 0 or the code; lock held.
int check_endable(int id) {
  if (gState.load() == 0 || !valid_id(id)) return RCT_ER_INVALID_ID;
  const Channel& c = gTable[id];
  if (!c.established || !c.inUse) return RCT_ER_INVALID_ID;
  if (c.localAbort) return RCT_ER_LOCAL_ABORT;
  if (c.destroying) return RCT_ER_CLOSED;
  return 0;
}

}  // namespace

int RCT_Destroy(int id) {
  if (gState.load() == 0) return RCT_ER_NOT_INITIALIZED;
  BusyGuard busy;
  Locker l;
  if (int e = check_endable(id)) return e;
  Channel& c = gTable[id];
  c.destroying = 1;
  // A silent peer is given the short count at once, not the rest of the long one.
  if (c.wdt > 5) c.wdt = 5;
  wake();
  wait_writer(l, c);
  if (!c.remoteAbort && c.allowWrite && c.sendState == 2 && c.recvState == 2) {
    flush_write_buffer(c);
    c.allowWrite = 0;
    RctHead fin;
    fin.type = RCT_MSG_FIN;
    fin.id = kFinId;
    fin.index = c.remoteIndex;
    insert_send(c, fin, nullptr);
  }
  c.allowWrite = 0;
  join_sender(l, c);
  send_raw(c, control_head(c, RCT_MSG_QUIT), nullptr, 0);
  int r = c.remoteAbort ? RCT_ER_REMOTE_ABORT : 0;
  finish(c);
  return r;
}

int RCT_Abort(int id) {
  if (gState.load() == 0) return RCT_ER_NOT_INITIALIZED;
  BusyGuard busy;
  Locker l;
  if (int e = check_endable(id)) return e;
  Channel& c = gTable[id];
  c.sendList.clear();
  c.nextToSend = c.sendList.end();
  c.sendQ = 0;
  c.sendBytes = 0;
  c.recvList.clear();
  c.bufInRecv = 0;
  int r = 0;
  if (!c.remoteAbort) {
    send_raw(c, control_head(c, RCT_MSG_ABORT), nullptr, 0);
    send_raw(c, control_head(c, RCT_MSG_QUIT), nullptr, 0);
  } else {
    r = RCT_ER_REMOTE_ABORT;
  }
  c.forceStop = c.exitFlag = c.localAbort = 1;
  c.recvState = 3;
  c.allowWrite = 0;
  wake();
  wait_writer(l, c);
  join_sender(l, c);
  finish(c);
  return r;
}

// ---- Test views -----------------------------------------------------------------------------

int rct_view(int id, RctView* o) {
  Locker l;
  if (!valid_id(id)) return RCT_ER_INVALID_ID;
  const Channel& c = gTable[id];
  *o = RctView{c.inUse, c.established, c.sendState, c.recvState, c.forceStop, c.exitFlag, c.specificId,
               c.remoteIndex, c.lastRemoteIndex, c.remoteFixed, c.wdt, c.peerVersion, c.sendQ, c.sendBytes,
               c.bufInRecv, (uint32_t)c.recvList.size(), c.cwnd, (uint32_t)c.rto, (uint32_t)c.srtt,
               c.expected, c.lastInOrder, c.deliveryPoint, c.ovcError};
  return 0;
}

int rct_attach_for_test(int sid, uint8_t channel, uint8_t peerVersion) {
  Locker l;
  if (gState.load() != 1) return RCT_ER_NOT_INITIALIZED;
  int id = take_slot(sid, channel, peerVersion, true);
  if (id < 0) return id;
  Channel& c = gTable[id];
  c.recvState = 2;
  c.sendState = 2;
  c.allowWrite = c.established = 1;
  c.wdt = 120;
  c.cwnd = c.wmax = 1000;
  c.epoch = now_us();
  return id;
}

void rct_detach_for_test(int id) {
  Locker l;
  if (valid_id(id) && gTable[id].capture) free_channel(gTable[id]);
}

int rct_take_sent(RctSent* out, int capacity) {
  Locker l;
  int n = 0;
  for (; n < capacity && n < (int)gSent.size(); ++n) out[n] = gSent[(size_t)n];
  gSent.clear();
  return n;
}
