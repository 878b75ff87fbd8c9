// The OVC module's flat interface: start and end, module settings, sessions and channels.
// Every function returns 0 or a non-negative value on success and a negative result code
// (below) on failure.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Result codes ---------------------------------------------------------------------------
enum {
  OVC_ER_FAIL = -1,
  OVC_ER_MASTER_UNRESOLVED = -2,
  OVC_ER_ALREADY_INITIALIZED = -3,
  OVC_ER_TASK_CREATE = -5,
  OVC_ER_SOCKET = -6,
  OVC_ER_INVALID_UID = -10,
  OVC_ER_LOGIN_STARTED = -11,
  OVC_ER_NOT_INITIALIZED = -12,
  OVC_ER_TIMEOUT = -13,
  OVC_ER_INVALID_SID = -14,
  OVC_ER_LISTENING = -17,
  OVC_ER_NO_FREE_SESSION = -18,
  OVC_ER_DEVICE_NOT_FOUND = -19,
  OVC_ER_CLOSED_BY_PEER = -22,
  OVC_ER_CLOSED_TIMEOUT = -23,
  OVC_ER_OLD_PROTOCOL = -24,
  OVC_ER_CHANNEL_OFF = -26,
  OVC_ER_CONNECT_STOPPED = -27,
  OVC_ER_NO_MASTER = -28,
  OVC_ER_NO_FREE_CHANNEL = -31,
  OVC_ER_MASTER_TCP = -32,
  OVC_ER_SERVER_TCP = -33,
  OVC_ER_LISTEN_EXIT = -39,
  OVC_ER_NO_PERMISSION = -40,
  OVC_ER_NO_SERVER = -41,
  OVC_ER_RELAY_SETUP = -42,
  OVC_ER_RELAY_REFUSED = -43,
  OVC_ER_NO_SERVER_LIST = -44,
  OVC_ER_DUPLICATE_LOGIN = -45,
  OVC_ER_INVALID_ARG = -46,
  OVC_ER_NO_PARTIAL_ENCRYPTION = -47,
  OVC_ER_SESSION_LIMIT = -48,
  OVC_ER_RELIABLE_UNSUPPORTED = -51,
  OVC_ER_RELIABLE_ABORTING = -52,
  OVC_ER_TOO_LONG = -53,
  OVC_ER_RELAY_NO_RELIABLE = -54,
  OVC_ER_NO_PATH = -55,
  OVC_ER_SEARCH_NOT_RUNNING = -56,
  OVC_ER_SEARCH_RUNNING = -57,
  OVC_ER_NO_MEMORY = -58,
  OVC_ER_DEVICE_BLOCKED = -59,
  OVC_ER_MASTER_SILENT = -60,
  OVC_ER_RESOURCE = -61,
  OVC_ER_QUEUE_FULL = -62,
  OVC_ER_DEVICE_ASLEEP = -64,
  OVC_ER_DEVICE_UNKNOWN = -90,
};

#define OVC_VERSION_WORD 0x0301052Au

// ---- Session status records -----------------------------------------------------------------
#pragma pack(push, 1)
typedef struct OVC_SessionInfo {
  uint32_t size;  // set by the caller: 156, or 92 for the short form
  uint8_t mode;   // 0 P2P, 1 relay, 2 LAN, 255 not connected
  uint8_t isDevice;
  char uid[21];
  char remoteIp[47];
  uint16_t remotePort;
  uint32_t txPackets;
  uint32_t rxPackets;
  uint32_t remoteVersion;
  uint16_t vid, pid, gid;
  uint8_t zero94;
  uint8_t localNatType;
  uint8_t remoteNatType;
  uint8_t relayKind;  // 0 none, 1 UDP relay, 2 TCP relay
  uint8_t zero98[2];
  uint32_t netState;
  char peerIp[47];
  uint8_t zero151;
  uint16_t peerPort;
  uint8_t zero154[2];
} OVC_SessionInfo;

typedef struct OVC_SessionInfoShort {
  uint8_t mode;
  uint8_t isDevice;
  char uid[21];
  char remoteIp[47];
  uint16_t remotePort;
  uint32_t txPackets;
  uint32_t rxPackets;
  uint32_t remoteVersion;
  uint16_t vid, pid, gid;
  uint8_t remoteNatType;
  uint8_t zero;
} OVC_SessionInfoShort;
#pragma pack(pop)

typedef struct OVC_Capability {  // 48 bytes
  char uid[28];
  int32_t status;
  uint8_t caps[7];
  uint8_t zero[9];
} OVC_Capability;

typedef void (*OVC_ConnModeChangeFn)(int sid, int pathType);
typedef void (*OVC_ChannelRecvFn)(int sid, uint8_t channel, const uint8_t* data, uint32_t length,
                                  int status);
typedef void (*OVC_ChannelIdleFn)(int sid, uint8_t channel);
typedef void (*OVC_ChannelCloseFn)(int sid, uint8_t channel, int reason);
typedef void (*OVC_SessionStatusFn)(int sid, int code);

// ---- Start, end and module settings ---------------------------------------------------------
void OVC_Set_Max_Session_Number(int n);
int OVC_Initialize2(uint16_t udpPort);
int OVC_Initialize(void);
int OVC_Initialize_Internal(uint16_t udpPort, const char* master1, const char* master2,
                            const char* master3, const char* master4, uint32_t guard);
int OVC_DeInitialize(void);
void OVC_Get_Version(uint32_t* out);
int OVC_Setup_Session_Alive_Timeout(unsigned seconds);
int OVC_Set_LanSearchPort(unsigned port);
int OVC_SetMACAddr(const char* mac, uint32_t guard);
void OVC_Set_Device_Name(const char* name);
void OVC_Setup_ErrorUpload(int on);
void OVC_Set_Anvance_Mode(uint32_t guard, int mode);
int OVC_IsLiteMode(uint32_t guard);
void OVC_ConnModeChange_CallBack(OVC_ConnModeChangeFn fn);
void OVC_Set_Log_Path(void);
int OVC_Get_Capability(const char* text, OVC_Capability* out, uint32_t guard);
void OVC_ReInitSocket(uint16_t port);

// ---- Sessions and channels ------------------------------------------------------------------
int OVC_Check_Session_Status(int sid);
int OVC_Get_SessionID(void);
int OVC_Session_Write(int sid, const void* data, unsigned length, uint8_t channel);
int OVC_Session_Read(int sid, void* buf, int bufLen, unsigned timeoutMs, uint8_t channel);
int OVC_Session_Read_Check_Lost(int sid, void* buf, int bufLen, unsigned timeoutMs,
                                uint16_t* seqOut, uint8_t* lostOut, uint8_t channel);
int OVC_Session_Channel_ON(int sid, uint8_t channel);
int OVC_Session_Channel_OFF(int sid, uint8_t channel);
int OVC_Session_Channel_Check_ON_OFF(int sid, uint8_t channel);
int OVC_Session_Get_Free_Channel(int sid);
void OVC_Session_Close(int sid);
int OVC_Session_Check_Ex(int sid, OVC_SessionInfo* info);
int OVC_Session_Check(int sid, OVC_SessionInfoShort* info);
int OVC_Session_Check_ByCallBackFn(int sid, OVC_SessionStatusFn fn);
int OVC_Get_Remote_ProtocolVersion(int sid);
int OVC_Set_Partial_Encryption(int sid, uint8_t on);
void OVC_Session_Set_CloseCb(int sid, uint8_t channel, OVC_ChannelCloseFn fn, uint32_t guard);
void OVC_Session_Set_Channel_RcvCb(int sid, uint8_t channel, OVC_ChannelRecvFn fn, uint32_t guard);
void OVC_Session_Set_Channel_RcvIdleCb(int sid, uint8_t channel, OVC_ChannelIdleFn fn,
                                       uint32_t guard);
void OVC_Session_Lock(void);
void OVC_Session_unLock(void);
int RT(int sid, uint32_t guard);
int AT(int sid, uint32_t guard);
int XD(void);

// ---- LAN search -----------------------------------------------------------------------------
#pragma pack(push, 1)
typedef struct OVC_LanSearchEntry {  // 42 bytes
  char uid[21];
  char ip[17];
  uint16_t port;  // host order
  uint8_t zero[2];
} OVC_LanSearchEntry;
typedef struct OVC_LanSearchEntry2 {  // 174 bytes
  char uid[21];
  char ip[17];
  uint16_t port;
  char name[133];
  uint8_t zero;
} OVC_LanSearchEntry2;
typedef struct OVC_SearchDeviceEntry {  // 208 bytes
  char uid[21];
  char ip[47];
  uint16_t port;
  char name[133];
  uint8_t pad;
  int32_t isNew;
} OVC_SearchDeviceEntry;
#pragma pack(pop)

int OVC_Lan_Search(OVC_LanSearchEntry* results, int capacity, int timeoutMs);
int OVC_Lan_Search2(OVC_LanSearchEntry2* results, int capacity, int timeoutMs);
int OVC_Lan_Search2_Ex(OVC_LanSearchEntry2* results, int capacity, int timeoutMs, int intervalMs);
int OVC_Search_Device_Start(int lifetimeMs, int periodMs);
int OVC_Search_Device_Result(OVC_SearchDeviceEntry* out, int capacity, int mode);
int OVC_Search_Device_Stop(void);

// ---- Connect by UID -------------------------------------------------------------------------
typedef void (*OVC_ConnectNBFn)(int state, int error, void* user);
int OVC_Connect_ByUID(const char* uid);
int OVC_Connect_ByUID_Parallel(const char* uid, int sid);
int OVC_Connect_UDP(const char* uid, int sid);
int OVC_Connect_ByUIDNB(const char* uid, OVC_ConnectNBFn cb, void* user);
int OVC_Connect_ByUID_ParallelNB(const char* uid, int sid, OVC_ConnectNBFn cb, void* user);
int OVC_Connect_UDPNB(const char* uid, int sid, OVC_ConnectNBFn cb, void* user);
void OVC_Connect_Stop(void);
int OVC_Connect_Stop_BySID(int sid);
int OVC_Set_Connection_Option(const uint8_t option[4]);
void OVC_TCPRelayOnly_TurnOn(void);
void OVC_Setup_LANConnection_Timeout(int ms);
void OVC_Setup_P2PConnection_Timeout(int ms);
void OVC_Setup_DetectNetwork_Timeout(int ms);
void OVC_SendErrorCode(int sid, int code, const char* text, const void* data, int length);
int OVC_Check_Device_On_Line(const char* uid, int lifetimeMs, void (*callback)(int result, void* user),
                             void* user);
int NetworkDetectTest(void);

// ---- Reliable messages ----------------------------------------------------------------------
int OVC_Session_Write_Reliable_NB(int sid, const void* data, int size, uint8_t channel);
int OVC_Session_Write_Reliable_NB_Abort(int sid, uint8_t channel);
int OVC_Reliable_All_MSG_Is_Sent(int sid, uint8_t channel);

#ifdef __cplusplus
}
#endif

// ---- Device side: login to the servers, listen and accept -----------------------------------
#ifdef __cplusplus
extern "C" {
#endif
typedef struct OVC_DeviceStatus {
  int32_t status;  // 0 not initialised, 1 initialised, 2 login running, 3 registered, 4 a session
                   // being set up, 5 device sessions exist, -1 blocked, -2 login failed
  int32_t deviceSessions;
  int32_t waitingSessions;
  int32_t errorCode;
} OVC_DeviceStatus;
int OVC_Device_Login(const char* uid, const char* name, const char* password);
// The login run by tasks: 0 when it runs on, the outcome and every later state through callback
// (1 started, 2 sockets open, 4 logged in, 8 registered, 16 registration lost, 32 asleep, -1 failed
// with the code in result).
int OVC_Device_LoginNB(const char* uid, const char* name, const char* password,
                       void (*callback)(int state, int result, void* user), void* user);
int OVC_Get_Login_Info(uint32_t* flags);
int OVC_Listen(unsigned timeoutMs);
void OVC_Listen_Exit(void);
int OVC_Accept(int* sid);
int OVC_Get_Device_Status(OVC_DeviceStatus* out);
#ifdef __cplusplus
}
#endif
