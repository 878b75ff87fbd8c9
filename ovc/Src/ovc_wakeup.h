// The wake-up and sleep entry points: keep-alive entries for a low-power companion, the sleep
// request, the sleeping-device packet and the client's wake-up request.
#pragma once

#include <stdint.h>

struct KeepAliveEntry {  // 56 bytes, handed to the application
  uint64_t serverAddr;   // IPv4 address as given (network order), zero-extended
  uint16_t serverPort;
  uint8_t pad0[6];
  uint64_t length;       // of the scrambled datagram
  uint8_t* datagram;
  uint32_t fixed25;      // 25, for the companion that replays the entry
  uint8_t pad1[4];
  uint64_t blockLength;  // 48
  uint8_t* block;        // the wake-up block
};
static_assert(sizeof(KeepAliveEntry) == 56, "KeepAliveEntry is 56 bytes");

using OvcLoginPacketFn = void (*)(const uint8_t* datagram, uint32_t length, uint32_t serverIPv4, uint16_t serverPort,
                                  int tcpMode);
using OvcSleepReplyFn = void (*)(uint32_t serverIPv4, uint16_t serverPort);
using OvcSleepPacketFn = long (*)(KeepAliveEntry* entries, uint32_t count, int result);

void OVC_Register_LoginPacketCallback(OvcLoginPacketFn fn, uint32_t guard);
void OVC_UnRegister_LoginPacketCallback(uint32_t guard);
void OVC_Register_LoginR_SleepCallback(OvcSleepReplyFn fn, uint32_t guard);
void OVC_UnRegister_LoginR_SleepCallback(uint32_t guard);
void OVC_Setup_Auto_WakeUp_Internal(int on, uint32_t guard);
void OVC_WakeUp_Setup_Auto_WakeUp(int on);
uint32_t OVC_Get_RandomID32(uint32_t guard);
int OVC_Get_SleepingDevicePacket(uint8_t** packet, int32_t* length, int32_t value, uint32_t guard);
int OVC_Send_WakeUp_Internal(const char* uid, uint32_t guard);
int OVC_WakeUp_WakeDevice(const char* uid);
void OVC_WakeUp_Init();
void OVC_WakeUp_DeInit(KeepAliveEntry* entries);
int OVC_WakeUp_Get_KeepAlivePacket(KeepAliveEntry** entries, int32_t* count);
int OVC_WakeUp_Get_SleepPacket(OvcSleepPacketFn callback, int lifetimeMs);
int OVC_WakeUp_ResponsedServerNum();
int OVC_Replace_LoginThread_With_OMWBedThread(void (*finish)(), const int32_t* value, int lifetimeMs);
void OVC_LoginR_Sleep_CallBack(uint32_t serverIPv4, uint16_t serverPort);
void OVC_WakeUp_OMWBedThreadTimeout();
void BuildKeepAliveEntry(KeepAliveEntry* e, const uint8_t* datagram, uint32_t length, uint32_t serverIPv4,
                         uint16_t serverPort);

// Used by the registration senders and the device's answer handling.
void ovc_call_login_packet_cb(const uint8_t* datagram, uint32_t length, const char* addressText, uint16_t port,
                              int tcpMode);
bool ovc_call_sleep_reply_cb(const char* addressText, uint16_t port);
bool ovc_sleep_task_running();
int ovc_send_sleep_registration(TConnection* conn, const char* addressText, uint16_t port, uint32_t value);
