// P2PTunnel: TCP connections carried as numbered channels inside one reliable stream per
// device session. Result codes of the library (negative int results).
#pragma once

#include <stdint.h>

#define P2PTUNNEL_VERSION 0x0301052A

enum {
  TNL_ER_NOT_INITIALIZED = -30000,
  TNL_ER_NO_FREE_MAPPING = -30001,
  TNL_ER_BIND = -30002,
  TNL_ER_LISTEN = -30003,
  TNL_ER_THREAD = -30004,
  TNL_ER_NO_AUTH_REPLY = -30006,
  TNL_ER_ALREADY_INITIALIZED = -30007,
  TNL_ER_AUTH_REJECTED = -30008,
  TNL_ER_SESSION_NOT_IN_USE = -30010,
  TNL_ER_UID_INVALID = -30011,
  TNL_ER_NO_PERMISSION = -30012,
  TNL_ER_LAN_COUNTDOWN = -30017,
  TNL_ER_NO_FREE_OVC_SESSION = -30019,
  TNL_ER_SERVER_NOT_RUNNING = -30020,
  TNL_ER_INVALID_ARG = -30021,
  TNL_ER_SOCKET = -30022,
  TNL_ER_NOT_CONNECTING = -30023,
  TNL_ER_NO_FREE_SESSION_ID = -30024,
  TNL_ER_CONNECT_STOPPED = -30025,
};

// What the device's application sees of an agent that asks to be let in.
typedef struct {
  int32_t sessionId;
  uint8_t mode;           // 0 P2P, 1 relay, 2 LAN
  uint8_t remoteNatType;
  char remoteAddr[16];
  uint16_t remotePort;
  uint32_t version;
  int32_t dataLength;
  const uint8_t* data;    // valid only during the call
} P2PTunnelAuthInfo;

typedef int (*P2PTunnelAuthFn)(const P2PTunnelAuthInfo* info, void* user);
typedef void (*P2PTunnelStatusFn)(int code, int sid, void* user);

#ifdef __cplusplus
extern "C" {
#endif

// ---- Agent ----------------------------------------------------------------------------------
int P2PTunnelAgentInitialize(int maxSessions);
int P2PTunnelAgentDeInitialize(void);
int P2PTunnelAgent_GetFreeSession(void);
// Connects the reserved OVC session sid to the device uid and authenticates; sid or a code.
int P2PTunnelAgent_Connect_Parallel(const char* uid, int sid, const void* auth, int authLength,
                                    int* result);
int P2PTunnelAgent_Connect_Stop_Parallel(const char* uid, int sid);
int P2PTunnelAgent_Disconnect(int sid);
int P2PTunnelAgent_Abort(int sid);
// Listens on 127.0.0.1:localPort; each accepted connection reaches remotePort on the device.
int P2PTunnelAgent_PortMapping(int sid, uint16_t localPort, uint16_t remotePort);
int P2PTunnelAgent_StopPortMapping(int index);
int P2PTunnelAgent_StopPortMapping_byIndexArray(int* indexes, int count);
int P2PTunnel_SetBufSize(int sid, int size);
int P2PTunnel_LastIOTime(int sid);
int P2PTunnel_Version(void);
// The older interface: OVC picks the session; the new session id or a code.
int P2PTunnelAgent_Connect(const char* uid, const void* auth, int authLength, int* result);
int P2PTunnelAgent_Connect_Stop(const char* uid);
// Lost sessions are reported as cb(-30006, sid, user) (one callback for agent and server).
void P2PTunnelAgent_GetStatus(P2PTunnelStatusFn cb, void* user);

// ---- Server (the device side) ---------------------------------------------------------------
int P2PTunnelServerInitialize(int maxSessions);
int P2PTunnelServerDeInitialize(void);
// Logs in to the servers as uid and accepts the agents' sessions.
int P2PTunnelServer_Start(const char* uid);
int P2PTunnelServer_Stop(void);
int P2PTunnelServer_Disconnect(int sid);
// The application's say on each agent: a negative result rejects it.
int P2PTunnelServer_GetSessionInfo(P2PTunnelAuthFn cb, void* user);
void P2PTunnelServer_GetStatus(P2PTunnelStatusFn cb, void* user);

#ifdef __cplusplus
}
#endif
