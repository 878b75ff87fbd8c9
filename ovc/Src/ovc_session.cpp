// Sessions and channels: the record, its paths, channel data out and queued data in, the alive
// task and close. gSessionLock guards every record field.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <vector>

#include "ovc_predict.h"
#include "ovc_state.h"

OVC_ConnModeChangeFn ovc_conn_mode_cb();
void ovc_note_closed_random_id(const RandomID& id);

void RandomIDValueUpdate(RandomID* r, uint32_t kind, uint32_t a, uint32_t b) {
  if (kind == 0) {
    r->idLow = a;
    r->idHigh = b;
  } else {
    r->idLow = a % 65536u;
    r->idHigh = 0;
  }
  r->kind = kind;
}

bool RandomIDCompare(const RandomID* x, const RandomID* y) {
  if (x->kind != y->kind) return false;
  if (x->kind == 0) return x->idLow == y->idLow && x->idHigh == y->idHigh;
  if (x->kind == 1) return x->idLow == y->idLow;
  return false;
}

SessionInfo* ovc_session_at(int sid) { return ovc_valid_sid(sid) && gSessionInfo ? &gSessionInfo[sid] : nullptr; }

int FindSID_BySessionInfo(const SessionInfo* record) {
  if (!gSessionInfo || record < gSessionInfo || record >= gSessionInfo + gSessionTableSize) return -1;
  return (int)(record - gSessionInfo);
}

// ---- Read queues ----------------------------------------------------------------------------

static void free_queue(ReadQueue** q) {
  if (!*q) return;
  for (ReadNode* n = (*q)->first; n;) {
    ReadNode* next = n->next;
    free(n->data);
    free(n);
    n = next;
  }
  free(*q);
  *q = nullptr;
}

int __Fill_ReadBuf(int sid, const uint8_t* data, uint32_t length, uint16_t seq, uint8_t channel) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s || channel >= OVC_CHANNELS) return -1;
  s->aliveCount = 0;
  if (s->channelOn[channel] != 1) return -1;
  if (length > 0xFFFF) return -1;
  ReadQueue*& q = s->readBuf[channel];
  if (!q) {
    q = static_cast<ReadQueue*>(calloc(1, sizeof(ReadQueue)));
    if (!q) return -2;
  }
  // A reader that stopped reading must not let the queue grow without end.
  if (q->count >= OVC_READ_QUEUE_LIMIT) {
    s->readDrops[channel]++;
    return -2;
  }
  auto* n = static_cast<ReadNode*>(calloc(1, sizeof(ReadNode)));
  uint8_t* copy = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (!n || !copy) {
    free(n);
    free(copy);
    return -2;
  }
  if (length) memcpy(copy, data, length);
  n->length = (uint16_t)length;
  n->seq = seq;
  n->rxCount = s->rxCount[channel];
  n->data = copy;
  s->rxDelivered[channel]++;
  s->rxCount[channel]++;
  if (q->last) q->last->next = n;
  else q->first = n;
  q->last = n;
  q->count++;
  return 0;
}

// ---- Records --------------------------------------------------------------------------------

void ovc_session_reset(SessionInfo* s) {
  int sid = s->sid;
  memset(s, 0, sizeof *s);
  s->sid = sid;
  s->channelOn[0] = 1;
  s->state = 1;
  s->sendPathType = -1;
  memset(s->capFlags, 1, sizeof s->capFlags);
}

int ovc_get_free_session() {
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    if (gSessionInfo[i].state == 0) {
      ovc_session_reset(&gSessionInfo[i]);
      gSessionInfo[i].sid = i;
      return i;
    }
  }
  return -1;
}

static void drop_shared(TConnection* c) {
  if (!c) return;
  orv_mutex_lock(&gSharedConnLock, 1);
  for (auto& e : gSharedConnTable) {
    if (e.conn == c && e.refs > 0 && --e.refs == 0) {
      if (gOvcConnMgr) TConnManager_ops(gOvcConnMgr)->destroyConnection(gOvcConnMgr, c);
      e.conn = nullptr;
    }
  }
  orv_mutex_unlock(&gSharedConnLock);
}

static void drop_reliances_locked(SessionInfo* s) {
  for (int ch = 0; ch < OVC_CHANNELS; ++ch) {
    if (s->reliance[ch]) OVC_Reliable_DestroyReliance(static_cast<OVC_Reliance*>(s->reliance[ch]));
    s->reliance[ch] = nullptr;
  }
}

void ovc_session_release(SessionInfo* s) {
  OvcSessionLockGuard g;
  s->closing = 1;
  SessionTaskCleanAllNodes(&s->taskList);
  drop_reliances_locked(s);
  for (int ch = 0; ch < OVC_CHANNELS; ++ch) free_queue(&s->readBuf[ch]);
  drop_shared(s->p2pConn);
  int sid = s->sid;
  ovc_remove_try_port_key(s->randomId);
  memset(s, 0, sizeof *s);
  s->sid = sid;
  s->channelOn[0] = 1;
  s->sendPathType = -1;
  memset(s->capFlags, 1, sizeof s->capFlags);
}

void ovc_sessions_drop_tasks() {
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i) {
    SessionTaskCleanAllNodes(&gSessionInfo[i].taskList);
    drop_reliances_locked(&gSessionInfo[i]);
  }
  for (int i = 0; gPreSessionInfo && i < OVC_PRESESSIONS; ++i) SessionTaskCleanAllNodes(&gPreSessionInfo[i].taskList);
}

void ovc_sessions_release_all(int) {
  OvcSessionLockGuard g;
  for (int i = 0; i < gSessionTableSize; ++i)
    if (gSessionInfo[i].state != 0) ovc_session_release(&gSessionInfo[i]);
}

// ---- Paths ----------------------------------------------------------------------------------

int ovc_set_send_path(int type, int sid, TConnection* conn, const sockaddr* addr) {
  if (type < 0 || type > 3 || !addr) return -1;
  ovc_netaddr_t na{};
  if (addr->sa_family == AF_INET) {
    if (ovc_sockaddr_to_ip_addr(reinterpret_cast<const sockaddr_in*>(addr), 0, &na) != 0) return -1;
  } else if (addr->sa_family == AF_INET6) {
    auto* s6 = reinterpret_cast<const sockaddr_in6*>(addr);
    na.flag = 1;
    na.port = s6->sin6_port;
    memcpy(na.addr, &s6->sin6_addr, 16);
  } else {
    return -1;
  }
  OVC_ConnModeChangeFn cb = nullptr;
  {
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    if (!s) return -1;
    switch (type) {
      case 0: s->lanConn = conn, s->lanAddr = na; break;
      case 1: s->p2pConn = conn, s->p2pAddr = na; break;
      case 2: s->relayConn = conn, s->relayAddr = na; break;
      case 3: s->tcpRelayConn = conn, s->tcpRelayAddr = na; break;
    }
    // A path is never replaced by a worse one.
    if (s->sendPathType == -1 || s->sendPathType > type) {
      s->sendConn = conn;
      s->sendAddr = na;
      s->sendPathType = type;
      if (type == 0) s->remoteNatType = (uint8_t)gNatType;
      cb = ovc_conn_mode_cb();
    }
  }
  if (cb) cb(sid, type);
  return 0;
}

int _GetSendPath(int sid, TConnection** conn, ovc_netaddr_t* addr) {
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s || !s->sendConn) return -1;
  if (conn) *conn = s->sendConn;
  if (addr) *addr = s->sendAddr;
  return s->sendPathType;
}

// The address text and port (network order) of a path address.
static bool path_target(const ovc_netaddr_t& a, char* text, size_t size, uint16_t* port) {
  if (a.flag == 1) {
    if (!inet_ntop(AF_INET6, a.addr, text, (socklen_t)size)) return false;
  } else if (a.flag == 0) {
    if (!inet_ntop(AF_INET, a.addr, text, (socklen_t)size)) return false;
  } else {
    return false;
  }
  *port = a.port;
  return true;
}

// ---- Status ---------------------------------------------------------------------------------

int OVC_Check_Session_Status(int sid) {
  OvcSessionLockGuard g;
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  switch (s->state) {
    case 2: return 0;
    case 3: return OVC_ER_CLOSED_BY_PEER;
    case 4: return OVC_ER_CLOSED_TIMEOUT;
    default: return OVC_ER_INVALID_SID;
  }
}

int OVC_Get_SessionID(void) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int sid = ovc_get_free_session();
  return sid < 0 ? OVC_ER_NO_FREE_SESSION : sid;
}

// ---- Write ----------------------------------------------------------------------------------

int OVC_Session_Write(int sid, const void* data, unsigned length, uint8_t channel) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
  if (length > (unsigned)OVC_MAX_PAYLOAD) return OVC_ER_INVALID_ARG;
  if (!data && length > 0) return OVC_ER_INVALID_ARG;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  uint8_t dgram[OVC_HEAD_SIZE + sizeof(RandomIdExt) + OVC_MAX_PAYLOAD];
  size_t ext = 0;
  TConnection* conn = nullptr;
  ovc_netaddr_t addr{};
  {
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    if (!s || channel >= OVC_CHANNELS || !s->channelOn[channel]) return OVC_ER_CHANNEL_OFF;
    OVC_Head h{};
    h.magic = OVC_HEAD_MAGIC;
    h.tag = OVC_HEAD_TAG;
    h.length = (uint16_t)length;
    h.seq = (uint16_t)s->txCount[channel];
    h.channel = channel;
    h.flags = (uint8_t)(OVC_FLAG_PE_AWARE | (s->peEnabled ? OVC_FLAG_PARTIAL : 0));
    int path = _GetSendPath(sid, &conn, &addr);
    if (path < 0) return OVC_ER_NO_PATH;
    bool relayed = path >= 2;
    bool device = s->isDevice != 0;
    h.type = relayed ? (device ? 0x0502 : 0x0504) : (device ? 0x0408 : 0x0407);
    h.route = relayed ? (device ? 0x14 : 0x24) : (device ? 0x12 : 0x21);
    h.randomId = relayed ? s->relayRandomId : (uint16_t)s->randomId.idLow;
    if (s->randomId.kind == 0) {
      RandomIdExt e{12, s->randomId.idLow, s->randomId.idHigh};
      uint8_t* p = dgram + OVC_HEAD_SIZE;
      const uint32_t words[3] = {e.size, e.idLow, e.idHigh};
      for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b) p[4 * i + b] = (uint8_t)(words[i] >> (8 * b));
      ext = sizeof(RandomIdExt);
      h.length = (uint16_t)(h.length + ext);
      h.flags |= OVC_FLAG_LONG_ID;
    }
    s->txCount[channel]++;
    ovc_head_write(h, dgram);
    if (length) memcpy(dgram + OVC_HEAD_SIZE + ext, data, length);
    // Held while the lock is let go, so a closing path cannot free it under the send.
    conn->ops()->incRef(conn);
  }
  char text[INET6_ADDRSTRLEN];
  uint16_t port = 0;
  if (!path_target(addr, text, sizeof text, &port)) {
    conn->ops()->decRef(conn);
    return 0;
  }
  int r = ovc_SendMessage(conn, dgram, (int)(OVC_HEAD_SIZE + ext + length), text, port);
  conn->ops()->decRef(conn);
  if (r > 0) r -= (int)ext;
  return r < (int)OVC_HEAD_SIZE ? 0 : r - (int)OVC_HEAD_SIZE;
}

// ---- Read -----------------------------------------------------------------------------------

int OVC_Session_Read_Check_Lost(int sid, void* buf, int bufLen, unsigned timeoutMs, uint16_t* seqOut,
                                uint8_t* lostOut, uint8_t channel) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (gDeviceBlocked) return OVC_ER_DEVICE_BLOCKED;
  if (bufLen <= 0 || !buf) return OVC_ER_INVALID_ARG;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  {
    OvcSessionLockGuard g;
    SessionInfo* s = ovc_session_at(sid);
    if (!s || s->state == 0) return OVC_ER_INVALID_SID;
    if (channel >= OVC_CHANNELS || !s->channelOn[channel]) return OVC_ER_CHANNEL_OFF;
  }
  uint32_t polls = 0;
  const uint32_t max_polls = timeoutMs / 10 + 1;
  for (;;) {
    {
      OvcSessionLockGuard g;
      if (!ovc_initialized()) return OVC_ER_TIMEOUT;
      SessionInfo* s = ovc_session_at(sid);
      if (!s) return OVC_ER_INVALID_SID;
      if (s->state == 4) return OVC_ER_CLOSED_TIMEOUT;
      if (s->state == 3) return OVC_ER_CLOSED_BY_PEER;
      if (s->state != 2) return OVC_ER_INVALID_SID;
      ReadQueue* q = channel < OVC_CHANNELS ? s->readBuf[channel] : nullptr;
      if (q && q->first) {
        ReadNode* n = q->first;
        q->first = n->next;
        if (!q->first) q->last = nullptr;
        q->count--;
        int copy = n->length < bufLen ? n->length : bufLen;  // the rest of a long message is dropped
        memcpy(buf, n->data, (size_t)copy);
        if (seqOut) *seqOut = n->seq;
        if (lostOut) *lostOut = n->seq == s->readSeq[channel] ? 0 : 1;
        s->readSeq[channel] = (uint16_t)(n->seq + 1);
        free(n->data);
        free(n);
        if (copy != 0) return copy;
        continue;
      }
    }
    if (timeoutMs == 0) return 0;
    if (++polls >= max_polls) return OVC_ER_TIMEOUT;
    timespec ts{0, 10 * 1000000L};
    nanosleep(&ts, nullptr);
    {
      OvcSessionLockGuard g;
      SessionInfo* s = ovc_session_at(sid);
      if (!s || s->closing) return OVC_ER_INVALID_SID;
      if (gOvcState == 3) return OVC_ER_TIMEOUT;
    }
  }
}

int OVC_Session_Read(int sid, void* buf, int bufLen, unsigned timeoutMs, uint8_t channel) {
  return OVC_Session_Read_Check_Lost(sid, buf, bufLen, timeoutMs, nullptr, nullptr, channel);
}

// ---- Channels -------------------------------------------------------------------------------

int OVC_Session_Channel_ON(int sid, uint8_t channel) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  if (channel >= OVC_CHANNELS) return OVC_ER_CHANNEL_OFF;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  s->channelOn[channel] = 1;
  if (!s->reliance[channel]) {
    OVC_Reliance* r = nullptr;
    if (OVC_Reliable_NewReliance(&r, sid, channel) == 0) s->reliance[channel] = r;
  }
  return 0;
}

static void channel_off_locked(SessionInfo* s, uint8_t channel) {
  if (s->reliance[channel]) OVC_Reliable_DestroyReliance(static_cast<OVC_Reliance*>(s->reliance[channel]));
  s->reliance[channel] = nullptr;
  s->readSeq[channel] = 0;
  s->channelOn[channel] = 0;
  s->recvCb[channel] = nullptr;
  s->idleCb[channel] = nullptr;
  s->idleFlag[channel] = 0;
  free_queue(&s->readBuf[channel]);
}

int OVC_Session_Channel_OFF(int sid, uint8_t channel) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  if (channel >= OVC_CHANNELS) return OVC_ER_CHANNEL_OFF;
  if (channel == 0) return 0;  // channel 0 is always on
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  channel_off_locked(s, channel);
  return 0;
}

int OVC_Session_Channel_Check_ON_OFF(int sid, uint8_t channel) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  if (channel >= OVC_CHANNELS) return OVC_ER_INVALID_ARG;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  return s && s->channelOn[channel] ? 1 : 0;
}

int OVC_Session_Get_Free_Channel(int sid) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  // Found and taken under one hold of the lock, so two callers never get the same channel.
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  for (int ch = 1; ch < OVC_CHANNELS; ++ch) {
    if (!s->channelOn[ch]) {
      channel_off_locked(s, (uint8_t)ch);  // a fresh state
      s->channelOn[ch] = 1;
      OVC_Reliance* r = nullptr;
      if (OVC_Reliable_NewReliance(&r, sid, (uint8_t)ch) == 0) s->reliance[ch] = r;
      return ch;
    }
  }
  return OVC_ER_NO_FREE_CHANNEL;
}

// ---- Control messages -----------------------------------------------------------------------

// Sends a head-only control message (or one with the long ID as its body) on the current path.
static void send_control_locked(SessionInfo* s, uint16_t type, uint16_t route, uint16_t randomId) {
  if (!s->sendConn) return;
  uint8_t dgram[OVC_HEAD_SIZE + 8];
  OVC_Head h{};
  h.magic = OVC_HEAD_MAGIC;
  h.tag = OVC_HEAD_TAG;
  h.type = type;
  h.route = route;
  h.randomId = randomId;
  size_t len = OVC_HEAD_SIZE;
  if (s->randomId.kind == 0) {
    h.length = 8;
    h.flags = OVC_FLAG_LONG_ID;
    const uint32_t words[2] = {s->randomId.idLow, s->randomId.idHigh};
    for (int i = 0; i < 2; ++i)
      for (int b = 0; b < 4; ++b) dgram[OVC_HEAD_SIZE + 4 * i + b] = (uint8_t)(words[i] >> (8 * b));
    len += 8;
  }
  ovc_head_write(h, dgram);
  char text[INET6_ADDRSTRLEN];
  uint16_t port = 0;
  if (path_target(s->sendAddr, text, sizeof text, &port))
    ovc_SendMessage(s->sendConn, dgram, (int)len, text, port);
}

static void alive_pass_locked(std::vector<std::function<void()>>* calls);

void ovc_session_alive_task(orvan_task_t*, uint32_t, uint16_t, void*, int) {
  std::vector<std::function<void()>> calls;
  {
    OvcSessionLockGuard g;
    alive_pass_locked(&calls);
  }
  // The time-out callbacks run without the session lock.
  for (auto& c : calls) orvan_TaskMng_Defer(std::move(c));
}

static void alive_pass_locked(std::vector<std::function<void()>>* calls) {
  for (int i = 0; i < gSessionTableSize; ++i) {
    SessionInfo* s = &gSessionInfo[i];
    if (s->state != 2) continue;
    if ((int64_t)s->aliveCount > (int64_t)gSessionAliveTimeout) {
      s->state = 4;
      if (OVC_SessionStatusFn f = s->statusCb) calls->push_back([f, i] { f(i, OVC_ER_CLOSED_TIMEOUT); });
      for (int ch = 0; ch < OVC_CHANNELS; ++ch)
        if (OVC_ChannelRecvFn f = s->recvCb[ch])
          calls->push_back([f, i, ch] { f(i, (uint8_t)ch, nullptr, 0, OVC_ER_CLOSED_TIMEOUT); });
      continue;
    }
    if (!gNoTimeout) s->aliveCount++;
    if (s->aliveCount <= 4) {
      s->aliveTick ^= 1;
      if (s->aliveTick == 0) continue;  // every second pass while the peer is fresh
    }
    if (s->sendPathType < 0) continue;
    bool relayed = s->sendPathType >= 2;
    bool device = s->isDevice != 0;
    if (relayed)
      send_control_locked(s, device ? 0x0522 : 0x0524, device ? 0x14 : 0x24, s->relayRandomId);
    else
      send_control_locked(s, device ? 0x0428 : 0x0427, device ? 0x12 : 0x21, 0);
  }
}

void OVC_Session_Close(int sid) {
  if (!ovc_initialized()) return;
  OVC_ChannelCloseFn calls[OVC_CHANNELS] = {};
  SessionInfo* s = nullptr;
  {
    OvcSessionLockGuard g;
    s = ovc_session_at(sid);
    if (!s || s->state == 0 || s->closing) return;
    s->closing = 1;  // the slot stays taken until the release below
    if (s->state == 2) {
      bool relayed = s->sendPathType >= 2;
      bool device = s->isDevice != 0;
      uint16_t type = relayed ? (device ? 0x0512 : 0x0514) : (device ? 0x0418 : 0x0417);
      uint16_t route = relayed ? (device ? 0x14 : 0x24) : (device ? 0x12 : 0x21);
      uint16_t rid = relayed ? s->relayRandomId : (uint16_t)s->randomId.idLow;
      for (int i = 0, n = relayed ? 5 : 3; i < n; ++i) send_control_locked(s, type, route, rid);
    }
    // The close callbacks run once per session, whoever closes it first.
    if (!s->closeNotified) {
      s->closeNotified = 1;
      memcpy(calls, s->closeCb, sizeof calls);
    }
  }
  for (int ch = 0; ch < OVC_CHANNELS; ++ch)
    if (calls[ch]) calls[ch](sid, (uint8_t)ch, 2);
  OvcSessionLockGuard g;
  // A release by someone else meanwhile (de-initialisation) cleared the flag: nothing left to do.
  if (!gSessionInfo || !s->closing || s->state == 0) return;
  ovc_note_closed_random_id(s->randomId);
  ovc_session_release(s);
}

// ---- Status records -------------------------------------------------------------------------

static void ip_text(const ovc_netaddr_t& a, char* out, size_t size) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (a.flag == 1 && memcmp(a.addr, mapped, 12) == 0) inet_ntop(AF_INET, a.addr + 12, out, (socklen_t)size);
  else if (a.flag == 1) inet_ntop(AF_INET6, a.addr, out, (socklen_t)size);
  else inet_ntop(AF_INET, a.addr, out, (socklen_t)size);
}

int OVC_Session_Check_Ex(int sid, OVC_SessionInfo* info) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (!info) return OVC_ER_INVALID_ARG;
  uint32_t size = info->size;
  if (size != 92 && size != 156) return OVC_ER_INVALID_ARG;
  // A short record is written only as far as its own size reaches.
  OVC_SessionInfo w;
  memset(&w, 0, sizeof w);
  w.size = size;
  w.mode = 255;
  int rc = 0;
  {
    OvcSessionLockGuard g;
    rc = OVC_Check_Session_Status(sid);
    SessionInfo* s = ovc_session_at(sid);
    if (rc == 0 && s) {
      w.isDevice = (uint8_t)s->isDevice;
      memcpy(w.uid, s->uid, sizeof w.uid);
      switch (s->sendPathType) {
        case 0: w.mode = 2; w.relayKind = 0; break;
        case 1: w.mode = 0; w.relayKind = 0; break;
        case 2: w.mode = 1; w.relayKind = 1; break;
        case 3: w.mode = 1; w.relayKind = 2; break;
        default: w.mode = 255;
      }
      if (s->sendPathType >= 0) {
        ip_text(s->sendAddr, w.remoteIp, sizeof w.remoteIp);
        w.remotePort = ntohs(s->sendAddr.port);
      }
      for (int ch = 0; ch < OVC_CHANNELS; ++ch) {
        if (!s->channelOn[ch]) continue;
        w.txPackets += s->txCount[ch];
        w.rxPackets += s->rxCount[ch];
      }
      w.remoteVersion = s->remoteVersion;
      w.remoteNatType = s->remoteNatType;
      if (size == 156) {
        w.localNatType = (uint8_t)gNatType;
        w.netState = 1;  // no server has answered a probe of this module over UDP yet
      }
      if (s->peerSrcAddr.sin_family == AF_INET) {
        inet_ntop(AF_INET, &s->peerSrcAddr.sin_addr, w.peerIp, sizeof w.peerIp);
        w.peerPort = ntohs(s->peerSrcAddr.sin_port);
      }
    }
  }
  memcpy(info, &w, size);
  return rc;
}

int OVC_Session_Check(int sid, OVC_SessionInfoShort* info) {
  if (!info) return OVC_ER_INVALID_ARG;
  OVC_SessionInfo w;
  memset(&w, 0, sizeof w);
  w.size = 92;
  int rc = OVC_Session_Check_Ex(sid, &w);
  if (rc == OVC_ER_NOT_INITIALIZED) return rc;
  memset(info, 0, sizeof *info);
  info->mode = w.mode;
  info->isDevice = w.isDevice;
  memcpy(info->uid, w.uid, sizeof info->uid);
  memcpy(info->remoteIp, w.remoteIp, sizeof info->remoteIp);
  info->remotePort = w.remotePort;
  info->txPackets = w.txPackets;
  info->rxPackets = w.rxPackets;
  info->remoteVersion = w.remoteVersion;
  info->vid = w.vid;
  info->pid = w.pid;
  info->gid = w.gid;
  info->remoteNatType = w.remoteNatType;
  return rc;
}

// ---- Callbacks and small getters ------------------------------------------------------------

int OVC_Session_Check_ByCallBackFn(int sid, OVC_SessionStatusFn fn) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  s->statusCb = fn;
  return 0;
}

int OVC_Get_Remote_ProtocolVersion(int sid) {
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  return s ? (int)s->remoteProtocolVersion : (int)OVC_ER_INVALID_SID;
}

int OVC_Set_Partial_Encryption(int sid, uint8_t on) {
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  int st = OVC_Check_Session_Status(sid);
  if (st != 0) return st;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s) return OVC_ER_INVALID_SID;
  if (!s->peSupported) return OVC_ER_NO_PARTIAL_ENCRYPTION;
  s->peEnabled = on != 0;
  return 0;
}

// The setters check the sid and the channel, so a caller's mistake cannot write past the record.
template <typename Fn>
static void set_channel_cb(int sid, uint8_t channel, uint32_t guard, Fn&& store) {
  if (guard != OVC_INTERNAL_GUARD || !ovc_initialized() || channel >= OVC_CHANNELS) return;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (s) store(s);
}

void OVC_Session_Set_CloseCb(int sid, uint8_t channel, OVC_ChannelCloseFn fn, uint32_t guard) {
  set_channel_cb(sid, channel, guard, [&](SessionInfo* s) { s->closeCb[channel] = fn; });
}

void OVC_Session_Set_Channel_RcvCb(int sid, uint8_t channel, OVC_ChannelRecvFn fn, uint32_t guard) {
  set_channel_cb(sid, channel, guard, [&](SessionInfo* s) { s->recvCb[channel] = fn; });
}

void OVC_Session_Set_Channel_RcvIdleCb(int sid, uint8_t channel, OVC_ChannelIdleFn fn, uint32_t guard) {
  set_channel_cb(sid, channel, guard, [&](SessionInfo* s) {
    s->idleCb[channel] = fn;
    s->idleFlag[channel] = 0;
  });
}

void OVC_Session_Lock(void) { orv_mutex_lock(&gSessionLock, 1); }
void OVC_Session_unLock(void) { orv_mutex_unlock(&gSessionLock); }

int RT(int sid, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 99999;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  if (!s || s->rttValid != 1) return 0;
  if (s->rtt > 1000) return 500;
  if (s->rtt < 3) return 10;
  return (int)s->rtt + 10;
}

int AT(int sid, uint32_t guard) {
  if (guard != OVC_INTERNAL_GUARD) return 255;
  OvcSessionLockGuard g;
  SessionInfo* s = ovc_session_at(sid);
  return s ? (int)s->aliveCount : 255;
}

int XD(void) { return -1; }
