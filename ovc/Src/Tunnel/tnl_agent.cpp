// The agent's flat interface: sessions reserved and connected by device UID, authenticated,
// carried by a TunnelSession over RCT channel 0, and local port mappings that feed them.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Tunnel/tnl_agent_internal.h"
#include "Tunnel/tnl_auth.h"
#include "Tunnel/tnl_lan.h"
#include "Tunnel/tnl_rct_stream.h"
#include "Tunnel/tnl_server.h"
#include "Tunnel/tnl_session.h"
#include "Tunnel/tnl_status.h"
#include "ovc_api.h"
#include "p2ptunnel_api.h"
#include "rct_api.h"

namespace {

constexpr int kConnecting = 16;
constexpr int kMappings = 256;

struct AgentSession {
  std::shared_ptr<tnl::RctStream> stream;
  std::shared_ptr<tnl::TunnelSession> session;
  int rct = -1;
  bool lanTcp = false;     // mappings connect straight to the device
  uint32_t deviceIp = 0;   // host order
};

struct ConnectingSlot {
  bool inUse = false;
  char uid[21] = {};
  int sid = -1;
  std::atomic<bool> cancelled{false};
  int phase = 0;  // 0 OVC connect, 1 RCT create, 2 authentication
};

struct Mapping {
  bool inUse = false;
  int sid = -1;
  int lfd = -1;
  uint16_t devicePort = 0;
  uint16_t localPort = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
};

std::mutex gMu;  // sessions and mappings
bool gInit = false;
int gN = 0;
std::vector<AgentSession>* gSessions = nullptr;
Mapping gMaps[kMappings];
// A program may end while mappings still listen (a session never stopped): their threads are
// stopped and joined before the table goes, since destroying a running thread ends the process.
struct MappingsAtExit {
  ~MappingsAtExit() {
    for (Mapping& m : gMaps) m.stop.store(true);
    for (Mapping& m : gMaps) {
      std::thread t;
      {
        std::lock_guard<std::mutex> g(gMu);
        t = std::move(m.thread);
      }
      if (t.joinable()) t.join();
    }
  }
} gMappingsAtExit;
std::mutex gConnectingMu;
ConnectingSlot gConnecting[kConnecting];
int gAuthTimeoutMs = 30000;
std::atomic<bool> gLanProbeOff{false};

bool valid_sid(int sid) { return sid >= 0 && sid < gN; }

int map_connect_error(int r, int sid) {
  switch (r) {
    case -40: return TNL_ER_NO_PERMISSION;
    case -10: return TNL_ER_UID_INVALID;
    case -8: case -7: case -6: return TNL_ER_SOCKET;
    case -18: return TNL_ER_NO_FREE_OVC_SESSION;
  }
  if (r < 0) return r;
  return r == sid ? r : TNL_ER_SESSION_NOT_IN_USE;
}

ConnectingSlot* take_slot(const char* uid) {
  std::lock_guard<std::mutex> g(gConnectingMu);
  for (ConnectingSlot& s : gConnecting)
    if (s.inUse && strncmp(s.uid, uid, 20) == 0) return nullptr;
  for (ConnectingSlot& s : gConnecting) {
    if (!s.inUse) {
      s.inUse = true;
      strncpy(s.uid, uid, 20);
      s.uid[20] = 0;
      s.sid = -1;
      s.phase = 0;
      s.cancelled.store(false);
      return &s;
    }
  }
  return nullptr;
}

void free_slot(ConnectingSlot* s) {
  if (!s) return;
  std::lock_guard<std::mutex> g(gConnectingMu);
  s->inUse = false;
}

void mapping_loop(Mapping* m) {
  while (!m->stop.load()) {
    pollfd pf{m->lfd, POLLIN, 0};
    int r = poll(&pf, 1, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || m->stop.load()) continue;
    int fd = accept4(m->lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // The session is held, not locked, while its open goes out: a blocking stream write never
    // holds up other mappings or the end of a session.
    std::shared_ptr<tnl::RctStream> stream;
    std::shared_ptr<tnl::TunnelSession> s;
    {
      std::lock_guard<std::mutex> g(gMu);
      if (gSessions && valid_sid(m->sid)) {
        stream = (*gSessions)[m->sid].stream;
        s = (*gSessions)[m->sid].session;
      }
    }
    if (s && s->InUse()) s->OpenChannel(fd, 0x7F000001, m->devicePort);
    else close(fd);
  }
}

void end_session(int sid, bool abort) {
  // The stream is declared first so that it outlives the session, whose end shuts it down.
  std::shared_ptr<tnl::RctStream> stream;
  std::shared_ptr<tnl::TunnelSession> session;
  int rct;
  {
    std::lock_guard<std::mutex> g(gMu);
    AgentSession& a = (*gSessions)[sid];
    session = std::move(a.session);
    stream = std::move(a.stream);
    rct = a.rct;
    a.rct = -1;
  }
  if (session) session->Stop();
  tnl::LanSessionEnd(sid);
  if (rct >= 0) {
    if (abort) RCT_Abort(rct);
    else RCT_Destroy(rct);
  }
}

// A lost session's tunnel ends at once, so its local clients see their end; the session id
// stays the caller's until it disconnects.
void mark_lost(int sid) {
  {
    std::lock_guard<std::mutex> g(gMu);
    if (!gSessions || !valid_sid(sid)) return;
  }
  end_session(sid, true);
}

}  // namespace

void tnl_set_lan_probe_off(bool off) { gLanProbeOff = off; }

void tnl_set_auth_timeout_ms(int ms) { gAuthTimeoutMs = ms > 0 ? ms : 30000; }

uint16_t tnl_mapping_local_port(int index) {
  if (index >= 10000) return tnl::LanMapLocalPort(index - 10000);
  std::lock_guard<std::mutex> g(gMu);
  return index >= 0 && index < kMappings && gMaps[index].inUse ? gMaps[index].localPort : 0;
}

bool tnl_agent_initialized() {
  std::lock_guard<std::mutex> g(gMu);
  return gInit;
}

tnl::TunnelSession* tnl_agent_session(int sid) {
  std::lock_guard<std::mutex> g(gMu);
  return gSessions && valid_sid(sid) ? (*gSessions)[sid].session.get() : nullptr;
}

extern "C" {

int P2PTunnel_Version(void) { return 0x0301052A; }

void P2PTunnelAgent_GetStatus(P2PTunnelStatusFn cb, void* user) { tnl::SetStatusCallback(cb, user); }

int P2PTunnelAgentInitialize(int maxSessions) {
  std::lock_guard<std::mutex> g(gMu);
  if (gInit || tnl_server_initialized()) return TNL_ER_ALREADY_INITIALIZED;
  if (maxSessions <= 0) return TNL_ER_INVALID_ARG;
  OVC_Set_Max_Session_Number(maxSessions);
  int r = OVC_Initialize2(0);
  if (r < 0) return r;
  r = RCT_Initialize();
  if (r < 0) {
    OVC_DeInitialize();
    return r;
  }
  if (!tnl::LanProxyStart()) {
    RCT_DeInitialize();
    OVC_DeInitialize();
    return TNL_ER_THREAD;
  }
  tnl::CheckNoTimeoutFile();
  gN = maxSessions;
  gSessions = new std::vector<AgentSession>((size_t)maxSessions);
  tnl::SetLossMark(mark_lost);
  gInit = true;
  return 0;
}

int P2PTunnelAgentDeInitialize(void) {
  {
    std::lock_guard<std::mutex> g(gMu);
    if (!gInit) return TNL_ER_NOT_INITIALIZED;
  }
  tnl::EndStatusReports();
  tnl::SetLossMark(nullptr);
  for (int i = 0; i < kMappings; ++i) P2PTunnelAgent_StopPortMapping(i);
  for (int sid = 0; sid < gN; ++sid) end_session(sid, true);
  tnl::LanProxyStop();
  std::lock_guard<std::mutex> g(gMu);
  delete gSessions;
  gSessions = nullptr;
  gInit = false;
  gN = 0;
  RCT_DeInitialize();
  OVC_DeInitialize();
  return 0;
}

int P2PTunnelAgent_GetFreeSession(void) {
  if (!gInit) return TNL_ER_NOT_INITIALIZED;
  int sid = OVC_Get_SessionID();
  return sid < 0 ? TNL_ER_NO_FREE_SESSION_ID : sid;
}

// sid < 0: the older connect, on a session OVC chooses.
static int agent_connect(const char* uid, int sid, const void* auth, int n, int* result) {
  if (!gInit) return TNL_ER_NOT_INITIALIZED;
  if ((unsigned)n > 1000 || (auth && n == 0) || (!auth && n > 0) || !uid) return TNL_ER_INVALID_ARG;
  const bool parallel = sid >= 0;
  if (parallel && !valid_sid(sid)) return TNL_ER_INVALID_ARG;
  ConnectingSlot* slot = take_slot(uid);
  int r;
  if (parallel) {
    r = map_connect_error(OVC_Connect_ByUID_Parallel(uid, sid), sid);
  } else {
    r = OVC_Connect_ByUID(uid);
    r = map_connect_error(r, r);
    if (r >= 0 && !valid_sid(r)) {  // beyond the table this library was started with
      OVC_Session_Close(r);
      r = TNL_ER_SESSION_NOT_IN_USE;
    }
    sid = r;
  }
  if (r < 0) {
    free_slot(slot);
    return r;
  }
  {
    std::lock_guard<std::mutex> g(gConnectingMu);
    if (slot) {
      slot->sid = sid;
      slot->phase = 1;
    }
  }
  if (slot && slot->cancelled.load()) {
    OVC_Session_Close(sid);
    free_slot(slot);
    return TNL_ER_CONNECT_STOPPED;
  }
  int rct = RCT_Create(sid, 30000, 0);
  if (rct < 0) {
    OVC_Session_Close(sid);
    free_slot(slot);
    return rct;
  }
  {
    std::lock_guard<std::mutex> g(gConnectingMu);
    if (slot) slot->phase = 2;
  }
  auto stream = std::make_shared<tnl::RctStream>(rct);
  // The cancel only raises the flag from here on; this thread ends its own channel, so an RCT
  // id is never aborted by another thread after it may have been reused.
  std::atomic<bool> none{false};
  const std::atomic<bool>& stop = slot ? slot->cancelled : none;
  int ar = tnl::AgentAuthenticate(*stream, auth, n, result, gAuthTimeoutMs, &stop);
  if (slot && slot->cancelled.load()) ar = TNL_ER_CONNECT_STOPPED;
  if (ar < 0) {
    if (ar == TNL_ER_CONNECT_STOPPED) RCT_Abort(rct);
    else RCT_Destroy(rct);
    OVC_Session_Close(sid);
    free_slot(slot);
    return ar;
  }
  // On the LAN the device may be reachable by TCP; the probe runs before the message loop
  // starts, so its reply is read here and nowhere else. A failed probe only keeps RCT mode.
  bool lanTcp = false;
  uint32_t deviceIp = 0;
  OVC_SessionInfoShort info;
  memset(&info, 0, sizeof info);
  if (!gLanProbeOff.load() && OVC_Session_Check(sid, &info) >= 0 && info.mode == 2) {
    in_addr a{};
    info.remoteIp[sizeof info.remoteIp - 1] = 0;
    if (inet_pton(AF_INET, info.remoteIp, &a) == 1) {
      deviceIp = ntohl(a.s_addr);
      lanTcp = tnl::SetupLanTcp(*stream, deviceIp, &stop) == 0;
    }
  }
  if (slot && slot->cancelled.load()) {
    RCT_Abort(rct);
    OVC_Session_Close(sid);
    free_slot(slot);
    return TNL_ER_CONNECT_STOPPED;
  }
  OVC_Session_Check_ByCallBackFn(sid, Tunnel_SessionStatusCB);
  auto session = std::make_shared<tnl::TunnelSession>(stream.get(), tnl::SessionConfig{});
  if (!session->Start()) {
    RCT_Abort(rct);
    OVC_Session_Close(sid);
    free_slot(slot);
    return TNL_ER_THREAD;
  }
  {
    std::lock_guard<std::mutex> g(gMu);
    AgentSession& a = (*gSessions)[sid];
    a.stream = std::move(stream);
    a.session = std::move(session);
    a.rct = rct;
    a.lanTcp = lanTcp;
    a.deviceIp = deviceIp;
  }
  free_slot(slot);
  return sid;
}

int P2PTunnelAgent_Connect_Parallel(const char* uid, int sid, const void* auth, int n,
                                    int* result) {
  if (sid < 0) return gInit ? TNL_ER_INVALID_ARG : TNL_ER_NOT_INITIALIZED;
  return agent_connect(uid, sid, auth, n, result);
}

int P2PTunnelAgent_Connect(const char* uid, const void* auth, int n, int* result) {
  return agent_connect(uid, -1, auth, n, result);
}

// Not parallel: the older connect's stop, which stops every connect on an OVC-chosen session.
static int agent_connect_stop(const char* uid, int sid, bool parallel) {
  if (!uid) return TNL_ER_NOT_CONNECTING;
  std::lock_guard<std::mutex> g(gConnectingMu);
  for (ConnectingSlot& s : gConnecting) {
    if (!s.inUse || strncmp(s.uid, uid, 20) != 0) continue;
    s.cancelled.store(true);
    if (s.phase == 0) {
      if (parallel) OVC_Connect_Stop_BySID(sid);
      else OVC_Connect_Stop();
    } else if (s.phase == 1) {
      RCT_Create_Exit(s.sid, 0);
    }
    return 0;
  }
  return TNL_ER_NOT_CONNECTING;
}

int P2PTunnelAgent_Connect_Stop_Parallel(const char* uid, int sid) {
  return agent_connect_stop(uid, sid, true);
}

int P2PTunnelAgent_Connect_Stop(const char* uid) { return agent_connect_stop(uid, -1, false); }

static int agent_disconnect(int sid, bool abort) {
  if (!gInit) return TNL_ER_NOT_INITIALIZED;
  if (!valid_sid(sid)) return TNL_ER_INVALID_ARG;
  end_session(sid, abort);
  OVC_Session_Close(sid);
  return 0;
}

int P2PTunnelAgent_Disconnect(int sid) { return agent_disconnect(sid, false); }
int P2PTunnelAgent_Abort(int sid) { return agent_disconnect(sid, true); }

int P2PTunnelAgent_PortMapping(int sid, uint16_t localPort, uint16_t remotePort) {
  if (!gInit) return TNL_ER_NOT_INITIALIZED;
  if (!valid_sid(sid)) return TNL_ER_INVALID_ARG;
  {
    bool lan = false;
    uint32_t ip = 0;
    {
      std::lock_guard<std::mutex> g(gMu);
      const AgentSession& a = (*gSessions)[sid];
      lan = a.session && a.lanTcp;
      ip = a.deviceIp;
    }
    if (lan) {
      int slot = tnl::LanMapAdd(sid, ip, remotePort, localPort);
      return slot < 0 ? slot : 10000 + slot;
    }
  }
  std::lock_guard<std::mutex> g(gMu);
  int idx = -1;
  for (int i = 0; i < kMappings && idx < 0; ++i)
    if (!gMaps[i].inUse) idx = i;
  if (idx < 0) return TNL_ER_NO_FREE_MAPPING;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TNL_ER_SOCKET;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(localPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // only this machine's clients reach the device
  // A failed bind or listen frees the slot: the caller gets no index to stop it with.
  if (bind(fd, (sockaddr*)&sa, sizeof sa) != 0) {
    close(fd);
    return TNL_ER_BIND;
  }
  if (listen(fd, 20) != 0) {
    close(fd);
    return TNL_ER_LISTEN;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr*)&sa, &len);
  Mapping& m = gMaps[idx];
  m.sid = sid;
  m.lfd = fd;
  m.devicePort = remotePort;
  m.localPort = ntohs(sa.sin_port);
  m.stop.store(false);
  try {
    m.thread = std::thread(mapping_loop, &m);
  } catch (...) {
    close(fd);
    m.lfd = -1;
    return TNL_ER_THREAD;
  }
  m.inUse = true;
  return idx;
}

int P2PTunnelAgent_StopPortMapping_byIndexArray(int* indexes, int count) {
  if (!indexes) return TNL_ER_INVALID_ARG;
  for (int i = 0; i < count; ++i) {
    int idx = indexes[i];
    // Direct-LAN mappings carry 10000 on their index; a plain index never stops one of them.
    const bool lanIndex = idx >= 10000;
    if (lanIndex) indexes[i] = idx -= 10000;
    if (idx < 0 || idx >= kMappings) continue;
    if (lanIndex && tnl::LanMapStop(idx)) continue;
    std::thread t;
    int fd;
    {
      std::lock_guard<std::mutex> g(gMu);
      Mapping& m = gMaps[idx];
      // A slot another caller is already stopping is left to it: that caller joins the
      // thread and closes the listener once, after the thread ended.
      if (!m.inUse || m.stop.load()) {
        indexes[i] = -1;
        continue;
      }
      m.stop.store(true);
      t = std::move(m.thread);
      fd = m.lfd;
    }
    if (t.joinable()) t.join();  // not under gMu: the loop takes it per accept
    std::lock_guard<std::mutex> g(gMu);
    Mapping& m = gMaps[idx];
    close(fd);
    m.lfd = -1;
    m.inUse = false;
    m.sid = -1;
    m.localPort = 0;
  }
  return 0;
}

int P2PTunnelAgent_StopPortMapping(int index) {
  int one[1] = {index};
  return P2PTunnelAgent_StopPortMapping_byIndexArray(one, 1);
}

int P2PTunnel_SetBufSize(int sid, int size) {
  if (!gInit && tnl_server_initialized()) return tnl_server_set_buf_size(sid, size);
  if (!gInit || !valid_sid(sid) || size <= 0) return TNL_ER_INVALID_ARG;
  std::lock_guard<std::mutex> g(gMu);
  tnl::TunnelSession* s = (*gSessions)[sid].session.get();
  if (!s || !s->InUse()) return TNL_ER_SESSION_NOT_IN_USE;
  return s->SetBufSize(size);
}

int P2PTunnel_LastIOTime(int sid) {
  if (!gInit && tnl_server_initialized()) return tnl_server_last_io_time(sid);
  if (!gInit || !valid_sid(sid)) return TNL_ER_INVALID_ARG;
  std::lock_guard<std::mutex> g(gMu);
  tnl::TunnelSession* s = (*gSessions)[sid].session.get();
  if (!s || !s->InUse()) return TNL_ER_SESSION_NOT_IN_USE;
  return (int)std::max(s->LastIOTime(), tnl::LanLastIO(sid));
}

}  // extern "C"
