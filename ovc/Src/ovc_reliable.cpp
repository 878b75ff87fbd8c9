// The reliable queue of a channel: numbered messages resent every 50 ms until acknowledged, and
// on the receiving side delivery in number order with a bounded hold for early arrivals.
//
// Lock order: gSessionLock first, then a reliance's send or receive mutex. Every entry point
// takes gSessionLock before touching a reliance, so the receive side, the resend task and
// DestroyReliance never run over the same reliance at once.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <vector>

#include "ovc_state.h"

constexpr int kReliableLimit = 20;
constexpr int kReliablePayloadMax = 1384;
static std::atomic<int> gResendLimit{600};
void ovc_set_reliable_resend_limit(int runs) { gResendLimit = runs > 0 ? runs : 600; }

struct OVC_ReliableMsg {
  uint32_t number;
  int32_t sid;
  uint8_t channel;
  std::vector<uint8_t> payload;
  uint16_t seq;
  int runs;
};

struct OVC_Reliance {
  std::deque<OVC_ReliableMsg> sendList;
  int32_t limit = kReliableLimit;
  uint32_t nextNumber = 0;
  uint8_t abort = 0;
  uint8_t ended = 0;  // messages were dropped unacknowledged: the stream cannot go on
  orvan_task_t* resendTask = nullptr;
  orv_mutex_t sendMu{};
  std::deque<OVC_ReliableMsg> held;  // sorted by number
  orv_mutex_t recvMu{};
  uint32_t nextExpected = 0;
  int32_t sid = -1;
  uint8_t channel = 0;
};

static void OVC_Reliable_ResendTask(orvan_task_t*, uint32_t, uint16_t, void* user, int);

int OVC_Reliable_NewReliance(OVC_Reliance** out, int sid, uint8_t channel) {
  if (!out) return TERROR_EINVAL;
  auto* r = new (std::nothrow) OVC_Reliance();
  if (!r) return TERROR_ENOMEM;
  r->sid = sid;
  r->channel = channel;
  orv_mutex_init(&r->sendMu, "rel_send");
  orv_mutex_init(&r->recvMu, "rel_recv");
  r->resendTask = orvan_TaskMng_Create(50, 0, 0, OVC_Reliable_ResendTask, r);
  if (!r->resendTask) {
    orv_mutex_destroy(&r->sendMu);
    orv_mutex_destroy(&r->recvMu);
    delete r;
    return TERROR_BAD_STATE;
  }
  *out = r;
  return 0;
}

int OVC_Reliable_DestroyReliance(OVC_Reliance* r) {
  if (!r) return TERROR_EINVAL;
  OvcSessionLockGuard g;
  orvan_TaskMng_Delete(r->resendTask);
  orv_mutex_destroy(&r->sendMu);
  orv_mutex_destroy(&r->recvMu);
  delete r;
  return 0;
}

int OVC_Reliable_AppendToQueue(OVC_Reliance* r, int sid, uint8_t channel, const void* data, int size) {
  if (!r || size < 0 || (size > 0 && !data)) return TERROR_EINVAL;
  OvcSessionLockGuard g;
  if (r->abort || r->ended) return TERROR_ECONNABORTED;
  orv_mutex_lock(&r->sendMu, 1);
  if ((int)r->sendList.size() >= r->limit) {
    orv_mutex_unlock(&r->sendMu);
    return TERROR_ERANGE;
  }
  OVC_ReliableMsg m;
  m.number = r->nextNumber++;
  m.sid = sid;
  m.channel = channel;
  m.payload.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  m.seq = 0;
  m.runs = 0;
  r->sendList.push_back(std::move(m));
  orv_mutex_unlock(&r->sendMu);
  return 0;
}

int OVC_Reliable_AbortToSend(OVC_Reliance* r) {
  if (!r) return TERROR_EINVAL;
  OvcSessionLockGuard g;
  r->abort = 1;
  return 0;
}

int OVC_Reliable_SendQueueIsEmpty(OVC_Reliance* r, int* flag) {
  if (!r || !flag) return TERROR_EINVAL;
  OvcSessionLockGuard g;
  *flag = r->sendList.empty() ? 1 : 0;
  return 0;
}

uint32_t OVC_Reliable_NextExpected(OVC_Reliance* r) {
  OvcSessionLockGuard g;
  return r ? r->nextExpected : 0;
}

// Head and reliable head on the session's current path; gSessionLock is held. Returns the
// datagram length, or 0 without a path.
static int build_reliable(SessionInfo* s, uint8_t channel, uint32_t number, uint8_t kind, const uint8_t* payload,
                          int size, uint8_t* out, TConnection** conn, ovc_netaddr_t* addr) {
  int path = _GetSendPath(s->sid, conn, addr);
  if (path < 0) return 0;
  bool longForm = s->remoteProtocolVersion >= 11;
  int ext = longForm ? 16 : 12;
  bool relayed = path >= 2;
  bool device = s->isDevice != 0;
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.channel = channel;
  h.seq = (uint16_t)s->txCount[channel]++;
  h.flags = (uint8_t)(OVC_FLAG_PE_AWARE | OVC_FLAG_RELIABLE | (longForm ? OVC_FLAG_LONG_ID : 0) |
                      (s->peEnabled ? OVC_FLAG_PARTIAL : 0));
  h.length = (uint16_t)(ext + size);
  h.type = relayed ? (device ? 0x0502 : 0x0504) : (device ? 0x0408 : 0x0407);
  h.route = relayed ? (device ? 0x14 : 0x24) : (device ? 0x12 : 0x21);
  h.randomId = relayed ? s->relayRandomId : (uint16_t)s->randomId.idLow;
  ovc_head_write(h, out);
  uint8_t* b = out + OVC_HEAD_SIZE;
  memset(b, 0, (size_t)ext);
  ovc_put_u32(b, number);
  ovc_put_u32(b + 4, s->randomId.idLow);
  b[9] = kind;
  if (longForm) ovc_put_u32(b + 12, s->randomId.idHigh);
  if (size > 0) memcpy(b + ext, payload, (size_t)size);
  return (int)OVC_HEAD_SIZE + ext + size;
}

static void send_built(TConnection* conn, const ovc_netaddr_t& addr, uint8_t* d, int len) {
  char text[64];
  uint16_t port;
  if (ovc_netaddr_to_text(addr, text, sizeof text, &port)) ovc_SendMessage(conn, d, len, text, port);
}

// The stream ends: the queue is dropped and the channel's receive callback hears why.
static void end_stream(OVC_Reliance* r, SessionInfo* s, int code) {
  bool dropped = !r->sendList.empty();
  r->sendList.clear();
  r->abort = 0;
  if (dropped) r->ended = 1;
  if (dropped && s && s->recvCb[r->channel]) {
    OVC_ChannelRecvFn f = s->recvCb[r->channel];
    int sid = r->sid;
    uint8_t ch = r->channel;
    orvan_TaskMng_Defer([f, sid, ch, code] { f(sid, ch, nullptr, 0, code); });
  }
}

static void OVC_Reliable_ResendTask(orvan_task_t*, uint32_t, uint16_t, void* user, int) {
  auto* r = static_cast<OVC_Reliance*>(user);
  OvcSessionLockGuard g;
  if (!r) return;
  SessionInfo* s = ovc_session_at(r->sid);
  orv_mutex_lock(&r->sendMu, 1);
  if (r->abort) {
    end_stream(r, s, OVC_ER_RELIABLE_ABORTING);
    orv_mutex_unlock(&r->sendMu);
    return;
  }
  for (OVC_ReliableMsg& m : r->sendList) {
    int st = OVC_Check_Session_Status(r->sid);
    if (st == 0 && (!s || !s->channelOn[r->channel])) st = OVC_ER_CHANNEL_OFF;
    if (st == 0 && ++m.runs > gResendLimit) st = OVC_ER_TIMEOUT;
    uint8_t d[OVC_HEAD_SIZE + 16 + kReliablePayloadMax];
    TConnection* conn = nullptr;
    ovc_netaddr_t addr{};
    int len = 0;
    if (st == 0) {
      len = build_reliable(s, r->channel, m.number, 0, m.payload.data(), (int)m.payload.size(), d, &conn, &addr);
      if (len == 0) st = OVC_ER_NO_PATH;
    }
    if (st != 0) {
      // A message that cannot go (or went unanswered too long) ends the stream now.
      end_stream(r, s, st);
      break;
    }
    send_built(conn, addr, d, len);
  }
  orv_mutex_unlock(&r->sendMu);
}

static void send_ack(OVC_Reliance* r, SessionInfo* s, uint32_t number) {
  if (!s->channelOn[r->channel]) return;
  uint8_t d[OVC_HEAD_SIZE + 16];
  TConnection* conn = nullptr;
  ovc_netaddr_t addr{};
  int len = build_reliable(s, r->channel, number, 1, nullptr, 0, d, &conn, &addr);
  if (len > 0) send_built(conn, addr, d, len);
}

void OVC_Reliable_RecvPacket(OVC_Reliance* r, const uint8_t* dg, const ovc_netaddr_t*, int sid) {
  if (!r || !dg) return;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return;
  OVC_Head h = ovc_head_read(dg);
  int ext = (h.flags & OVC_FLAG_LONG_ID) ? 16 : 12;
  if (h.length < ext) return;
  const uint8_t* b = dg + OVC_HEAD_SIZE;
  uint32_t number = ovc_get_u32(b);
  uint8_t kind = b[9];
  if (kind == 1) {
    orv_mutex_lock(&r->sendMu, 1);
    if (number < r->nextNumber) {
      for (auto it = r->sendList.begin(); it != r->sendList.end(); ++it)
        if (it->number == number) {
          r->sendList.erase(it);
          break;
        }
    }
    orv_mutex_unlock(&r->sendMu);
    return;
  }
  if (kind != 0) return;
  const uint8_t* payload = b + ext;
  uint32_t size = h.length - (uint32_t)ext;
  orv_mutex_lock(&r->recvMu, 1);
  bool ack = false;
  if (number == r->nextExpected) {
    // Acknowledged only once stored: a full read queue leaves the sender to try again.
    if (__Fill_ReadBuf(sid, payload, size, h.seq, h.channel) == 0) {
      r->nextExpected++;
      ack = true;
      while (!r->held.empty() && r->held.front().number <= r->nextExpected) {
        OVC_ReliableMsg& m = r->held.front();
        if (m.number == r->nextExpected) {
          if (__Fill_ReadBuf(sid, m.payload.data(), (uint32_t)m.payload.size(), m.seq, m.channel) != 0) break;
          r->nextExpected++;
        }
        r->held.pop_front();
      }
    }
  } else if ((int32_t)(number - r->nextExpected) < 0) {
    ack = true;  // a repeat of a delivered message
  } else {
    auto it = r->held.begin();
    while (it != r->held.end() && it->number < number) ++it;
    if (it != r->held.end() && it->number == number) {
      ack = true;
    } else if ((int)r->held.size() < r->limit) {
      OVC_ReliableMsg m;
      m.number = number;
      m.sid = sid;
      m.channel = h.channel;
      m.payload.assign(payload, payload + size);
      m.seq = h.seq;
      m.runs = 0;
      r->held.insert(it, std::move(m));
      ack = true;
    }
  }
  orv_mutex_unlock(&r->recvMu);
  if (ack) send_ack(r, s, number);
}

// ---- Application interface ------------------------------------------------------------------

static OVC_Reliance* channel_reliance(SessionInfo* s, int sid, uint8_t channel) {
  if (!s->reliance[channel]) {
    OVC_Reliance* r = nullptr;
    if (OVC_Reliable_NewReliance(&r, sid, channel) == 0) s->reliance[channel] = r;
  }
  return static_cast<OVC_Reliance*>(s->reliance[channel]);
}

static int reliable_checks(SessionInfo* s, bool abortForm) {
  if (s->connectMode == 1) {
    if (!s->reliableSupported) return abortForm ? OVC_ER_RELIABLE_UNSUPPORTED : OVC_ER_RELAY_NO_RELIABLE;
    if (abortForm && s->remoteProtocolVersion < 10) return OVC_ER_RELIABLE_UNSUPPORTED;
  } else if (s->remoteProtocolVersion < 10) {
    return OVC_ER_RELIABLE_UNSUPPORTED;
  }
  if (s->isDevice == 0 && s->connectMode != 2 && s->remoteVersion <= 0x010D09FFu) return OVC_ER_RELIABLE_UNSUPPORTED;
  return 0;
}

int OVC_Session_Write_Reliable_NB(int sid, const void* data, int size, uint8_t channel) {
  if (size > kReliablePayloadMax) return OVC_ER_TOO_LONG;
  if (size < 0 || (size > 0 && !data)) return OVC_ER_INVALID_ARG;
  uint8_t st = gOvcState;
  if (st == 0 || st == 3) return OVC_ER_NOT_INITIALIZED;
  OvcSessionLockGuard g;
  int status = OVC_Check_Session_Status(sid);
  if (status != 0) return status;
  SessionInfo* s = ovc_session_at(sid);
  int rc = reliable_checks(s, false);
  if (rc != 0) return rc;
  if (channel >= OVC_CHANNELS || !s->channelOn[channel]) return OVC_ER_CHANNEL_OFF;
  OVC_Reliance* r = channel_reliance(s, sid, channel);
  if (!r) return OVC_ER_RESOURCE;
  rc = OVC_Reliable_AppendToQueue(r, sid, channel, data, size);
  if (rc == 0) return 0;
  if (rc == TERROR_ECONNABORTED) return OVC_ER_RELIABLE_ABORTING;
  if (rc == TERROR_ERANGE) return OVC_ER_QUEUE_FULL;
  return OVC_ER_RESOURCE;
}

int OVC_Session_Write_Reliable_NB_Abort(int sid, uint8_t channel) {
  OvcSessionLockGuard g;
  int status = OVC_Check_Session_Status(sid);
  if (status != 0) return status;
  SessionInfo* s = ovc_session_at(sid);
  int rc = reliable_checks(s, true);
  if (rc != 0) return rc;
  if (channel >= OVC_CHANNELS || !s->channelOn[channel]) return OVC_ER_CHANNEL_OFF;
  OVC_Reliance* r = channel_reliance(s, sid, channel);
  if (r) OVC_Reliable_AbortToSend(r);
  return 0;
}

int OVC_Reliable_All_MSG_Is_Sent(int sid, uint8_t channel) {
  uint8_t st = gOvcState;
  if (st == 0 || st == 3) return OVC_ER_NOT_INITIALIZED;
  OvcSessionLockGuard g;
  int status = OVC_Check_Session_Status(sid);
  if (status != 0) return status;
  SessionInfo* s = ovc_session_at(sid);
  if (channel >= OVC_CHANNELS || !s->channelOn[channel]) return OVC_ER_CHANNEL_OFF;
  auto* r = static_cast<OVC_Reliance*>(s->reliance[channel]);
  if (!r) return OVC_ER_INVALID_ARG;
  int empty = 0;
  OVC_Reliable_SendQueueIsEmpty(r, &empty);
  return empty;
}
