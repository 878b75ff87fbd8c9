// RCT: reliable, ordered byte streams, one per OVC session channel. Every function returns 0 or a
// non-negative value on success and a negative RCT code (below) or OVC code on failure.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  RCT_ER_NOT_INITIALIZED = -10000,
  RCT_ER_ALREADY_INITIALIZED = -10001,
  RCT_ER_NO_FREE_CHANNEL = -10002,
  RCT_ER_NO_MEMORY = -10003,
  RCT_ER_THREAD = -10004,
  RCT_ER_CLOSED = -10006,
  RCT_ER_TIMEOUT = -10007,
  RCT_ER_INVALID_ID = -10008,
  RCT_ER_END_OF_DATA = -10009,
  RCT_ER_REMOTE_ABORT = -10010,
  RCT_ER_LOCAL_ABORT = -10011,
  RCT_ER_CHANNEL_TAKEN = -10012,
  RCT_ER_INVALID_ARG = -10014,
  RCT_ER_CREATE_EXIT = -10015,
  RCT_ER_REMOTE_CREATE_EXIT = -10016,
  RCT_ER_SEND_BUFFER_FULL = -10017,
  RCT_ER_DEINIT_RUNNING = -10019,
};

#define RCT_API_VERSION 0x0301052A
// Guard value of RCT_Private_Status_Check and RCT_Write_UrgentData.
#define RCT_PRIVATE_GUARD 0x2D7F0B64u

#pragma pack(push, 1)
typedef struct RCT_Status {  // 12 bytes
  uint16_t ticksSinceReceipt;  // heartbeat periods since anything arrived
  uint16_t tickLimit;          // 120
  uint32_t sendBytes;          // data bytes waiting in the send list
  uint32_t unreadBytes;        // data bytes received and not yet read
} RCT_Status;
typedef struct RCT_StatusEx {  // 16 bytes
  uint16_t ticksSinceReceipt;
  uint16_t tickLimit;
  uint32_t sendBytes;
  uint32_t unreadBytes;
  uint16_t cwnd;
  uint16_t channelsCreated;
} RCT_StatusEx;
#pragma pack(pop)

typedef struct RCT_U64 {
  uint32_t low;
  uint32_t high;
} RCT_U64;

// Packet-id helpers: ids run low word 0..0xF0000000, then the high word goes up by one.
void U64_zero(RCT_U64* id);
int U64_compare(const RCT_U64* a, const RCT_U64* b);  // 1 greater, -1 smaller, 0 equal
void U64_add(RCT_U64* id);
void U64_copy(const RCT_U64* src, RCT_U64* dst);

// ---- Process-wide settings (before RCT_Initialize) -------------------------------------------
unsigned RCT_Set_Max_Session_Number(unsigned n);
void RCT_Set_Max_Channel_Number(unsigned n);
int RCT_Set_MaxPacketDataSize(unsigned size);  // 100..1280; only while no channel exists
void RCT_Set_Log_Path(const char* path);       // no effect: the library logs nothing
int RCT_GetRCTApiVer(void);

// ---- Library ---------------------------------------------------------------------------------
int RCT_Initialize(void);  // returns the number of channel records
int RCT_DeInitialize(void);

// ---- Channels --------------------------------------------------------------------------------
// Opens the stream on an OVC session's channel and waits for the peer (timeoutMs <= 0: no limit).
// Returns the RCT id.
int RCT_Create(int sessionId, int timeoutMs, uint8_t channel);
// Makes a waiting RCT_Create on that session and channel (here and at the peer) give up.
int RCT_Create_Exit(int sessionId, uint8_t channel);
int RCT_Destroy(int rctId);  // orderly end: everything written is delivered first
int RCT_Abort(int rctId);    // immediate end
int RCT_Write(int rctId, const void* data, unsigned length);
int RCT_Read(int rctId, void* buffer, int length, int timeoutMs);
int RCT_Flush(int rctId);
int RCT_Set_Max_SendBuffer_Size(int rctId, int size);
int RCT_Set_Max_Pending_ACK_Number(int rctId, int number);
int RCT_Status_Check(int rctId, RCT_Status* out);
int RCT_Private_Status_Check(uint32_t guard, int rctId, RCT_StatusEx* out);
void RCT_Write_UrgentData(uint32_t guard, int rctId, const void* data, int length);

// The channel callbacks that RCT_Create registers with the OVC session.
void RCTRecvCB(int sessionId, uint8_t channel, const uint8_t* packet, uint32_t length, int status);
void RCTRecvIdleCB(int sessionId, uint8_t channel);

#ifdef __cplusplus
}
#endif
