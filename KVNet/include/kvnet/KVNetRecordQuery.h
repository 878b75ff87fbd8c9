/* KVNet interface: record queries. Which recordings (or stored pictures) a device holds:
 * the files of a time span, or the days of a month that have recordings. Included by
 * KVNet.h.
 *
 * Synchronous calls wait up to 20 s on the caller's thread and deliver the items there
 * before they return: 1 = answered and delivered, 2 = refused for lack of rights
 * (AckFlag 50; KVNetNewQueryRecordEx gives 0 then), 0 = anything else.
 * Asynchronous calls return the request's sequence number (never 0), 0 on failure; the
 * items arrive on the session's connection task with the session's request table locked,
 * so such a callback must not start or stop asynchronous requests of the same session.
 * A stop removes the request: a later answer is dropped.
 *
 * Item deliveries:
 *   - one by one: each item, then one call with a null item that ends the list. Items
 *     reach the callback at the interface's size (28, 48 or 12 bytes) whatever size the
 *     device uses: a shorter device item is zero-extended, a longer one is handed in place
 *     (bytes beyond the interface's size are the device's); StructSize then reads as the
 *     interface's size.
 *   - whole array (day query kinds 3 and 4, the month-array callback): callback(items or
 *     null, count, user) once, count = answer bytes / the first item's StructSize. The
 *     array keeps the device's stride: step through it by the first item's StructSize,
 *     which may differ from sizeof(RecordDetailRsp) / sizeof(NewRecordDetailRsp).
 * Item and array callbacks run only when both the callback and the user pointer are set.
 * On AckFlag 50 the no-right callback, when given, runs first with a 256-byte block
 * whose first byte is 1 (2 when the session closes with the request pending). */
#ifndef KVNET_RECORD_QUERY_H
#define KVNET_RECORD_QUERY_H

#include "../KVNetTypes.h"
#include "kv_datetime.h"

#ifdef __cplusplus
class DevConnection;
extern "C" {
#else
typedef struct DevConnection DevConnection;
#endif

/* Subtypes of the record query messages. */
#define KVNET_RECORD_FILES        101u
#define KVNET_RECORD_MONTH        102u
#define KVNET_RECORD_PICTURES     104u
#define KVNET_RECORD_DEL_PICTURES 105u

/* The 136-byte body of every record query. Selections A to F are the device's; the
 * client passes them through. */
typedef struct RecordQueryReq {
    uint32_t SelA;              /* 0 */
    DateTime Start;             /* 4 */
    DateTime End;               /* 12 */
    uint32_t SelB;              /* 20 */
    uint32_t SelC[7];           /* 24: month query only; zero otherwise */
    uint32_t reserved0;         /* 52: zero */
    uint8_t  ByteD;             /* 56 */
    uint8_t  ByteE;             /* 57 */
    uint8_t  reserved1[6];      /* 58: zero */
    uint8_t  SelF[72];          /* 64 */
} RecordQueryReq;

/* One recording. */
typedef struct RecordDetailRsp {
    uint32_t StructSize;        /* 0: 28 */
    DateTime Start;             /* 4 */
    DateTime End;               /* 12 */
    uint32_t Attributes;        /* 20: the device's */
    uint32_t Size;              /* 24: bytes of the recording */
} RecordDetailRsp;

/* One recording with the device's further attributes. */
typedef struct NewRecordDetailRsp {
    uint32_t StructSize;        /* 0: 48 */
    DateTime Start;             /* 4 */
    DateTime End;               /* 12 */
    uint32_t Attributes;        /* 20 */
    uint32_t Size;              /* 24 */
    uint8_t  More[20];          /* 28: the device's */
} NewRecordDetailRsp;

/* The recorded days of a month (the 8 bytes are the device's). */
typedef struct MonthRecordRsp {
    uint32_t StructSize;        /* 0: 12 */
    uint8_t  Days[8];           /* 4 */
} MonthRecordRsp;

/* void(item or null, user): one item; null ends the list. */
typedef void (*KVNetRecordItemCallback)(void* item, void* user);
/* void(items or null, count, user): the whole array at the device's stride. */
typedef void (*KVNetRecordArrayCallback)(void* items, unsigned count, void* user);
/* Subtype 105: (the answer's AckFlag, the answer's body); no user pointer. */
typedef void (*KVNetRecordDeleteCallback)(unsigned ack, const void* body);
/* AckFlag 50: a 256-byte block, first byte 1, and the user pointer. */
typedef void (*KVNetRecordNoRightCallback)(void* block, void* user);

typedef struct KVNetQueryRecordParam {
    uint32_t                nSubType;     /* 0: 101 files, 102 days of a month (104, 105) */
    RecordQueryReq          req;          /* 4: sent unchanged */
    uint8_t                 reserved[4];  /* 140 */
    KVNetRecordItemCallback fileCallback; /* 144: RecordDetailRsp items */
    union {                               /* 152 */
        KVNetRecordItemCallback   month;  /* MonthRecordRsp items */
        KVNetRecordDeleteCallback del;    /* subtype 105 (asynchronous form) */
    } second;
    void*                   pUser;        /* 160 */
} KVNetQueryRecordParam;

typedef struct KVNetQueryRecordExParam {
    KVNetQueryRecordParam      base;      /* 0 */
    uint8_t                    byteD;     /* 168: replaces byte D of the body */
    uint8_t                    reserved[7];
    KVNetRecordNoRightCallback noRight;   /* 176: asynchronous form only */
} KVNetQueryRecordExParam;

typedef struct KVNetQueryRecordFileByMonthParam {
    uint32_t                   SelA;      /* 0 */
    uint32_t                   SelC[7];   /* 4 */
    uint32_t                   SelB;      /* 32 */
    uint8_t                    ByteD;     /* 36 */
    uint8_t                    reserved0[6];
    uint8_t                    ByteE;     /* 43 */
    uint8_t                    SelF[72];  /* 44 */
    DateTime                   Start;     /* 116 */
    DateTime                   End;       /* 124 */
    uint8_t                    reserved1[4];
    KVNetRecordItemCallback    monthCallback; /* 136: MonthRecordRsp items */
    void*                      pUser;     /* 144 */
    /* Asynchronous form only. It needs monthCallback or monthArray (monthCallback wins). */
    KVNetRecordArrayCallback   monthArray; /* 152 */
    KVNetRecordNoRightCallback noRight;   /* 160 */
} KVNetQueryRecordFileByMonthParam;

/* Item kinds of the day query: 1 = RecordDetailRsp one by one (MsgType 111),
 * 2 = NewRecordDetailRsp one by one (112), 3 = the array of 111, 4 = the array of 112;
 * the synchronous form takes 1 and 2 only. */
typedef struct KVNetQueryRecordFileByDayParam {
    uint32_t                   SelA;      /* 0 */
    uint32_t                   SelB;      /* 4 */
    uint8_t                    ByteD;     /* 8 */
    uint8_t                    reserved0[6];
    uint8_t                    ByteE;     /* 15 */
    uint8_t                    SelF[72];  /* 16 */
    DateTime                   Start;     /* 88 */
    DateTime                   End;       /* 96 */
    uint32_t                   nItemKind; /* 104 */
    uint8_t                    reserved1[4];
    union {                               /* 112 */
        KVNetRecordItemCallback  item;    /* kinds 1 and 2 */
        KVNetRecordArrayCallback array;   /* kinds 3 and 4 */
    } callback;
    void*                      pUser;     /* 120 */
    KVNetRecordNoRightCallback noRight;   /* 128: asynchronous form only */
} KVNetQueryRecordFileByDayParam;

int KVNetQueryRecord(DevConnection* handle, const KVNetQueryRecordParam* param);
int KVNetQueryRecordEx(DevConnection* handle, const KVNetQueryRecordExParam* param);
int KVNetNewQueryRecordEx(DevConnection* handle, const KVNetQueryRecordExParam* param);
int KVNetSyncQueryRecordFileByMonth(DevConnection* handle, const KVNetQueryRecordFileByMonthParam* param);
int KVNetSyncQueryRecordFileByDay(DevConnection* handle, const KVNetQueryRecordFileByDayParam* param);

unsigned KVNetAsyncQueryRecord(DevConnection* handle, const KVNetQueryRecordParam* param);
unsigned KVNetAsyncQueryRecordEx(DevConnection* handle, const KVNetQueryRecordExParam* param);
unsigned KVNetAsyncQueryRecordFileByMonth(DevConnection* handle, const KVNetQueryRecordFileByMonthParam* param);
unsigned KVNetAsyncQueryRecordFileByDay(DevConnection* handle, const KVNetQueryRecordFileByDayParam* param);
/* Nothing when the handle is null or the request number is 0. */
void KVNetAsyncQueryRecordStop(DevConnection* handle, unsigned request);
void KVNetAsyncQueryRecordFileStop(DevConnection* handle, unsigned request);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(RecordQueryReq) == 136, "");
static_assert(offsetof(RecordQueryReq, Start) == 4, "");
static_assert(offsetof(RecordQueryReq, End) == 12, "");
static_assert(offsetof(RecordQueryReq, SelB) == 20, "");
static_assert(offsetof(RecordQueryReq, SelC) == 24, "");
static_assert(offsetof(RecordQueryReq, reserved0) == 52, "");
static_assert(offsetof(RecordQueryReq, ByteD) == 56, "");
static_assert(offsetof(RecordQueryReq, ByteE) == 57, "");
static_assert(offsetof(RecordQueryReq, SelF) == 64, "");
static_assert(sizeof(RecordDetailRsp) == 28, "");
static_assert(offsetof(RecordDetailRsp, Start) == 4, "");
static_assert(offsetof(RecordDetailRsp, End) == 12, "");
static_assert(offsetof(RecordDetailRsp, Attributes) == 20, "");
static_assert(offsetof(RecordDetailRsp, Size) == 24, "");
static_assert(sizeof(NewRecordDetailRsp) == 48, "");
static_assert(offsetof(NewRecordDetailRsp, More) == 28, "");
static_assert(sizeof(MonthRecordRsp) == 12, "");
static_assert(offsetof(MonthRecordRsp, Days) == 4, "");
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* The records with callbacks, as callers built for 64-bit Linux lay them out. */
static_assert(offsetof(KVNetQueryRecordParam, req) == 4, "");
static_assert(offsetof(KVNetQueryRecordParam, fileCallback) == 144, "");
static_assert(offsetof(KVNetQueryRecordParam, second) == 152, "");
static_assert(offsetof(KVNetQueryRecordParam, pUser) == 160, "");
static_assert(sizeof(KVNetQueryRecordParam) == 168, "");
static_assert(offsetof(KVNetQueryRecordExParam, byteD) == 168, "");
static_assert(offsetof(KVNetQueryRecordExParam, noRight) == 176, "");
static_assert(sizeof(KVNetQueryRecordExParam) == 184, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, SelC) == 4, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, SelB) == 32, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, ByteD) == 36, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, ByteE) == 43, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, SelF) == 44, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, Start) == 116, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, End) == 124, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, monthCallback) == 136, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, pUser) == 144, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, monthArray) == 152, "");
static_assert(offsetof(KVNetQueryRecordFileByMonthParam, noRight) == 160, "");
static_assert(sizeof(KVNetQueryRecordFileByMonthParam) == 168, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, SelB) == 4, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, ByteD) == 8, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, ByteE) == 15, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, SelF) == 16, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, Start) == 88, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, End) == 96, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, nItemKind) == 104, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, callback) == 112, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, pUser) == 120, "");
static_assert(offsetof(KVNetQueryRecordFileByDayParam, noRight) == 128, "");
static_assert(sizeof(KVNetQueryRecordFileByDayParam) == 136, "");
#endif
#endif

#endif
