/* KVNet interface: parameter blocks, parameter queries and sets, JSON requests, remote
 * commands, the log query, configuration export and import. Included by KVNet.h.
 *
 * Results: the query and set calls, KVNetPTZControl, KVNetExportBackupNew and
 * KVNetRemoteParamImportNew return 1 on success, 2 when the device refused for lack of
 * rights (AckFlag 50) and 0 on any other failure; the JSON calls, KVNetReqControl and
 * KVNetQueryLog return 1 or 0; the asynchronous starts return the request's sequence
 * number (never 0: a wrapped counter skips it), 0 on failure. An asynchronous request is
 * registered before it is sent, so even an immediate reply finds it; a start that fails
 * leaves nothing registered.
 *
 * A structure received from a device is handed on at the caller's size: zero-extended when
 * the device sent less, cut when it sent more, and its leading StructSize then reads as the
 * caller's size (parameter type 524 keeps the device's StructSize when the device sent less).
 *
 * Session closed with asynchronous requests pending: each pending request gets exactly one
 * final callback that no device reply can produce:
 *   - callbacks with a type or acknowledgement argument (remote test, control replies,
 *     subtype 105, the 72-byte block of type 367) receive KVNET_REQUEST_FAILED there, with
 *     no data and size 0;
 *   - the asynchronous JSON set callback receives ok = 0, no data, size 0;
 *   - the asynchronous JSON query callback receives data = NULL and size 0 (a device reply
 *     always comes with a non-NULL data pointer, even when it is empty);
 *   - item deliveries get their end mark (NULL item); a no-right callback, when set, first
 *     receives its 256-byte block with first byte 2 (session closed) instead of 1.
 *
 * Callbacks of asynchronous requests run on the session's connection task with the
 * session's request table locked. From inside such a callback, calls that would deadlock
 * on the same session fail at once instead: asynchronous starts and stops, synchronous
 * queries and sets (they return 0); during the close-down callbacks every send fails too. */
#ifndef KVNET_PARAM_H
#define KVNET_PARAM_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
class DevConnection;
extern "C" {
#else
typedef struct DevConnection DevConnection;
#endif

/* The type / ack value of the one failure callback a pending asynchronous request gets
 * when its session closes. Devices acknowledge with small values; this one they never send
 * here. */
#define KVNET_REQUEST_FAILED 0xFFFFu

/* AckFlag of a device that refuses for lack of rights. */
#define KVNET_ACK_NO_RIGHT 50u

/* ---- Parameter blocks (little-endian, each begins with its own u32 StructSize) ---- */

/* Type 502: software version, 588 bytes. */
typedef struct KVNet_SoftVersion_t {
    uint32_t StructSize;        /* 0: 588 */
    uint8_t  reserved0[149];    /* 4 */
    char     szFirmwareVersion[64]; /* 153: NUL-terminated Latin-1 */
    uint8_t  reserved1[371];    /* 217 */
} KVNet_SoftVersion_t;

/* Type 505 structure: 48 bytes, opaque to the tool. */
typedef struct KVNet_UserParam_t {
    uint32_t StructSize;        /* 0: 48 */
    uint8_t  reserved[44];
} KVNet_UserParam_t;

/* Type 505 list element: one user account, 272 bytes. Two layouts share it: the short
 * one (8-byte name and password) and the long one (32 bytes each); bit 3 of the u32 at
 * offset 228 of the device information block selects the long one. */
typedef struct UserAccountRecord {
    uint32_t StructSize;        /* 0: as received */
    uint8_t  reserved0[4];      /* 4 */
    char     szPwdShort[8];     /* 8 */
    char     szUserShort[8];    /* 16 */
    uint8_t  reserved1[10];     /* 24 */
    uint8_t  bModified;         /* 34: 1 in the record being changed */
    uint8_t  reserved2[45];     /* 35 */
    char     szPwdLong[32];     /* 80 */
    char     szUserLong[32];    /* 112 */
    uint8_t  reserved3[128];    /* 144 */
} UserAccountRecord;

/* Type 521: restore defaults, 12 bytes; each flag 1 = restore that category. */
typedef struct KVNet_RestoreDefault_t {
    uint32_t StructSize;        /* 0: 12 */
    uint8_t  Display;           /* 4 */
    uint8_t  Record;            /* 5 */
    uint8_t  NetWork;           /* 6: 0/1, or the network choice 0, 1, 2 */
    uint8_t  Alarm;             /* 7 */
    uint8_t  Device;            /* 8 */
    uint8_t  System;            /* 9 */
    uint8_t  Advanced;          /* 10 */
    uint8_t  Intel;             /* 11 */
} KVNet_RestoreDefault_t;

/* Type 524: NTP settings, 160 bytes. */
typedef struct KVNet_NTPSet_t {
    uint32_t StructSize;        /* 0: 160 */
    uint8_t  reserved0[52];     /* 4 */
    uint8_t  NtpEnable;         /* 56: 1 = on */
    uint8_t  reserved1[103];    /* 57 */
} KVNet_NTPSet_t;

/* Type 582: key ID and board ID, 32 bytes. */
typedef struct KVNet_KeyBoardID_t {
    uint32_t StructSize;        /* 0: 32 */
    uint32_t KeyID;             /* 4 */
    char     BoardID[16];       /* 8: UTF-8, NUL-padded, no terminator when full */
    uint8_t  Marker;            /* 24: 0xFF */
    uint8_t  reserved[7];       /* 25 */
} KVNet_KeyBoardID_t;

/* FieldMask bits of KVNet_KeyBackupSet_t. */
#define KVNET_KEYBACKUP_MAINBOARDNAME 0x01u
#define KVNET_KEYBACKUP_PRODUCTTYPE   0x08u
#define KVNET_KEYBACKUP_DEVICETYPE    0x10u
#define KVNET_KEYBACKUP_DEVICENAME    0x20u
#define KVNET_KEYBACKUP_CUSTOMTYPE    0x40u
#define KVNET_KEYBACKUP_FUNCTIONCODE  0x80u

/* Type 700: factory information, 1032 bytes; bytes not written are zero. */
typedef struct KVNet_KeyBackupSet_t {
    uint32_t StructSize;        /* 0: 1032 */
    uint32_t FieldMask;         /* 4 */
    uint8_t  reserved0[8];      /* 8 */
    char     MainBoardName[56]; /* 16 */
    char     ProductType[64];   /* 72 */
    char     DeviceType[32];    /* 136: at most 31 bytes of text */
    char     DeviceName[32];    /* 168: at most 31 bytes of text */
    char     CustomType[32];    /* 200 */
    int64_t  FunctionCode;      /* 232 */
    uint8_t  reserved1[792];    /* 240 */
} KVNet_KeyBackupSet_t;

/* A configuration backup: this 40-byte head followed by DataLen bytes of data. */
typedef struct KVNetBackupRecord {
    uint32_t StructSize;        /* 0: 40 + DataLen (the import sets it so) */
    uint32_t DataLen;           /* 4 */
    char     szName[32];        /* 8: backup file name without its extension */
    /* 40: the configuration data follows */
} KVNetBackupRecord;
#define KVNET_BACKUP_HEAD_SIZE 40u
#define KVNET_BACKUP_TOOL_DATA 393216u  /* the tool's import buffer holds this much data */

/* ---- Records of the calls ---- */

typedef void (*KVNetParamCallback)(void* item, void* user);

typedef struct KVNetQueryParamParam {
    uint32_t           nParamType;    /* sent as the MsgSubType */
    const void*        pReqData;      /* blob beginning with its own u32 length, or null */
    uint32_t           nStructSize;   /* S */
    KVNetParamCallback structCallback;
    uint32_t           nElemSize;     /* E */
    KVNetParamCallback elemCallback;
    void*              pUser;
    uint32_t           nTimeoutMs;    /* 0 = 25000 */
} KVNetQueryParamParam;

typedef struct KVNetQueryTemporaryParamParam {
    uint16_t           MsgType;
    uint16_t           MsgSubType;
    const void*        pReqData;      /* sent unchanged, or null */
    void*              pDest;         /* destination, or null */
    uint32_t           nReqSize;
    uint32_t           nStructSize;   /* S; with a destination and another subtype than 0,
                                         S = 0 is refused (the reply's size is the device's) */
    KVNetParamCallback structCallback;
    uint32_t           nElemSize;     /* E */
    KVNetParamCallback elemCallback;
    void*              pUser;
} KVNetQueryTemporaryParamParam;

typedef struct KVNetSetParamExParam {
    uint16_t    MsgType;
    uint16_t    MsgSubType;
    const void* pData;
    uint32_t    nDataSize;
    const void* pList;
    uint32_t    nListCount;
    uint8_t     bWrap;               /* non-zero: body = structure + list framing */
} KVNetSetParamExParam;

typedef void (*KVNetJsonCallback)(const void* data, unsigned size, void* user);
typedef void (*KVNetJsonSetCallback)(int ok, const void* data, unsigned size, void* user);

typedef struct KVNetParamJsonParam {
    uint16_t          MsgType;
    const void*       pData;         /* the JSON text, sent unchanged */
    uint32_t          nDataSize;
    KVNetJsonCallback callback;      /* the query's; not used by the set */
    void*             pUser;
} KVNetParamJsonParam;

typedef struct KVNetAsyncParamJsonParam {
    uint16_t    MsgType;
    const void* pData;
    uint32_t    nDataSize;
    union {
        KVNetJsonCallback    query;  /* KVNetAsyncStartQueryParamJson */
        KVNetJsonSetCallback set;    /* KVNetAsyncStartSetParamJson */
    } callback;
    void*       pUser;
    uint8_t     bSingleReply;        /* non-zero: the entry ends with the first reply */
} KVNetAsyncParamJsonParam;

typedef void (*KVNetRemoteTestCallback)(unsigned short type, void* data, unsigned size, void* user);

typedef struct KVNetRemoteTestParam {
    uint16_t                MsgType;  /* 723: parameter passthrough */
    const void*             pData;
    uint32_t                nDataSize; /* not used by the passthrough */
    void*                   pUser;
    KVNetRemoteTestCallback callback;
} KVNetRemoteTestParam;

/* The same remote test with the reply's AckFlag passed on (0: the device carried the
 * command out); on close-down type and ack are both 0xFFFF. */
typedef void (*KVNetRemoteTestAckCallback)(unsigned short type, unsigned short ack, void* data,
                                           unsigned size, void* user);

typedef struct KVNetRemoteTestAckParam {
    uint16_t                   MsgType;
    const void*                pData;
    uint32_t                   nDataSize;
    void*                      pUser;
    KVNetRemoteTestAckCallback callback;
} KVNetRemoteTestAckParam;

typedef struct KVNetSimpleCmdParam {
    uint16_t    MsgType;
    uint16_t    MsgSubType;
    const void* pBlob;               /* begins with its own u32 length, or null */
} KVNetSimpleCmdParam;

typedef struct KVNetReqControlParam {
    uint16_t    MsgType;
    uint16_t    MsgSubType;
    const void* pReqData;
    uint32_t    nReqSize;
    void*       pRsp;
    uint32_t    nRspSize;
    uint32_t    nTimeoutMs;          /* 0 = 25000 */
} KVNetReqControlParam;

typedef struct KVNetQueryLogParam {
    const void*       pQuery;        /* 24-byte query record, sent unchanged */
    void*             pUser;
    KVNetJsonCallback callback;      /* runs on the caller's thread */
} KVNetQueryLogParam;

typedef void (*KVNetExportBackupCallback)(void* record, unsigned size, void* user);

typedef struct KVNetExportBackupParam {
    void*                     pUser;
    KVNetExportBackupCallback callback; /* record valid only during the call */
} KVNetExportBackupParam;

/* ---- Calls ---- */

int KVNetQueryParam(DevConnection* handle, const KVNetQueryParamParam* param);
int KVNetQueryDefaultParam(DevConnection* handle, const KVNetQueryParamParam* param, int msgType);
int KVNetQueryParamEx(DevConnection* handle, const KVNetQueryParamParamEx* param);
int KVNetQueryDefaultParamEx(DevConnection* handle, const KVNetQueryParamParamEx* param, int msgType);
int KVNetQueryTemporaryParam(DevConnection* handle, const KVNetQueryTemporaryParamParam* param);
int KVNetSetParam(DevConnection* handle, const KVNetSetParamParam* param);
int KVNetSetParamEx(DevConnection* handle, const KVNetSetParamExParam* param);
int KVNetQueryParamJson(DevConnection* handle, const KVNetParamJsonParam* param);
int KVNetSetParamJson(DevConnection* handle, const KVNetParamJsonParam* param);
unsigned KVNetAsyncStartQueryParamJson(DevConnection* handle, const KVNetAsyncParamJsonParam* param);
unsigned KVNetAsyncStartSetParamJson(DevConnection* handle, const KVNetAsyncParamJsonParam* param);
void KVNetAsyncStopQueryParamJson(DevConnection* handle, unsigned seq);
void KVNetAsyncStopSetParamJson(DevConnection* handle, unsigned seq);

int KVNetPTZControl(DevConnection* handle, int command, void* block);
unsigned KVNetRemoteTest(DevConnection* handle, const KVNetRemoteTestParam* param);
unsigned KVNetRemoteTestEx(DevConnection* handle, const KVNetRemoteTestParam* param);
unsigned KVNetRemoteTestAck(DevConnection* handle, const KVNetRemoteTestAckParam* param);
int KVNetRemoteTestStopEx(DevConnection* handle, const KVNetRemoteTestParam* param, unsigned seq);
void KVNetSimpleCmd(DevConnection* handle, const KVNetSimpleCmdParam* param);
int KVNetReqControl(DevConnection* handle, const KVNetReqControlParam* param);
int KVNetQueryLog(DevConnection* handle, const KVNetQueryLogParam* param);

int KVNetExportBackupNew(DevConnection* handle, const KVNetExportBackupParam* param);
int KVNetRemoteParamImportNew(DevConnection* handle, const KVNetBackupRecord* record);
/* Placeholders: do nothing, return 0. */
int KVNetExportBackup(void);
int KVNetRemoteParamImport(void);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(KVNet_SoftVersion_t) == 588, "");
static_assert(offsetof(KVNet_SoftVersion_t, szFirmwareVersion) == 153, "");
static_assert(sizeof(KVNet_UserParam_t) == 48, "");
static_assert(sizeof(UserAccountRecord) == 272, "");
static_assert(offsetof(UserAccountRecord, szPwdShort) == 8, "");
static_assert(offsetof(UserAccountRecord, szUserShort) == 16, "");
static_assert(offsetof(UserAccountRecord, bModified) == 34, "");
static_assert(offsetof(UserAccountRecord, szPwdLong) == 80, "");
static_assert(offsetof(UserAccountRecord, szUserLong) == 112, "");
static_assert(sizeof(KVNet_RestoreDefault_t) == 12, "");
static_assert(offsetof(KVNet_RestoreDefault_t, Display) == 4, "");
static_assert(offsetof(KVNet_RestoreDefault_t, Intel) == 11, "");
static_assert(sizeof(KVNet_NTPSet_t) == 160, "");
static_assert(offsetof(KVNet_NTPSet_t, NtpEnable) == 56, "");
static_assert(sizeof(KVNet_KeyBoardID_t) == 32, "");
static_assert(offsetof(KVNet_KeyBoardID_t, KeyID) == 4, "");
static_assert(offsetof(KVNet_KeyBoardID_t, BoardID) == 8, "");
static_assert(offsetof(KVNet_KeyBoardID_t, Marker) == 24, "");
static_assert(sizeof(KVNet_KeyBackupSet_t) == 1032, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, FieldMask) == 4, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, MainBoardName) == 16, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, ProductType) == 72, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, DeviceType) == 136, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, DeviceName) == 168, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, CustomType) == 200, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, FunctionCode) == 232, "");
static_assert(offsetof(KVNet_KeyBackupSet_t, reserved1) == 240, "");
static_assert(sizeof(KVNetBackupRecord) == KVNET_BACKUP_HEAD_SIZE, "");
static_assert(offsetof(KVNetBackupRecord, szName) == 8, "");
#endif

#endif
