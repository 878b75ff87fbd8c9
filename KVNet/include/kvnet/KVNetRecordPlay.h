/* KVNet interface: remote playback and key-frame capture. Included by KVNet.h.
 *
 * A playback streams the recordings of one channel from a start time over a connection of
 * its own; the data callback's result paces the device (false asks for more). It waits for
 * its session's login, reopens after a lost connection from the last key frame received,
 * and reports codes 300 to 324 (KVNetMedia.h). Key-frame capture is the same object
 * fetching key frames only, without pacing. */
#ifndef KVNET_RECORD_PLAY_H
#define KVNET_RECORD_PLAY_H

#include "../KVNetTypes.h"
#include "kv_datetime.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
class DevConnection;
extern "C" {
#else
typedef struct DevConnection DevConnection;
#endif

/* frame null and size 0: no (more) data, or the key-frame run ended. */
typedef bool (*KVNetRecordDataCallback)(const KVFrameHead* frame, uint32_t size, void* user);

typedef struct KVNetRecordPlayParam {
    uint32_t                nChannel;
    uint32_t                nParam;        /* passed to the device in the opening */
    DateTime                start;         /* start and end: the time span of the requests */
    DateTime                end;
    KVNetRecordDataCallback dataCallback;  /* size counts head and payload */
    KVNetMsgCallback        msgCallback;
    void*                   pUser;
    void*                   pQuiet;        /* non-null: codes only while the playback stops */
    uint8_t                 reserved0[4];
    uint8_t                 nByte;         /* passed to the device in the opening */
    uint8_t                 nControl;      /* 1-9: that control after the opening; 20-26: backwards */
    uint8_t                 bAnnounce;     /* first a bare head describing the stream */
    uint8_t                 reserved1;
} KVNetRecordPlayParam;

typedef struct KVNetRecordPlayParamEx {
    KVNetRecordPlayParam base;
    uint8_t              reserved[16];
} KVNetRecordPlayParamEx;

typedef struct DevRecordPlay DevRecordPlay;

/* Null when an argument is null or the session is being stopped. */
DevRecordPlay* KVNetStartRecordPlay(DevConnection* session, const KVNetRecordPlayParam* param);
DevRecordPlay* KVNetStartRecordPlayEx(DevConnection* session, const KVNetRecordPlayParamEx* param);
DevRecordPlay* KVNetStartCaptureIFrame(DevConnection* session, const KVNetRecordPlayParam* param);
/* Stop, wait for the threads and for callers inside a reposition, free, clear the handle.
 * Refused from the playback's own callbacks. */
void KVNetStopRecordPlay(DevRecordPlay** play);
void KVNetStopCaptureIFrame(DevRecordPlay** play);

/* Playback only: ask for more data. Does nothing from inside the data callback (return
 * false there instead). 1 when the request was queued. */
int KVNetReqRecordData(DevRecordPlay* play);
/* Reposition to the span. Returns when the device confirmed it, the playback closed, or
 * after the bounded wait (15 s; the playback then reopens at the new span); at once when
 * it is not open (the next opening uses the span). 0 from the playback's own callbacks,
 * which would otherwise wait for themselves. After a confirmed reposition the frames are
 * held until the Replay call. */
int KVNetReposRecordData(DevRecordPlay* play, const DateTime span[2]);
int KVNetReposIFrameData(DevRecordPlay* play, const DateTime span[2]);
int KVNetReverseRecordData(DevRecordPlay* play, const DateTime span[2], uint32_t code); /* codes 20-26 */
void KVNetReplayRecordData(DevRecordPlay* play);
void KVNetReplayIFrameData(DevRecordPlay* play);
/* Queue a control code; 1 when queued (only while the playback is open). */
int KVNetReqRecordPlayCtrol(DevRecordPlay* play, uint32_t code);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KVNET_RECORD_PLAY_H */
