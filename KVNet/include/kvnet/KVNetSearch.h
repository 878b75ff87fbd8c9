/* KVNet interface: search calls. Included by KVNet.h.
 *
 * The search finds devices by UDP to port 9333 without a session; the re-addressing
 * changes a found device's network settings the same way. Both need no KVNetInit. */
#ifndef KVNET_SEARCH_H
#define KVNET_SEARCH_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Range search: every address from szStartIP to szEndIP (inclusive) by unicast. */
typedef struct KVNetSearchDevPoint2PointParam {
    KVNetSearchDevCallback callback; /* null record marks the end of the search */
    void*   user;
    uint8_t variant;
    char    szStartIP[64];
    char    szEndIP[64];
} KVNetSearchDevPoint2PointParam;

/* The re-addressing request: 744 bytes, sent unchanged as the body of message type 13.
 * Addresses are four bytes in address order (first octet first); numbers little-endian. */
typedef struct KVNetSetNewDevInfoExParam {
    char     szToken[16];      /*   0 the device repeats it at the start of its reply */
    char     szUser[64];       /*  16 */
    char     szPwd[64];        /*  80 */
    uint8_t  CurIP[4];         /* 144 current address; unicast destination */
    uint8_t  NewIP[4];         /* 148 */
    uint8_t  NewMask[4];       /* 152 */
    uint8_t  NewGateway[4];    /* 156 */
    uint8_t  ExtraAddr1[4];    /* 160 from the search record's text at 0x054 */
    uint8_t  ExtraAddr2[4];    /* 164 from the search record's text at 0x064 */
    char     szMac[36];        /* 168 the device's MAC text from its search record */
    uint8_t  zero0[4];         /* 204 */
    uint8_t  carry[8];         /* 208 the search record's eight bytes at 0x09C */
    uint32_t nMediaPort;       /* 216 */
    uint32_t nWebPort;         /* 220 */
    uint8_t  nNetMode;         /* 224 0 DHCP, 2 fixed */
    uint8_t  nFlag;            /* 225 passed on (the tool sends 1) */
    uint8_t  nByte226;         /* 226 passed on (the tool sends 0) */
    uint8_t  bUnicast;         /* 227 non-zero: send to CurIP instead of broadcasting */
    uint8_t  zero1[516];       /* 228 */
} KVNetSetNewDevInfoExParam;

/* The legacy 116-byte body of message type 12, followed by four further bytes that
 * KVNetSetNewDevInfo copies after the MAC text of the 744-byte request. */
typedef struct KVNetSetNewDevInfoParam {
    char     szToken[16];      /*   0 */
    char     szUser[10];       /*  16 not terminated when it fills the field */
    char     szPwd[14];        /*  26 not terminated when it fills the field */
    uint8_t  CurIP[4];         /*  40 */
    uint8_t  NewIP[4];         /*  44 */
    uint8_t  NewMask[4];       /*  48 */
    uint8_t  NewGateway[4];    /*  52 */
    uint8_t  ExtraAddr1[4];    /*  56 */
    uint8_t  ExtraAddr2[4];    /*  60 */
    uint16_t nMediaPort;       /*  64 */
    uint16_t nWebPort;         /*  66 */
    uint8_t  nNetMode;         /*  68 */
    uint8_t  nFlag;            /*  69 */
    uint8_t  nByte226;         /*  70 */
    uint8_t  zero0;            /*  71 */
    uint8_t  carry[8];         /*  72 */
    char     szMac[36];        /*  80 */
    uint8_t  tail[4];          /* 116 not sent; lands at 204 of the 744-byte request */
} KVNetSetNewDevInfoParam;

/* Broadcast search: returns at once; the callback gets each distinct device (by MAC
 * text), then a null record, on a pool thread. A null param does nothing. */
void KVNetSearchDev(const KVNetSearchDevParam* param);
/* Range search in blocks of ten addresses; .0, .1 and .255 are skipped. */
void KVNetSearchDevPoint2Point(const KVNetSearchDevPoint2PointParam* param);

/* 1 when any device acknowledged (from any local address, either body form), else 0.
 * Blocks up to 4 s (broadcast) or 6 s (unicast). */
int KVNetSetNewDevInfoEx(const KVNetSetNewDevInfoExParam* p);
/* The legacy record widened to the 744-byte request; result as KVNetSetNewDevInfoEx. */
int KVNetSetNewDevInfo(const KVNetSetNewDevInfoParam* p);
/* Does nothing, returns 0. */
int KVNetSetDevInfo(void);

#ifdef __cplusplus
} /* extern "C" */

static_assert(offsetof(KVNetSearchDevPoint2PointParam, variant) == offsetof(KVNetSearchDevParam, variant),
              "the range request begins like the broadcast one");
static_assert(offsetof(KVNetSearchDevPoint2PointParam, szStartIP) == offsetof(KVNetSearchDevParam, variant) + 1, "");
static_assert(offsetof(KVNetSearchDevPoint2PointParam, szEndIP) == offsetof(KVNetSearchDevPoint2PointParam, szStartIP) + 64, "");
static_assert(sizeof(KVNetSetNewDevInfoExParam) == 744, "re-addressing request is 744 bytes");
static_assert(offsetof(KVNetSetNewDevInfoExParam, CurIP) == 144, "");
static_assert(offsetof(KVNetSetNewDevInfoExParam, szMac) == 168, "");
static_assert(offsetof(KVNetSetNewDevInfoExParam, carry) == 208, "");
static_assert(offsetof(KVNetSetNewDevInfoExParam, nMediaPort) == 216, "");
static_assert(offsetof(KVNetSetNewDevInfoExParam, nNetMode) == 224, "");
static_assert(offsetof(KVNetSetNewDevInfoExParam, bUnicast) == 227, "");
static_assert(sizeof(KVNetSetNewDevInfoParam) == 120, "legacy record is 116 bytes + 4");
static_assert(offsetof(KVNetSetNewDevInfoParam, szPwd) == 26, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, CurIP) == 40, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, nMediaPort) == 64, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, nNetMode) == 68, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, carry) == 72, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, szMac) == 80, "");
static_assert(offsetof(KVNetSetNewDevInfoParam, tail) == 116, "");
#endif

#endif
