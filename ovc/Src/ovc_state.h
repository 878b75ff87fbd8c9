// The OVC module's process-wide state, the session record and the internal entry points shared
// by the module, the sessions and their tests.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
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

// The leading part that a pre-session record shares with a session record, field for field, so
// a pre-session can be copied over the head of a session slot.
#define OVC_SESSION_HEAD_FIELDS                                                              \
  char uid[21];                                                                              \
  uint8_t preSessionFlag; /* 1 in a record taken as a pre-session */                         \
  uint8_t state; /* 0 free, 1 reserved, 2 connected, 3 closed by the peer, 4 alive time-out */ \
  uint8_t remoteNatType;                                                                     \
  uint8_t knockForm;                                                                         \
  int32_t isDevice;                                                                          \
  RandomID randomId;                                                                         \
  void* taskList; /* SessionTaskNode*, guarded by gSessionTaskLock */                        \
  ovc_netaddr_t lanAddr;                                                                     \
  int32_t lanState;                                                                          \
  uint8_t onlineCheckState;

struct PreSessionInfo {
  OVC_SESSION_HEAD_FIELDS
};

struct SessionServerEntry {
  TConnection* tcpConn;
  ovc_netaddr_t udpAddr;  // port 0: empty entry
  ovc_netaddr_t tcpAddr;
  int32_t relayStep, tcpStep, lastSend;
  uint8_t tcpInUse, relayInfoFlag, version, answerKind;
  int32_t answerValue;  // ms, -1 none
};
constexpr int OVC_SESSION_SERVERS = 32;

using OvcNbCallback = void (*)(int state, int error, void* user);
using OvcCheckCallback = void (*)(int result, void* user);

struct SessionInfo {
  OVC_SESSION_HEAD_FIELDS
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
  uint8_t closeNotified;  // the channels' close callbacks have run (they run once)
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
  // Connect state (written by the dispatcher and the connect tasks under gSessionLock).
  int32_t queryState, p2pState, relayState, tcpState, netCheckState;
  int32_t connectStrategy;  // 0 unknown, 1 parallel, 2 sequential
  int32_t serverGroup;
  int32_t connectMode;  // 0 P2P, 1 relay, 2 LAN
  uint8_t failDeviceRefused, failSessionLimit, failAdvanceRefused, stopConnect, callerSid,
      failNoPermission, failUidRefused, failRelayRefused, failDuplicateLogin;
  uint8_t directTrafficSeen, punchInfoSeen, peerReached, reliableSupported, relayPeerTag;
  int32_t lanElapsed, tcpElapsed, p2pElapsed, tcpWait;
  int32_t firstAnswerServer;
  uint32_t firstAnswerMs, precheckDoneMs;  // monotonic ms, 0 unset
  uint32_t startMs;                        // monotonic ms at the connect's start
  OvcNbCallback nbCallback;
  void* nbUser;
  int32_t nbState, nbError;
  uint8_t nbPreDone, nbTcpMode, nbReported;
  OvcCheckCallback checkCb;
  void* checkUser;
  SessionServerEntry servers[OVC_SESSION_SERVERS];
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
  uint8_t region;  // master region the address came from (1 for fallback and customised ones)
  uint8_t family;  // 0 IPv4 text, 1 IPv6 text
};
// The master address table (12 entries) and the resolution state (0 running or not started,
// 1 known, 2 failed); both guarded by gMasterStateLock.
MasterAddr* ovc_master_table();
int* ovc_master_state_slot();

// ---- Master-name resolution -------------------------------------------------------------------
// The look-up used for master names (ovc_lookup_host unless a test gives its own).
using OvcMasterLookupFn = int (*)(const char* name, ovc_host_list_t** first, ovc_host_list_t** second);
void ovc_set_master_lookup(OvcMasterLookupFn fn);
void ovc_set_master_names(const char* region0, const char* region1);
void ovc_set_fallback_masters(const char* const texts[7]);
void ovc_set_custom_master_names(const char* const names[4]);
int ovc_master_addr_count();
int ovc_get_master_state();
void ovc_set_master_state(int state);
int ovc_update_ip(uint8_t region, ovc_host_list_t* list, MasterAddr* t, int capacity, int* count);
int ovc_resolve_master(int region);
int ovc_resolve_master_all();
int OVC_Resolve_MasterServer_Name();
int ovc_start_master_resolver_thread();
void resolve_customize_master(const char* name, MasterAddr* t, int* count);
void ovc_merge_customize_master();
void ovc_resolver_reset();

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
extern std::atomic<bool> gDeviceBlocked;  // set by the servers' answers, read by the API threads
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
void ovc_sessions_drop_tasks();

static_assert(offsetof(PreSessionInfo, onlineCheckState) == offsetof(SessionInfo, onlineCheckState),
              "a pre-session is the leading part of a session");
constexpr size_t OVC_SESSION_HEAD_SIZE = offsetof(SessionInfo, onlineCheckState) + 1;

// ---- Dispatcher -----------------------------------------------------------------------------
extern orv_mutex_t gSessionTaskLock, gSearchLock1, gSearchLock2;
constexpr size_t OVC_RECV_BUFFER = 1416;
void OVC_TCP_RecvCB(TConnection* c, const char* peer, uint16_t port, uint8_t* buf, uint32_t len,
                    void* user);
void _OVC_Packet_Handler(const uint8_t* datagram, const char* addressText, uint16_t port,
                         TConnection* conn, int overTcp);
extern "C" void _OVC_Packet_Handler_V6(const uint8_t* datagram);
void _OVC_LAN_Connection_Check(int sid, TConnection* conn, const char* addressText, uint16_t port);
int FindConnectingSessionByUID(const char* uid);
int FindSessionByRandomID(const RandomID* key, int mode);
int FindPreSessionByRandomID(const RandomID* key, int mode);
int FindSessionByAddrShortID(const ovc_netaddr_t* addr, uint16_t shortId, int mode);
int FindSessionBySendPathAddr(const char* addressText, uint16_t port);
int IsRecentClosedRandomID(uint64_t idPair, int kind);
int IsNoFreeSession();
int AllocPreSession();
void ClearPreSession(PreSessionInfo* record);
int AddPreSessionTimeoutTask(PreSessionInfo* record);
int AddLanSearchPrecheckRTask(PreSessionInfo* record);  // device side; nothing calls it yet
int IsPrivateAddress(const char* addressText);
// Extra IPv4 networks treated as the LAN (network order address, prefix length); at most 8.
void ovc_set_lan_networks(const uint32_t* nets, const int* prefixes, int count);
// Masters for the next OVC_Initialize2 (up to two; null: none). A program whose module the
// P2PTunnel agent starts, inside a test network with its own masters, names them here.
void ovc_set_start_masters(const char* m1, const char* m2);
// Wire and text helpers of the dispatcher.
bool ovc_text_to_netaddr(const char* text, uint16_t port, ovc_netaddr_t* out);
bool ovc_text_to_sockaddr(const char* text, uint16_t port, sockaddr_storage* out);
bool ovc_netaddr_to_text(const ovc_netaddr_t& a, char* text, size_t size, uint16_t* port);
uint32_t ovc_get_u32(const uint8_t* p);
void ovc_put_u32(uint8_t* p, uint32_t v);
void ovc_build_head(uint8_t* out, uint16_t type, uint16_t route, uint16_t length);
// Counters of what the dispatcher dropped, for tests and figures.
uint64_t ovc_dispatch_drops();
void OnPeerClosed(int sid);
void UpdateP2PAddr(int sid, const ovc_netaddr_t* sender);
void SendLanSearchAnswer(const char* addressText, uint16_t port, const RandomID* key, int32_t result);
// Channel callbacks gathered under gSessionLock and run after it is released.
struct OvcDeferredCalls;
void ovc_notify_peer_closed(int sid, int code);

// ---- Session tasks --------------------------------------------------------------------------
struct SessionTaskNode {
  orvan_task_t* task;
  int32_t type;
  SessionTaskNode* next;
};
void SessionTaskAddNode(void** list, int type, orvan_task_t* task);
void SessionTaskCleanNodesWithType(void** list, int type);
void SessionTaskDeleteNode(void** list, orvan_task_t* task, bool deleteTask);
void SessionTaskCleanAllNodes(void** list);
int SessionTaskCount(void** list, int type);  // -1 counts every node

// ---- LAN search ------------------------------------------------------------------------------
void SendLanSearchRequest(uint8_t marker, const char* uid, const RandomID* key, int kind,
                          const char* addressText, uint16_t port, int token);
int Broadcast_Message_By_Netmask(TConnection* conn, uint8_t* datagram, int length, uint16_t port);
void AddSendLANSearch(const char* uid, const RandomID* key, int kind, const char* addressText,
                      uint16_t port, int delay, uint8_t answer, int token);
// Where the directed broadcasts go: the host's interfaces, or a test's list.
using OvcInterfaceSource = int (*)(orvan_net_if_info_t* info);
void ovc_set_interface_source(OvcInterfaceSource fn);
void ovc_lan_client_answer(const OVC_Head& h, const uint8_t* body, const char* addressText,
                           uint16_t port, TConnection* conn);
void ovc_lan_reset();
int ovc_lan_token();

// ---- Connect --------------------------------------------------------------------------------
extern uint8_t gsConnectOption[4];
extern std::atomic<int32_t> LanConnectTimeout;
extern std::atomic<uint8_t> ConnectStopFlag;
int CheckConnectErrors(int sid);
int CheckPreConnectState(int sid, bool refused);
int CheckUDPParellelConnectState(int sid);
int CheckUDPSequentialConnectState(int sid);
int CheckTCPConnectState(int sid);
bool IsDeviceSleeping(SessionInfo* s, int graceMs);
int AddLanSearchTask(SessionInfo* s);
void SendConnectResult(int sid, int result, int pathKind, const char* addressText, uint16_t port,
                       bool viaTcp);
void ovc_connect_reset();
// Scales the connect's long waits (the blocking deadline and the NB driver's lifetime), for tests.
void ovc_set_connect_time_scale(int percent);
extern "C" int OVC_Get_Nat_Type(uint32_t guard);

// Senders of the connect and their message builders (each returns the datagram length).
int ovc_build_p2p_request(uint8_t* out, const SessionInfo* s, const RandomID* id, uint8_t knockForm, uint8_t serverVersion);
int ovc_build_relay_request(uint8_t* out, const SessionInfo* s, const RandomID* id, uint8_t knockForm);
int ovc_build_relay_request2(uint8_t* out, const SessionInfo* s, const RandomID* id);
int ovc_build_precheck(uint8_t* out, const SessionInfo* s, bool second);
int ovc_build_punch(uint8_t* out, const char* uid, const uint8_t own16[16]);
int ovc_build_connect_success(uint8_t* out, const SessionInfo* s, bool toUdpRelay);
int ovc_build_error_report(uint8_t* out, const SessionInfo* s, int code, const char* text, const void* data, int length, bool asClient);
int ovc_build_device_query(uint8_t* out, const char* uid, uint8_t value, bool shortForm);
void SendP2PRequest(uint8_t serverVersion, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id, uint8_t knockForm);
void SendRelayRequest(TConnection* conn, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id, uint8_t knockForm);
void SendRelayRequest2(TConnection* conn, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id, uint8_t knockForm);
void _OVC_Send_Punch_To(const char* addressText, uint16_t port, const char* uid, const sockaddr* own);
void SendConnectSuccess(SessionInfo* s);
void SendConnectErrorCode_inner(SessionInfo* s, int code, const char* text, const void* data, int length, bool asClient);
int _OVC_SendQuryDevice5(TConnection* conn, const char* addressText, int flags, const char* uid, uint8_t value, uint16_t port);
int sendOVC_Query_Device(TConnection* conn, const char* addressText, int flags, const char* uid, uint8_t value, uint16_t port);
int _OVC_SendQuryDevice2(TConnection* conn, const char* addressText, int flags, const char* uid, uint8_t value, uint16_t port);

// ---- Reliable queue -------------------------------------------------------------------------
struct OVC_Reliance;
int OVC_Reliable_NewReliance(OVC_Reliance** out, int sid, uint8_t channel);
int OVC_Reliable_DestroyReliance(OVC_Reliance* r);
int OVC_Reliable_AppendToQueue(OVC_Reliance* r, int sid, uint8_t channel, const void* data, int size);
int OVC_Reliable_AbortToSend(OVC_Reliance* r);
int OVC_Reliable_SendQueueIsEmpty(OVC_Reliance* r, int* flag);
void OVC_Reliable_RecvPacket(OVC_Reliance* r, const uint8_t* datagram, const ovc_netaddr_t* sender,
                             int sid);
uint32_t OVC_Reliable_NextExpected(OVC_Reliance* r);
// How many resend runs a message may go unacknowledged before the stream ends (default 600: 30 s).
void ovc_set_reliable_resend_limit(int runs);
