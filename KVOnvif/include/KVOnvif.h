/* The flat interface of the ONVIF client.
 *
 * It takes and fills the device protocol client's records, so that devices found by
 * WS-Discovery are handled like those of the maker's own search. Calls return 1 on
 * success and 0 on failure; the search delivers its records and then one call with a
 * null record, on the search's own thread. Diagnostics go to standard output. */
#ifndef KVONVIF_H
#define KVONVIF_H

#include "KVNetTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* KVOnvifSearchHandle;
typedef void* KVOnvifHandle;

/* Returns 1; the client keeps no global state. */
int KVOnvifInit(void);
void KVOnvifRelease(void);

/* Sends one WS-Discovery Probe and collects the answers on a thread of its own; the
 * records and then a null record reach p->callback on that thread. Null callback:
 * returns null and sends nothing. */
KVOnvifSearchHandle KVOnvifSearchDevStart(const KVNetSearchDevParam* p);
/* Ends the search early if it still listens, waits until its last callback has
 * returned, frees it and clears *h. Null address or handle: nothing. Since it waits for
 * the callbacks, it must not be called from the search's own callback. */
void KVOnvifSearchDevStop(KVOnvifSearchHandle* h);
/* Returns 0; the search keeps its fixed time-outs. */
int KVOnvifSetSeachTimeout(int a, int b, int c);

/* Records address, port and credentials and reports code 101 through msgCallback on a
 * thread of its own; nothing is sent to the device. Needs msgCallback, szAddr, szUser and
 * a non-zero port (null password means empty). */
KVOnvifHandle KVOnvifConnectionStart(const KVNetConnectionParam* p);
/* Waits for the status callback; not to be called from that callback. */
void KVOnvifConnectionStop(KVOnvifHandle* h);
/* Parameter type 511 (KVNet_NetworkBaseSet_t) only; blocks the caller for the requests. */
int KVOnvifQueryParamEx(KVOnvifHandle h, KVNetQueryParamParamEx* p);
int KVOnvifSetParam(KVOnvifHandle h, const KVNetSetParamParam* p);

/* Present for interface compatibility; they do nothing. */
int  KVOnvifStartPreview(KVOnvifHandle h, void* param);
void KVOnvifStopPreview(void* preview);
void KVOnvifReconnect(KVOnvifHandle h);
int  KVOnvifGetPresets(KVOnvifHandle h, void* presets, int count);
int  KVOnvifPTZControl(KVOnvifHandle h, int cmd, int param);
int  KVOnvifQueryParam(KVOnvifHandle h, void* param);
int  KVOnvifRemoteTest(KVOnvifHandle h, int type, void* data, int size);
int  KVOnvifAsyncCapture(KVOnvifHandle h, void* param);
int  KVOnvifAlarmSubscribe(KVOnvifHandle h, void* param);
int  KVOnvifGetLocalTimeZone(KVOnvifHandle h, void* out);
int  KVOnvifGetDevPages(KVOnvifHandle h, void* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KVONVIF_H */
