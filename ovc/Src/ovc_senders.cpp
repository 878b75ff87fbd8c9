// The connect's requests to the P2P servers and its reports, and the device queries: one
// builder per message (the body at its offsets) and the senders around them.
#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include "ovc_state.h"

static void put_uid(uint8_t* b, const char* uid) { memcpy(b, uid, strnlen(uid, 20)); }

int ovc_build_p2p_request(uint8_t* out, const SessionInfo* s, const RandomID* id, uint8_t knockForm,
                          uint8_t serverVersion) {
  int len = knockForm < 10 ? 36 : serverVersion >= 11 ? 272 : 96;
  memset(out, 0, 16 + (size_t)len);
  ovc_build_head(out, 0x0203, 0x34, (uint16_t)len);
  uint8_t* b = out + 16;
  put_uid(b, s->uid);
  if (knockForm >= 10) {
    if (gsLocalNetworkInfo.valid && LanConnectTimeout != 0) memcpy(b + 20, gsLocalNetworkInfo.slots, 64);
    ovc_put_u32(b + 84, id->idLow);
    ovc_put_u32(b + 88, id->idHigh);
    ovc_put_u32(b + 92, gNatType);
    // The reflexive addresses and their flags (learned from server answers) stay zero here.
  }
  return 16 + len;
}

int ovc_build_relay_request(uint8_t* out, const SessionInfo* s, const RandomID* id, uint8_t knockForm) {
  int len = knockForm >= 10 ? 32 : 20;
  memset(out, 0, 16 + (size_t)len);
  ovc_build_head(out, 0x0205, 0x24, (uint16_t)len);
  put_uid(out + 16, s->uid);
  if (knockForm >= 10) {
    ovc_put_u32(out + 16 + 20, id->idLow);
    ovc_put_u32(out + 16 + 24, id->idHigh);
    ovc_put_u32(out + 16 + 28, 60000);
  }
  return 16 + len;
}

int ovc_build_relay_request2(uint8_t* out, const SessionInfo* s, const RandomID* id) {
  memset(out, 0, 16 + 36);
  ovc_build_head(out, 0x0207, 0x24, 36);
  put_uid(out + 16, s->uid);
  ovc_put_u32(out + 16 + 20, id->idLow);
  ovc_put_u32(out + 16 + 24, id->idHigh);
  ovc_put_u32(out + 16 + 28, 60);
  ovc_put_u32(out + 16 + 32, 5);
  return 16 + 36;
}

int ovc_build_precheck(uint8_t* out, const SessionInfo* s, bool second) {
  int len = second ? 24 : 20;
  memset(out, 0, 16 + (size_t)len);
  ovc_build_head(out, second ? 0x0214 : 0x0211, 0x24, (uint16_t)len);
  put_uid(out + 16, s->uid);
  return 16 + len;
}

int ovc_build_punch(uint8_t* out, const char* uid, const uint8_t own16[16]) {
  memset(out, 0, 16 + 36);
  ovc_build_head(out, 0x0301, 0x21, 36);
  put_uid(out + 16, uid);
  if (own16) memcpy(out + 16 + 20, own16, 16);
  return 16 + 36;
}

int ovc_build_connect_success(uint8_t* out, const SessionInfo* s, bool toUdpRelay) {
  memset(out, 0, 16 + 40);
  ovc_build_head(out, 0x0801, 0x24, 40);
  uint8_t* b = out + 16;
  put_uid(b, s->uid);
  memcpy(b + 20, s->sendAddr.addr, 16);
  b[36] = s->remoteNatType;
  b[37] = (uint8_t)gNatType;
  b[38] = toUdpRelay ? 1 : (uint8_t)s->connectMode;
  return 16 + 40;
}

int ovc_build_error_report(uint8_t* out, const SessionInfo* s, int code, const char* text, const void* data,
                           int length, bool asClient) {
  if (length < 0 || !data) length = 0;
  if (length > 1248) length = 1248;
  int len = 152 + length;
  memset(out, 0, 16 + (size_t)len);
  ovc_build_head(out, 0x0805, asClient ? 0x24 : 0x14, (uint16_t)len);
  uint8_t* b = out + 16;
  put_uid(b, s->uid);
  ovc_put_u32(b + 20, (uint32_t)code);
  if (text) memcpy(b + 24, text, strnlen(text, 128));
  if (length) memcpy(b + 152, data, (size_t)length);
  return 16 + len;
}

int ovc_build_device_query(uint8_t* out, const char* uid, uint8_t value, bool shortForm) {
  int len = shortForm ? 24 : 38;
  memset(out, 0, 16 + (size_t)len);
  ovc_build_head(out, shortForm ? 0x000B : 0x1007, 0x18, (uint16_t)len);
  uint8_t* b = out + 16;
  for (int i = 0; i < 20 && uid[i]; ++i) b[i] = (uint8_t)((uid[i] >= 'a' && uid[i] <= 'z') ? uid[i] - 32 : uid[i]);
  if (shortForm) {
    b[20] = value;
  } else {
    b[36] = 6;
    b[37] = value;
  }
  return 16 + len;
}

// ---- Senders --------------------------------------------------------------------------------

static void send_on(TConnection* conn, uint8_t* d, int len, const char* text, uint16_t port) {
  if (conn && text) ovc_SendMessage(conn, d, len, text, port);
}

void SendP2PRequest(uint8_t serverVersion, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id,
                    uint8_t knockForm) {
  if (!s || !id) return;
  uint8_t d[16 + 272];
  int len = ovc_build_p2p_request(d, s, id, knockForm, serverVersion);
  send_on(gUdpConn, d, len, addressText, port);
  if (gsConnectOption[1] || gNatType == 3) return;
  // A second copy to a guessed server port; without a server table the base is 10002.
  int m = -1;
  timespec ts;
  int64_t t = clock_gettime(CLOCK_MONOTONIC, &ts) == 0 ? (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000 : -1;
  int base = t >= 0 ? (int)(t % 60) * 5 : 75;
  int offset = (base + gPortGuessCounter % 5) % 300;
  int guess = (m >= 0 ? m + 1 : 10002) + offset;
  send_on(gUdpConn, d, len, addressText, htons((uint16_t)guess));
  gPortGuessCounter++;
}

void SendRelayRequest(TConnection* conn, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id,
                      uint8_t knockForm) {
  if (!s || !id) return;
  uint8_t d[16 + 32];
  int len = ovc_build_relay_request(d, s, id, knockForm);
  send_on(conn, d, len, addressText, port);
}

void SendRelayRequest2(TConnection* conn, const char* addressText, uint16_t port, SessionInfo* s, const RandomID* id,
                       uint8_t) {
  if (!s || !id) return;
  uint8_t d[16 + 36];
  int len = ovc_build_relay_request2(d, s, id);
  send_on(conn, d, len, addressText, port);
}

void _OVC_Send_Punch_To(const char* addressText, uint16_t port, const char* uid, const sockaddr* own) {
  uint8_t ownBytes[16] = {};
  if (own && own->sa_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(own);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    if (a->sin_port == port && addressText && strcmp(text, addressText) == 0) return;
    ownBytes[1] = 2;
    memcpy(ownBytes + 2, &a->sin_port, 2);
    memcpy(ownBytes + 4, &a->sin_addr, 4);
  }
  uint8_t d[16 + 36];
  int len = ovc_build_punch(d, uid, ownBytes);
  send_on(gUdpConn, d, len, addressText, port);
}

void SendConnectSuccess(SessionInfo* s) {
  if (!s) return;
  int k = s->firstAnswerServer;
  if (k < 0 || k >= OVC_SESSION_SERVERS) return;
  const SessionServerEntry& e = s->servers[k];
  if (e.version > 11 || e.udpAddr.port == 0) return;
  uint8_t d[16 + 40];
  char text[64];
  uint16_t port;
  bool relay = s->connectMode == 1;
  int len = ovc_build_connect_success(d, s, relay);
  if (ovc_netaddr_to_text(relay ? s->relayAddr : e.udpAddr, text, sizeof text, &port)) send_on(gUdpConn, d, len, text, port);
}

void SendConnectErrorCode_inner(SessionInfo* s, int code, const char* text, const void* data, int length, bool asClient) {
  if (!s || code >= 0 || !gErrorUpload) return;
  uint8_t d[16 + 152 + 1248];
  int len = ovc_build_error_report(d, s, code, text, data, length, asClient);
  char t[64];
  uint16_t port;
  if (s->sendPathType == 3) {
    if (ovc_netaddr_to_text(s->sendAddr, t, sizeof t, &port)) send_on(s->tcpRelayConn, d, len, t, port);
    return;
  }
  if (s->serverGroup < 0) return;
  for (const SessionServerEntry& e : s->servers)
    if (e.udpAddr.port && ovc_netaddr_to_text(e.udpAddr, t, sizeof t, &port)) send_on(gUdpConn, d, len, t, port);
}

int _OVC_SendQuryDevice5(TConnection* conn, const char* addressText, int, const char* uid, uint8_t value, uint16_t port) {
  if (!uid) return -1;
  uint8_t d[16 + 38];
  int len = ovc_build_device_query(d, uid, value, false);
  return conn && addressText ? ovc_SendMessage(conn, d, len, addressText, port) : -1;
}

int sendOVC_Query_Device(TConnection* conn, const char* addressText, int flags, const char* uid, uint8_t value,
                         uint16_t port) {
  return _OVC_SendQuryDevice5(conn, addressText, flags, uid, value, port);
}

int _OVC_SendQuryDevice2(TConnection* conn, const char* addressText, int, const char* uid, uint8_t value, uint16_t port) {
  if (!uid) return -1;
  uint8_t d[16 + 24];
  int len = ovc_build_device_query(d, uid, value, true);
  return conn && addressText ? ovc_SendMessage(conn, d, len, addressText, port) : -1;
}
