// What the device-side files share: the login's flags and state, and the TCP leg to the masters
// and to the group's servers.
#pragma once

#include <atomic>

#include "ovc_state.h"

extern std::atomic<bool> gLoginCalled;
extern std::atomic<int> gBadUidCount;
extern std::atomic<bool> gUidRefused;
extern std::atomic<bool> gNoPermission;
extern std::atomic<uint32_t> gLoginInfoFlags;
extern std::atomic<int32_t> gLoginReplyCount;
extern std::atomic<bool> gTcpMode;
extern std::atomic<uint16_t> TcpServerPort;

uint32_t ovc_device_scaled(uint32_t ms);
// The device login state with the non-blocking login's callback, called on every change.
void ovc_device_report_state(int32_t state, int32_t error);
int ovc_device_own_group();
void ovc_device_store_identity(const char* uid, const char* name, const char* password);
void ovc_device_send_own_query();  // over the master TCP connections in TCP mode, else UDP
void ovc_device_send_registration();
int ovc_device_start_periodic_tasks(uint32_t roundMs, uint16_t interval);

// TCP leg.
int OVC_TcpConnectToMaster(SessionInfo* record);
int OVC_TcpConnectToMasterNB(SessionInfo* record);
void ovc_close_master_tcp(SessionInfo* record);
int ovc_send_own_query_tcp(SessionInfo* record);
int ovc_device_tcp_to_servers(int wait, int retry);
int ovc_device_tcp_servers_start();  // the non-blocking form: 0 started, -1 nothing to start
int ovc_device_tcp_servers_state();  // 0 pending, 1 connected, 2 every attempt failed
void ovc_device_tcp_servers_settle();  // closes every attempt but the chosen one
int ovc_device_tcp_fallback();
int ovc_device_tcp_fallback_nb();
extern std::atomic<int32_t> gFallbackState;  // 0 none, 1 reached, 2 failed once, 3 otherwise
void ovc_set_fallback_servers(const char* const hosts[4], uint16_t port);
int ovc_send_on_server_tcp(uint8_t* datagram, int length);
bool ovc_device_owns_tcp_conn(TConnection* c);
void ovc_device_tcp_reset();
extern std::atomic<int32_t> gNbTcpStep;  // 0 none, 1 connecting, 2 up, 3 failed
