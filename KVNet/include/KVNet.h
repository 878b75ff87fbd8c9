/* The flat interface of the device protocol client.
 *
 * Conventions: query and set calls return 1 on success, 2 when the device refuses for
 * lack of rights and 0 on any other failure. Long-running work is a Start/Stop pair;
 * Stop takes the address of the handle and clears it. Callbacks of asynchronous work
 * arrive on the client's own threads. */
#ifndef KVNET_H
#define KVNET_H

#include "KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Log configuration handed to KVNetInitLog. */
typedef struct KVNetLogParam {
    char          szLogPath[256];
    unsigned char gEnableNetErr;
    unsigned char gEnableBroadcastStatus;
    unsigned char gEnableConnStatus;
    unsigned char gEnableLoginStatus;
    unsigned char gEnableMsgStatus;
    unsigned char gEnablePreviewStatus;
    unsigned char gEnableFrameData;
    unsigned char gEnableRecordPlayStatus;
    unsigned char gEnableDualtalkStatus;
    unsigned char gEnableDownloadRecordStatus;
    unsigned char gEnableRemoteUpgradeStatus;
    unsigned char gEnableRemoteParamImportStatus;
    unsigned char gEnableP2PStatus;
    unsigned char reserved[3];      /* not read by the client */
    const char*   szLogDirectory;   /* or null */
} KVNetLogParam;

/* Always returns 1. Reads the log configuration named by the environment variable
 * KVNET_LOG_CONFIG (an INI file, section "KVNetLogConig"); without it the log stays off. */
int KVNetInit(void);
/* Closes the log. Call after all client activity has ended. */
void KVNetRelease(void);
/* Non-zero: logins ask the device for scrambled messages (takes effect at the next login). */
void KVNetSetEncription(unsigned char flag);
/* The thread's errno when it carries any bit of 0xE1010000, else 0. */
unsigned int KVNetGetLastError(void);
/* Sets the log switches and opens the log; does nothing when p is null or a log is open. */
void KVNetInitLog(const KVNetLogParam* p);

/* P2P tunnel configuration. The Tavix path (at most 259 characters) is kept but read by
 * nothing; the 520-byte server record (first host 128 bytes, u32 port, second host 128
 * bytes, u32 port, the rest unread) is taken by the VERov tunnel when it first starts its
 * library. KVNetInit clears both. */
void KVNetInitTX2PPath(const char* path);
void KVNetInitP2PServerInfo(const void* info);
/* Does nothing. */
void KVNetP2PEnterBackgroundDestroy(void);
/* Placeholders: do nothing; the start returns null. */
void KVNetHttpReqDev(void);
void* KVNetHttpReqDevStart(void);
void KVNetHttpReqDevStop(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Areas of the interface, one header each. */
#include "kvnet/KVNetSearch.h"
#include "kvnet/KVNetSession.h"
#include "kvnet/KVNetParam.h"
#include "kvnet/KVNetUpgrade.h"
#include "kvnet/KVNetRecordQuery.h"
#include "kvnet/KVNetMedia.h"
#include "kvnet/KVNetDownload.h"
#include "kvnet/KVNetRecordPlay.h"

#endif /* KVNET_H */
