/* KVNet interface: media streams (live preview, two-way audio). Included by KVNet.h.
 *
 * Every media object opens its own connection to the session's device and runs on its own
 * threads; codes and frames arrive there. A media object belongs to its session:
 * KVNetConnectionStop first ends the work of every media object of the session (no callback
 * follows), after which the object's own Stop only frees it. */
#ifndef KVNET_MEDIA_H
#define KVNET_MEDIA_H

#include "../KVNetTypes.h"

#ifdef __cplusplus
class DevConnection;
extern "C" {
#else
typedef struct DevConnection DevConnection;
#endif

/* Codes of the media objects. */
enum {
    KVNetMsgPreviewWaitLogin = 200,
    KVNetMsgPreviewOpenStream = 201,
    KVNetMsgPreviewOpenStreamSuccess = 202,
    KVNetMsgPreviewOpenStreamFail = 203,
    KVNetMsgPreviewStreamClosed = 204,
    KVNetMsgPreviewMaxPrevNumErr = 208,
    KVNetMsgPreviewNetworkFrameArrive = 209,
    KVNetMsgDownloadRecordClosed = 290,
    KVNetMsgDownloadRecordOK = 291,
    KVNetMsgDownloadRecordNoFile = 292,
    KVNetMsgDownloadRecordFail = 293,
    KVNetMsgDownloadRecordStoreFail = 294,
    KVNetMsgDownloadRecordPercent = 295,
    KVNetMsgRecordPlayClosed = 300,
    KVNetMsgRecordPlayNoData = 301,
    KVNetMsgRecordPlayWaitLogin = 302,
    KVNetMsgRecordPlayOpenStream = 303,
    KVNetMsgRecordPlayOpenStreamSuccess = 304,
    KVNetMsgRecordPlayOpenStreamFail = 305,
    KVNetMsgRecordPlayDevicePlayback = 306,
    KVNetMsgRecordPlayHDDFormat = 307,
    KVNetMsgNoBandWidth = 308,
    KVNetMsgNoPreviewAuth = 309,
    KVNetMsgRecordPlayIFrameEnd = 309,
    KVNetMsgNoPlaybackAuth = 310,
    KVNetMsgIsModifyHdd = 311,
    KVNetMsgPreviewActivateFail = 323,
    KVNetMsgRecordPlayNetworkFrameArrive = 324,
    KVNetMsgDualtalkClosed = 350
};
#define KVNetEDualtalkBusy 0xE1010001u

typedef void (*KVNetFrameCallback)(const KVFrameHead* frame, uint32_t size, void* user);

/* A live preview request (copied by KVNetStartPreview). */
typedef struct KVNetPreviewParam {
    uint32_t           nChannel;
    uint8_t            nStreamType;
    uint8_t            nContent;
    uint8_t            nTimePos;
    uint8_t            reserved0;     /* sent with the key-frame request of a joining client */
    uint32_t           nProtocol;     /* 1 = UDP, anything else TCP */
    uint8_t            bAutoReconnect;
    KVNetFrameCallback dataCallback;  /* size counts head and payload */
    void*              pUser;
    void*              pQuiet;        /* non-null: this client gets no codes */
    void*              reserved1;
    KVNetMsgCallback   msgCallback;
} KVNetPreviewParam;

/* A preview handle: the client's own copy of its request. */
typedef KVNetPreviewParam* KVNetPreviewHandle;

/* Null when an argument is null, the session is being stopped or the stream could not
 * start. Identical requests share one stream of the device. */
KVNetPreviewHandle KVNetStartPreview(DevConnection* session, const KVNetPreviewParam* param);
/* Removes the client; the last one closes the stream and waits for its thread. Refused
 * (with a log line) from a callback of the same stream. Clears the handle. */
void KVNetStopPreview(DevConnection* session, KVNetPreviewHandle* handle);
/* Bits per second of the handle's stream since the previous call; 0 for a null argument. */
int64_t KVNetGetPreviewBitRate(DevConnection* session, KVNetPreviewHandle handle);
/* 1 when the key-frame request went out on the session's main connection. */
uint8_t KVNetForceIFrame(DevConnection* session, uint32_t channel, uint8_t streamType);

/* Two-way audio. The talk does not reconnect: once its connection ends (the device
 * closes it, a send fails, or plain talk hears nothing from the device for the 15 s receive
 * time-out) it reports 350 and stays idle until stopped. */
typedef struct KVNetDualtalkParam {
    KVNetFrameCallback dataCallback;
    void*              pUser;
    void*              pNoFallback;   /* non-null: codes never go to the session's callback */
    uint32_t           reserved0;
    uint8_t            bPassthrough;
    uint8_t            bPassthroughRecv;
    uint8_t            bAlternative;
    uint8_t            reserved1;
    uint32_t           nParam;        /* sent in the openings of the pass-through and alternative modes */
    uint8_t            reserved2[4];
    KVNetMsgCallback   msgCallback;
} KVNetDualtalkParam;

typedef struct DevDualtalk DevDualtalk;

/* Null when an argument is null or the session is being stopped. */
DevDualtalk* KVNetStartDualtalk(DevConnection* session, const KVNetDualtalkParam* param);
/* Queues a copy of the frame while the talk is active (at most 256 waiting); discarded
 * otherwise. 1 when queued. */
int KVNetSendDualtalkData(DevDualtalk* talk, const KVFrameHead* frame);
/* Stops, waits for both threads, frees, clears the handle; refused from the talk's own
 * callback. */
void KVNetStopDualtalk(DevDualtalk** talk);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KVNET_MEDIA_H */
