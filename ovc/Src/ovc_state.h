// The OVC module's process-wide state, the session record and the internal entry points shared
// by the module, the sessions and their tests.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>

#include "orvan_netaddr.h"
#include "orvan_platform.h"
#include "orvan_sktaskmgr.h"
#include "ovc_api.h"
#include "ovc_head.h"
#include "ovc_lock.h"
#include "tconn_manager.h"

constexpr int OVC_CHANNELS = 32;
constexpr int OVC_PRESESSIONS = 128;
constexpr int OVC_SHARED_CONNS = 230;
constexpr int OVC_MAX_PAYLOAD = 1388;
// A channel's read queue holds at most this many messages; further ones are dropped and counted.
constexpr uint32_t OVC_READ_QUEUE_LIMIT = 1024;

struct RandomID {
  uint32_t idLow;
  uint32_t idHigh;
  uint32_t kind;  // 0 long (both words), 1 short (16 bits in idLow)
};
void RandomIDValueUpdate(RandomID* r, uint32_t kind, uint32_t a, uint32_t b);
bool RandomIDCompare(const RandomID* x, const RandomID* y);

struct ReadNode {
  uint16_t length;
  uint16_t seq;
  uint32_t rxCount;
  uint8_t* data;
  ReadNode* next;
};
struct ReadQueue {
  ReadNode* first;
  ReadNode* last;
  uint32_t count;
};

struct SessionInfo {
  char uid[21];
  uint8_t state;  // 0 free, 1 reserved, 2 connected, 3 closed by the peer, 4 alive time-out
  uint8_t remoteNatType;
  int32_t isDevice;
  RandomID randomId;
  void* taskList;
  ovc_netaddr_t lanAddr;
  uint32_t aliveCount;  // wide enough for any accepted time-out
  uint16_t readSeq[OVC_CHANNELS];
  uint32_t remoteVersion;
  ovc_netaddr_t sendAddr;
  ovc_netaddr_t p2pAddr, relayAddr, tcpRelayAddr;
  sockaddr_in peerSrcAddr;
  uint32_t txCount[OVC_CHANNELS];
  uint32_t rxCount[OVC_CHANNELS];
  uint8_t channelOn[OVC_CHANNELS];
  void* reliance[OVC_CHANNELS];
  uint8_t closing;
  uint8_t rttValid;
  uint16_t rxDelivered[OVC_CHANNELS];
  ReadQueue* readBuf[OVC_CHANNELS];
  uint32_t readDrops[OVC_CHANNELS];
  uint32_t rtt;
  uint16_t relayRandomId;
  OVC_ChannelRecvFn recvCb[OVC_CHANNELS];
  OVC_ChannelIdleFn idleCb[OVC_CHANNELS];
  uint32_t idleFlag[OVC_CHANNELS];
  OVC_ChannelCloseFn closeCb[OVC_CHANNELS];
  OVC_SessionStatusFn statusCb;
  TConnection* masterTcpConn[12];
  uint8_t masterTcpState[12];
  uint8_t peSupported;
  uint8_t peEnabled;
  uint8_t remoteProtocolVersion;
  uint8_t accepted;
  TConnection* p2pConn;
  TConnection* lanConn;
  TConnection* relayConn;
  TConnection* tcpRelayConn;
  TConnection* sendConn;
  int32_t sendPathType;  // -1 none, 0 LAN, 1 P2P, 2 UDP relay, 3 TCP relay
  int32_t sid;
  uint8_t capability[44];
  uint8_t capFlags[7];
  int32_t aliveTick;
  TConnection* fallbackTcpConn[4];
};

struct PreSessionInfo {
  void* taskList;
};

struct LocalNetworkInfo {  // 104 bytes on the wire of the later login messages
  uint8_t valid;
  int32_t count;
  uint8_t slots[4][16];  // u16 port (network order) at byte 2, IPv4 address at byte 4
  uint32_t idHigh;
  uint32_t idLow16;
  uint8_t macs[24];
};

struct MasterAddr {
  char host[128];
  uint16_t port;  // bytes as the resolver stores them
};

struct SharedConn {
  TConnection* conn;
  int32_t refs;
};

// ---- Module state ---------------------------------------------------------------------------
extern std::atomic<uint8_t> gOvcState;
extern int gMaxSessionNumber;
extern int gSessionTableSize;  // records actually allocated
extern SessionInfo* gSessionInfo;
extern PreSessionInfo* gPreSessionInfo;
extern SessionInfo gLoginSession;
extern TConnManager* gOvcConnMgr;
extern TConnection* gUdpConn;
extern uint16_t gLocalUdpPort;  // host order
extern bool gFixedPortGiven;
extern uint32_t gNatType;
extern uint16_t gLocalRandomId;
extern int32_t gPortGuessCounter;
extern std::atomic<int32_t> gSessionAliveTimeout;
extern uint16_t gLanSearchPort;
extern bool gNoTimeout;
extern uint8_t gAdvanceMode, gLiteMode;
extern bool gDeviceBlocked;
extern bool gErrorUpload;
extern char gDeviceName[129];
extern char gLocalUid[28];
extern LocalNetworkInfo gsLocalNetworkInfo;
extern bool gSetMACAddr;
extern char gstrV4MAC[18];
extern SharedConn gSharedConnTable[OVC_SHARED_CONNS];
extern orvan_task_t* gThread_SessionAlive;
extern std::atomic<int> gChannelDataSeen;  // the global receive flag of the idle callback
extern orv_mutex_t gSharedConnLock;
extern orv_mutex_t gClosedIdLock;

bool ovc_initialized();  // state 1 or 2
bool ovc_valid_sid(int sid);

struct ClosedRandomId {
  RandomID id;
  uint32_t closedAtMs;  // monotonic
};
extern bool gTrackClosedIds;
// Random IDs of closed sessions, recorded while gTrackClosedIds is set (guarded by gClosedIdLock).
size_t ovc_recent_closed_count();
void PrintRecentClosedRandomID();
const char* ipAddrInt2Str(uint32_t addr);
void make_ipv4_sockaddr(sockaddr_in* sa, const char* ip, uint16_t port);
bool is_valid_fd(int fd);

// ---- Module internals -----------------------------------------------------------------------
int ovc_open_udp_socket();
int ReopenP2PSocket(uint16_t port);
uint32_t UpdateLocalNetworkInfo();
// The same from a given interface record (the host's, or a test's).
uint32_t UpdateLocalNetworkInfoFrom(const orvan_net_if_info_t* info, int count);
void UpdateLocalPort();
uint16_t GenShortRandomID();
void breakTimeCallBack(TConnManager* m, void* user);
void setIdleTimeOut(int ms);
void setCapability(uint8_t* record51, uint8_t v);
void setCapability2(uint8_t* record48, uint8_t v);
// How long OVC_Get_Capability waits for the local device's answer (default 1000 ms).
void ovc_set_capability_wait_ms(uint32_t ms);
// A hook for the datagram dispatcher: every received datagram, unscrambled and checked.
using OvcDatagramHandler = void (*)(TConnection* c, const char* peer, uint16_t port,
                                    const OvcReceived* rx);
void ovc_set_datagram_handler(OvcDatagramHandler fn);
void OVC_UDP_RecvCB(TConnection* c, const char* peer, uint16_t port, uint8_t* buf, uint32_t len,
                    void* user);

int ovc_SendMessage(TConnection* conn, uint8_t* datagram, int length, const char* addressText,
                    int port);

// ---- Session internals ----------------------------------------------------------------------
SessionInfo* ovc_session_at(int sid);  // the record, or null for a bad sid
int ovc_get_free_session();
void ovc_session_reset(SessionInfo* s);
void ovc_session_release(SessionInfo* s);
void ovc_session_alive_task(orvan_task_t* task, uint32_t period, uint16_t arg, void* user,
                            int final);
int ovc_set_send_path(int type, int sid, TConnection* conn, const sockaddr* addr);
int _GetSendPath(int sid, TConnection** conn, ovc_netaddr_t* addr);
int __Fill_ReadBuf(int sid, const uint8_t* data, uint32_t length, uint16_t seq, uint8_t channel);
int FindSID_BySessionInfo(const SessionInfo* record);
// Frees every session's queues and records at de-initialisation.
void ovc_sessions_release_all(int reason);
