/* KVNet interface: session calls. Included by KVNet.h.
 *
 * A session is one long-lived connection to one device, run by its own task: it connects,
 * logs in, keeps the connection alive and reconnects. Progress arrives as codes through
 * the message callback (0 connect start, 1 connected, 2 connect failed, 3 closed, 100
 * login request, 101 logged in, 102-112 and 150 login refusals, 123-126 one-shot
 * results); no callback arrives once the session's stop has begun. A callback must not
 * stop or reset its own session. */
#ifndef KVNET_SESSION_H
#define KVNET_SESSION_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
class DevConnection;
extern "C" {
#else
typedef struct DevConnection DevConnection;
#endif

/* Message codes. */
enum {
    KVNetMsgConnectStart = 0,
    KVNetMsgConnectSuccess = 1,
    KVNetMsgConnectFail = 2,
    KVNetMsgConnectClosed = 3,
    KVNetMsgConnectStop = 4,
    KVNetMsgLoginRequest = 100,
    KVNetMsgLoginSuccess = 101,
    KVNetMsgLoginUserLogined = 102,
    KVNetMsgLoginNoUserName = 103,
    KVNetMsgLoginPasswordError = 104,
    KVNetMsgLoginFail = 105,
    KVNetMsgLoginNoRight = 106,
    KVNetMsgIpFilter = 107,
    KVNetMsgOverMaxUser = 108,
    KVNetMsgLoginUserDisable = 110,
    KVNetMsgLoginForceChangePWD = 111,
    KVNetMsgLoginForceCloseBrowser = 112,
    KVNetTypeP2P = 121,
    KVNetTypeP2PRelay = 122,
    KVNetMsgPushParamSuccess = 123,
    KVNetMsgPushParamFail = 124,
    KVNetMsgSavePasswordSuccess = 125,
    KVNetMsgSavePasswordFail = 126,
    KVNetMsgAdminIsLogin = 150
};

/* Data callback events besides alarm reports (type = the report's subtype). */
enum {
    KVNetDataForwardedNotice = 113, /* a login refused with a forwarded notice */
    KVNetDataNoUserName = 60000     /* a session without a user name: {u32 136, u32 port, 128 zero bytes} */
};

/* The older connection request: the fields of KVNetConnectionParam up to the message
 * callback. */
typedef struct KVNetConnectionParamV1 {
    const char*       szAddr;
    uint32_t          nPort;
    const char*       szUser;
    const char*       szPwd;
    uint64_t          reserved64;
    uint32_t          reserved32;
    void*             pUser;
    uint8_t           bAutoReconnect;
    KVNetDataCallback dataCallback;
    uint8_t           bAlarmReport;
    KVNetMsgCallback  msgCallback;
} KVNetConnectionParamV1;

/* The request of the one-shot sessions (push parameters, save password). */
typedef struct KVNetPushParam {
    const char*      szAddr;      /* address, or device ID for login types other than 0 */
    uint32_t         nPort;
    uint32_t         nLoginType;
    const char*      szIDServer;
    void*            pUser;
    KVNetMsgCallback msgCallback;
    const void*      pPayload;
    int32_t          nPayloadLen;
} KVNetPushParam;

/* Null for a null request, a port above 65535 or when the task cannot start. */
DevConnection* KVNetConnectionStartEx(const KVNetConnectionParam* param);
/* The older request (a KVNetConnectionParamV1). */
DevConnection* KVNetConnectionStart(const void* param);
/* Stops (waiting for the session's task), frees and clears *handle. */
void KVNetConnectionStop(DevConnection** handle);
/* Address and port of the next connection attempt; 1, or 0 for a null handle. */
int KVNetSetIPAndPort(DevConnection** handle, const char* address, int port);
/* Stops the session and starts it again from its request; the handle stays valid. */
void KVNetResetConnection(DevConnection* handle);

DevConnection* KVNetStartSendPushParam(const KVNetPushParam* param);
void KVNetStopSendPushParam(DevConnection** handle);
DevConnection* KVNetStartSavePasword(const KVNetPushParam* param);
void KVNetStopSavePasword(DevConnection** handle);

/* Non-zero on: ask for alarm reports (now when logged in, else at the next login). */
void KVNetAlarmSubscribe(DevConnection* handle, int on);
/* The device information block of the login reply without its extension; 1, or 0 when
 * not logged in (dst untouched). */
int KVNetGetDevInfo(DevConnection* handle, void* dst, int len);
/* The extension block at the end of the login reply; 1 or 0. */
int KVNetGetDevInfoEx(DevConnection* handle, void* dst, int len);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(KVNetConnectionParamV1) == 88, "older connection request is 88 bytes");
#endif

#endif
