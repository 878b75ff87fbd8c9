/* KVNet interface: still pictures (snapshots, the picture stream, stored pictures,
 * thumbnails), the timing request and the two alarm streams. Included by KVNet.h.
 *
 * Every object here opens its own connection to the session's device and runs on its
 * own thread(s); its callbacks arrive there. Like the media objects it belongs to its
 * session: KVNetConnectionStop ends its work first (no callback follows), after which
 * its own Stop only frees it. A Stop waits for the object's threads; it is refused (with
 * nothing done) from one of the object's own callbacks.
 *
 * Pictures are written to a temporary name in the target folder and renamed once whole:
 * a file that exists at its final name is complete. */
#ifndef KVNET_STILLS_H
#define KVNET_STILLS_H

#include "../KVNetTypes.h"
#include "KVNetRecordQuery.h"

#ifdef __cplusplus
class DevConnection;
struct CAsyncDeviceCapture;
struct GetDevicePicture;
struct CThumbnailsConn;
struct CChannelThumbnailsConn;
struct CTimingConn;
struct CAlarmRequestInfo;
struct CAlarmParamInfo;
extern "C" {
#else
typedef struct DevConnection DevConnection;
typedef struct CAsyncDeviceCapture CAsyncDeviceCapture;
typedef struct GetDevicePicture GetDevicePicture;
typedef struct CThumbnailsConn CThumbnailsConn;
typedef struct CChannelThumbnailsConn CChannelThumbnailsConn;
typedef struct CTimingConn CTimingConn;
typedef struct CAlarmRequestInfo CAlarmRequestInfo;
typedef struct CAlarmParamInfo CAlarmParamInfo;
#endif

/* The largest picture accepted from a device (bytes). */
#define KVNET_PICTURE_MAX 0x1000000u

/* Snapshot of a channel into a file. */
typedef struct KVNetCaptureParam {
    uint32_t nChannel;
    uint8_t  reserved0[12];
    char     szPath[260];   /* the output file */
    uint8_t  devParam[8];   /* passed to the device */
    uint8_t  reserved1[4];
} KVNetCaptureParam;

/* 1 when the picture arrived whole and is at szPath, 0 otherwise (no file then). Blocks
 * the caller up to the connect time plus 5 s to send and 15 s per receive. */
uint8_t KVNetCapture(DevConnection* session, const KVNetCaptureParam* param);
/* One attempt on a thread of its own; the result is the file (complete, or none). Null
 * for a null argument. */
CAsyncDeviceCapture* KVNetAsyncCapture(DevConnection* session, const KVNetCaptureParam* param);
void KVNetStopCapture(CAsyncDeviceCapture** handle);

/* The picture stream. */
typedef struct PictureInfo {
    const uint8_t* pData;      /* the frame's payload */
    uint32_t       nSize;      /* FrameSize */
    uint32_t       nPicType;   /* 5 when the frame's EncodeType is 5, else 1 */
    uint64_t       nFrameTime;
    uint8_t        reserved[64];
} PictureInfo;

typedef void (*KVNetPictureCallback)(const PictureInfo* info, void* user);

typedef struct KVNetGetPictureParam {
    const void*          pReq;        /* begins with its own u32 size: 36..64 bytes */
    KVNetPictureCallback picCallback;
    KVNetMsgCallback     msgCallback; /* 300 at the end; 309, 301, 306-311, 323 */
    void*                pUser;
} KVNetGetPictureParam;

/* Null for a null argument or a request size outside 36..64 (the session id goes to
 * offset 32). Up to three attempts. */
GetDevicePicture* KVNetStartGetPicture(DevConnection* session, const KVNetGetPictureParam* param);
void KVNetStopGetPicture(GetDevicePicture** handle);

/* Stored pictures through the asynchronous record queries: subtype 104 lists them
 * (fileCallback, RecordDetailRsp items then null), 105 deletes them (second.del gets the
 * answer's AckFlag and body); other subtypes deliver nothing. The request number or 0. */
unsigned KVNetQueryOrDelPicture(DevConnection* session, const KVNetQueryRecordParam* param);
void KVNetQueryOrDelPictureStop(DevConnection* session, unsigned request);

/* Thumbnails. */
typedef struct ThumbnailRsp {
    uint32_t StructSize;
    uint32_t FrameSize;     /* the picture frame that follows, head included; 0: none */
    uint8_t  PicFormat;     /* 1 JPEG, 2 PNG */
    uint8_t  More[103];     /* the device's */
} ThumbnailRsp;

typedef struct ChannelThumbnailRsp {
    uint32_t StructSize;
    uint8_t  Dev0[8];
    uint32_t picSize;       /* the picture frame that follows, head included; 0: none */
    uint8_t  Dev1;
    uint8_t  PicFormat;     /* 2 PNG, other values JPEG */
    uint8_t  More[22];
} ChannelThumbnailRsp;

typedef struct SnapPicForP2PReq {
    uint32_t structSize;
    uint8_t  dev[52];
} SnapPicForP2PReq;

/* Result codes of a thumbnail. */
enum {
    KVNetThumbBadFormat = 1,  /* playback: a format other than JPEG and PNG, nothing written */
    KVNetThumbFileFail = 2,   /* the file could not be made, or the device's answer was faulty */
    KVNetThumbNoPicture = 3,
    KVNetThumbJpg = 5,
    KVNetThumbPng = 6
};

typedef struct ThumbnailResult {
    const ThumbnailRsp* pRsp;
    const KVFrameHead*  pFrame;  /* head and payload; a zeroed head without a picture */
    uint32_t            nResult;
    const char*         szFile;  /* results 5 and 6 */
} ThumbnailResult;

typedef struct ChannelThumbnailResult {
    const ChannelThumbnailRsp* pRsp;
    uint32_t                   nResult;
    const char*                szFile;
} ChannelThumbnailResult;

typedef void (*KVNetThumbnailCallback)(const ThumbnailResult* result, void* user);
typedef void (*KVNetChannelThumbnailCallback)(const ChannelThumbnailResult* result, void* user);

typedef struct KVNetThumbnailsParam {
    const void* pItems;       /* NewRecordDetailRsp (playback) or SnapPicForP2PReq (channels) */
    int32_t     nCount;       /* 1 or more */
    union {
        KVNetThumbnailCallback        playback;
        KVNetChannelThumbnailCallback channel;
    } callback;
    void*       pUser;        /* required for playback thumbnails */
    const char* szPath;       /* the folder (made when missing); at most 255 bytes */
    uint32_t    reserved;
} KVNetThumbnailsParam;

/* Each item is reported once with its result, in order, then one call with null. Null
 * when an argument is missing, an item's size is too large, the count is below 1 or the
 * folder path is too long or cannot be made. */
CThumbnailsConn* KVNetStartGetPlaybackThumbnails(DevConnection* session, const KVNetThumbnailsParam* param);
void KVNetStopGetPlaybackThumbnails(CThumbnailsConn** handle);
CChannelThumbnailsConn* KVNetStartGetChannelThumbnails(DevConnection* session, const KVNetThumbnailsParam* param);
void KVNetStopGetChannelThumbnails(CChannelThumbnailsConn** handle);

/* The timing request: exactly one callback, with the answer's body (at least 4 bytes,
 * and never fewer than its own leading u32 size up to 16 MiB: zero-extended) or with
 * null on refusal, silence or stop. */
typedef struct KVNetTimingParam {
    void (*callback)(const void* body, void* user);
    void*       pUser;
    const void* pReq;          /* begins with its own u32 size (4 bytes to 16 MiB) */
    uint8_t     reserved[8];
} KVNetTimingParam;

CTimingConn* KVNetStartTiming(DevConnection* session, const KVNetTimingParam* param);
void KVNetStopTiming(CTimingConn** handle);

/* The alarm stream: every alarm frame ('I', with a payload) as (payload, FrameSize, the
 * 8-byte format area, user). Reconnects until stopped. */
typedef struct KVNetAlarmRequestInfoParam {
    void (*alarmCallback)(const void* data, uint32_t size, const void* format, void* user);
    void* reserved;
    void* pUser;
} KVNetAlarmRequestInfoParam;

CAlarmRequestInfo* KVNetStartAlarmRequestInfo(DevConnection* session, const KVNetAlarmRequestInfoParam* param);
void KVNetStopAlarmRequestInfo(CAlarmRequestInfo** handle);

/* The alarm-parameter channel: JSON texts both ways, state 1 open, 2 closed. */
typedef struct KVNetAlarmParamInfoParam {
    void (*jsonCallback)(const void* text, uint32_t size, void* user);
    void (*stateCallback)(uint32_t state, void* user);
    void* pUser;
} KVNetAlarmParamInfoParam;

typedef struct KVNetAlarmParamJson {
    const char* param;
    int32_t     param_size;   /* 1 .. KVNET_ALARM_JSON_MAX */
} KVNetAlarmParamJson;

#define KVNET_ALARM_JSON_MAX 0x1000000

CAlarmParamInfo* KVNetStartAlarmParamInfo(DevConnection* session, const KVNetAlarmParamInfoParam* param);
/* 1 when queued; texts offered while the channel is closed are dropped (0). */
int KVNetSendAlarmParamJson(CAlarmParamInfo* handle, const KVNetAlarmParamJson* json);
void KVNetStopAlarmParamInfo(CAlarmParamInfo** handle);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(KVNetCaptureParam) == 288, "");
static_assert(sizeof(ThumbnailRsp) == 112, "");
static_assert(sizeof(ChannelThumbnailRsp) == 40, "");
static_assert(offsetof(ChannelThumbnailRsp, picSize) == 12, "");
static_assert(offsetof(ChannelThumbnailRsp, PicFormat) == 17, "");
static_assert(sizeof(SnapPicForP2PReq) == 56, "");
#endif

#endif /* KVNET_STILLS_H */
