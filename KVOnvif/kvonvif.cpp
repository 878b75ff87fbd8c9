/* The flat KVOnvif interface over the search and device classes. */
#include "KVOnvif.h"

#include <new>

#include "kvonvif_device.h"
#include "kvonvif_search.h"
#include "kvonvif_util.h"

using kvonvif::kvonvif_device;
using kvonvif::kvonvif_search_device;

extern "C" {

int KVOnvifInit(void) {
    kvonvif::seed_random_once();
    return 1;
}

void KVOnvifRelease(void) {}

KVOnvifSearchHandle KVOnvifSearchDevStart(const KVNetSearchDevParam* p) {
    if (!p || !p->callback) return nullptr;
    kvonvif_search_device* s = new (std::nothrow) kvonvif_search_device;
    if (!s) return nullptr;
    s->start(*p);
    return s;
}

void KVOnvifSearchDevStop(KVOnvifSearchHandle* h) {
    if (!h || !*h) return;
    kvonvif_search_device* s = static_cast<kvonvif_search_device*>(*h);
    s->stop();
    delete s;
    *h = nullptr;
}

int KVOnvifSetSeachTimeout(int, int, int) { return 0; }

KVOnvifHandle KVOnvifConnectionStart(const KVNetConnectionParam* p) {
    if (!p || !p->msgCallback || !p->szAddr || p->nPort == 0 || !p->szUser) return nullptr;
    kvonvif_device* d = new (std::nothrow) kvonvif_device;
    if (!d) return nullptr;
    d->start(*p);
    return d;
}

void KVOnvifConnectionStop(KVOnvifHandle* h) {
    if (!h || !*h) return;
    kvonvif_device* d = static_cast<kvonvif_device*>(*h);
    d->stop();
    delete d;
    *h = nullptr;
}

int KVOnvifQueryParamEx(KVOnvifHandle h, KVNetQueryParamParamEx* p) {
    if (!h || !p) return 0;
    return static_cast<kvonvif_device*>(h)->query_ex(p) ? 1 : 0;
}

int KVOnvifSetParam(KVOnvifHandle h, const KVNetSetParamParam* p) {
    if (!h || !p) return 0;
    return static_cast<kvonvif_device*>(h)->set(p) ? 1 : 0;
}

int KVOnvifStartPreview(KVOnvifHandle, void*) { return -1; }
void KVOnvifStopPreview(void*) {}
void KVOnvifReconnect(KVOnvifHandle) {}
int KVOnvifGetPresets(KVOnvifHandle, void*, int) { return 0; }
int KVOnvifPTZControl(KVOnvifHandle, int, int) { return 0; }
int KVOnvifQueryParam(KVOnvifHandle, void*) { return 0; }
int KVOnvifRemoteTest(KVOnvifHandle, int, void*, int) { return 0; }
int KVOnvifAsyncCapture(KVOnvifHandle, void*) { return 0; }
int KVOnvifAlarmSubscribe(KVOnvifHandle, void*) { return 0; }
int KVOnvifGetLocalTimeZone(KVOnvifHandle, void*) { return 0; }
int KVOnvifGetDevPages(KVOnvifHandle, void*) { return 0; }

} // extern "C"
