/* Records of the flat KVNet interface that other libraries (the ONVIF client, the tool)
 * take and fill as well. Layouts are fixed: they travel on the wire or are shared
 * with callers compiled separately, so sizes and offsets are pinned below. */
#ifndef KVNET_TYPES_H
#define KVNET_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One device as its search reply carries it: 448 bytes, texts NUL-terminated. */
typedef struct SearchDevRsp {
    char     szIP[52];          /* 0x000 device IPv4 address, dotted text */
    char     szMask[16];        /* 0x034 subnet mask */
    char     szGateway[16];     /* 0x044 gateway */
    char     szExtraAddr1[16];  /* 0x054 carried into the re-addressing request */
    char     szExtraAddr2[16];  /* 0x064 carried into the re-addressing request */
    uint32_t nMediaPort;        /* 0x074 TCP port of the device protocol */
    uint32_t nWebPort;          /* 0x078 HTTP port */
    uint32_t nNetMode;          /* 0x07C 0 DHCP, 2 fixed */
    char     szDevName[28];     /* 0x080 text shown in the search table */
    uint8_t  carry[8];          /* 0x09C carried unchanged into re-addressing */
    char     szVersion[40];     /* 0x0A4 */
    char     szDevType[36];     /* 0x0CC */
    char     szMac[36];         /* 0x0F0 "xx-xx-xx-xx-xx-xx": identity of the device */
    uint32_t nChannelCount;     /* 0x114 */
    uint8_t  reserved0[2];      /* 0x118 */
    char     szP2PID[38];       /* 0x11A */
    char     szDevType2[34];    /* 0x140 */
    int8_t   nChannelCount8;    /* 0x162 applies when > 0 */
    uint8_t  reserved1[93];     /* 0x163 */
} SearchDevRsp;

typedef void (*KVNetSearchDevCallback)(const SearchDevRsp* rsp, void* user);

typedef struct KVNetSearchDevParam {
    KVNetSearchDevCallback callback; /* null record marks the end of the search */
    void*   user;
    uint8_t variant;                 /* search variant byte, 0 = standard */
} KVNetSearchDevParam;

typedef void (*KVNetMsgCallback)(unsigned code, void* user);
typedef void (*KVNetDataCallback)(unsigned type, const void* data, unsigned size, void* user);

/* A connection request. */
typedef struct KVNetConnectionParam {
    const char*       szAddr;       /* address text or host; device ID for login types != 0 */
    uint32_t          nPort;        /* media (protocol) port; > 65535 refused */
    const char*       szUser;
    const char*       szPwd;
    uint64_t          reserved64;
    uint32_t          reserved32;
    void*             pUser;
    uint8_t           bAutoReconnect;
    KVNetDataCallback dataCallback;
    uint8_t           bAlarmReport;
    KVNetMsgCallback  msgCallback;
    int32_t           nLoginType;
    const char*       szIDServer;
    uint8_t           nLoginFlag;
    uint8_t           nLoginVariant;
} KVNetConnectionParam;

/* Parameter query into caller buffers. */
typedef struct KVNetQueryParamParamEx {
    uint32_t    nParamType;
    const void* pReqData;       /* blob beginning with its own u32 length, or null */
    void*       pStruct;
    uint32_t    nStructSize;
    void*       pList;
    uint32_t    nElemSize;
    uint32_t    nListCapacity;  /* elements */
    uint32_t    nTimeoutMs;     /* 0 = 25000 */
} KVNetQueryParamParamEx;

/* Parameter change. */
typedef struct KVNetSetParamParam {
    uint32_t    nParamType;
    const void* pStruct;        /* begins with its own u32 size, or null */
    const void* pList;          /* elements each beginning with their u32 size */
    uint32_t    nListCount;     /* 0 = no list */
    uint32_t    nTimeoutMs;     /* 0 = 25000 */
} KVNetSetParamParam;

/* Network base settings, parameter type 511. Addresses in network byte order. */
typedef struct KVNet_NetworkBaseSet_t {
    uint32_t StructSize;        /* 0 */
    uint8_t  IPAddr[4];         /* 4 */
    uint8_t  NetMask[4];        /* 8 */
    uint8_t  Gateway[4];        /* 12 */
    uint8_t  reserved0[4];      /* 16 */
    uint32_t HttpPort;          /* 20 */
    uint8_t  AddrMode;          /* 24: 0 DHCP, 2 static */
    uint8_t  reserved1[243];    /* 25 */
    uint8_t  DhcpFlag;          /* 268: 1 when the address comes from DHCP */
    uint8_t  reserved2[11];     /* 269 */
} KVNet_NetworkBaseSet_t;

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(SearchDevRsp) == 448, "SearchDevRsp is 448 bytes on the wire");
static_assert(offsetof(SearchDevRsp, szMask) == 0x034, "");
static_assert(offsetof(SearchDevRsp, szExtraAddr2) == 0x064, "");
static_assert(offsetof(SearchDevRsp, nMediaPort) == 0x074, "");
static_assert(offsetof(SearchDevRsp, szDevName) == 0x080, "");
static_assert(offsetof(SearchDevRsp, carry) == 0x09C, "");
static_assert(offsetof(SearchDevRsp, szVersion) == 0x0A4, "");
static_assert(offsetof(SearchDevRsp, szDevType) == 0x0CC, "");
static_assert(offsetof(SearchDevRsp, szMac) == 0x0F0, "");
static_assert(offsetof(SearchDevRsp, nChannelCount) == 0x114, "");
static_assert(offsetof(SearchDevRsp, szP2PID) == 0x11A, "");
static_assert(offsetof(SearchDevRsp, szDevType2) == 0x140, "");
static_assert(offsetof(SearchDevRsp, nChannelCount8) == 0x162, "");
static_assert(sizeof(KVNetConnectionParam) == 112, "connection request is 112 bytes");
static_assert(sizeof(KVNet_NetworkBaseSet_t) == 280, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, HttpPort) == 20, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, AddrMode) == 24, "");
static_assert(offsetof(KVNet_NetworkBaseSet_t, DhcpFlag) == 268, "");
#endif

#endif /* KVNET_TYPES_H */
