// The flat calls of live preview and two-way audio, and the process's registry of streams by session.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "dev_dualtalk.h"
#include "dev_preview.h"
#include "kv_log.h"
#include "media_conn.h"

using kvmedia::PreviewClient;
using Stream = DevConnection::DevPreview;

namespace {
// Streams by session. Locked only briefly: never while a thread is joined, a callback
// runs or a client list is locked.
StaticMutex gRegMutex;
std::map<DevConnection*, std::vector<Stream*>>& Registry()
{
    static auto* r = new std::map<DevConnection*, std::vector<Stream*>>;
    return *r;
}

void Unregister(Stream* s)
{
    auto& reg = Registry();
    for (auto it = reg.begin(); it != reg.end(); ++it) {
        auto& v = it->second;
        auto f = std::find(v.begin(), v.end(), s);
        if (f == v.end())
            continue;
        v.erase(f);
        if (v.empty())
            reg.erase(it);
        return;
    }
}

// The stream leaves its session and goes. Its session may be gone already (ended by
// KVNetConnectionStop): then only the object is freed.
void Destroy(Stream* s)
{
    s->StopAndJoin();
    if (!s->Ended())
        s->Session()->DetachStream(s);
    delete s;
}
} // namespace

extern "C" {

KVNetPreviewHandle KVNetStartPreview(DevConnection* session, const KVNetPreviewParam* param)
{
    if (!session || !param)
        return nullptr;
    if (session->StreamsEnding())
        return nullptr;
    Stream* s = nullptr;
    bool created = false;
    {
        ScopedLock l(gRegMutex);
        for (Stream* x : Registry()[session]) {
            if (x->Matches(*param)) {
                s = x;
                break;
            }
        }
        if (s && s->OnOwnThread()) {
            // Joining from the stream's own callback would wait for itself.
            KV_LOG(gEnablePreviewStatus, "preview=%p start from its own callback refused\n", static_cast<void*>(s));
            return nullptr;
        }
        if (!s) {
            s = new Stream(session, *param);
            Registry()[session].push_back(s);
            created = true;
        }
        ++s->pending;
    }
    PreviewClient* c = nullptr;
    if (!created || session->AttachStream(s))
        c = s->AddClient(*param);
    bool destroy = false;
    {
        ScopedLock l(gRegMutex);
        --s->pending;
        if (!c && created && s->pending == 0) {
            s->closing = true;
            Unregister(s);
            destroy = true;
        }
    }
    if (destroy) {
        s->StopAndJoin();
        session->DetachStream(s);
        delete s;
        return nullptr;
    }
    if (!c)
        return nullptr;
    if (!created) {
        // A client joined an open stream: ask the device for a key frame.
        const MsgHeadWrap h = kvmedia::Head(*session, 87, 0, 8);
        session->SendOnMain(h, &c->param);
    }
    return &c->param;
}

void KVNetStopPreview(DevConnection* session, KVNetPreviewHandle* handle)
{
    (void)session; // the handle knows its stream, also once the session has gone
    if (!handle || !*handle)
        return;
    auto* c = reinterpret_cast<PreviewClient*>(*handle);
    Stream* s = c->stream;
    if (s->OnOwnThread()) {
        KV_LOG(gEnablePreviewStatus, "preview=%p stop from its own callback refused\n", static_cast<void*>(s));
        return;
    }
    *handle = nullptr;
    s->RemoveClient(c);
    bool last = false;
    {
        // The count is read here, not taken from RemoveClient: a start that was adding its
        // client meanwhile has either left pending above 0 or already added it.
        ScopedLock l(gRegMutex);
        if (s->ClientCount() == 0 && s->pending == 0 && !s->closing) {
            s->closing = true;
            Unregister(s);
            last = true;
        }
    }
    if (last)
        Destroy(s);
}

int64_t KVNetGetPreviewBitRate(DevConnection* session, KVNetPreviewHandle handle)
{
    if (!session || !handle)
        return 0;
    return reinterpret_cast<PreviewClient*>(handle)->stream->BitRate();
}

uint8_t KVNetForceIFrame(DevConnection* session, uint32_t channel, uint8_t streamType)
{
    if (!session || !session->IsLoggedIn())
        return 0;
    uint8_t body[12] = {};
    memcpy(body, &channel, 4);
    body[4] = streamType;
    const MsgHeadWrap h = kvmedia::Head(*session, 87, 0, sizeof body);
    return session->SendOnMain(h, body) ? 1 : 0;
}

} // extern "C"

// Two-way audio.

extern "C" {

DevDualtalk* KVNetStartDualtalk(DevConnection* session, const KVNetDualtalkParam* param)
{
    if (!session || !param || session->StreamsEnding())
        return nullptr;
    auto* t = new DevDualtalk(session, *param);
    if (!session->AttachStream(t)) {
        delete t;
        return nullptr;
    }
    if (!t->Start()) {
        t->StopAndJoin();
        session->DetachStream(t);
        delete t;
        return nullptr;
    }
    return t;
}

int KVNetSendDualtalkData(DevDualtalk* talk, const KVFrameHead* frame)
{
    if (!talk || !frame)
        return 0;
    return talk->Queue(frame) ? 1 : 0;
}

void KVNetStopDualtalk(DevDualtalk** talk)
{
    if (!talk || !*talk)
        return;
    DevDualtalk* t = *talk;
    if (t->OnOwnThread()) {
        // The stop waits for this very thread.
        KV_LOG(gEnableDualtalkStatus, "dualtalk=%p stop from its own callback refused\n", static_cast<void*>(t));
        return;
    }
    *talk = nullptr;
    t->StopAndJoin();
    if (!t->Ended())
        t->Session()->DetachStream(t);
    delete t;
}

} // extern "C"
