// The flat calls of still pictures, thumbnails, the timing request and the alarm streams.
#include <cstring>

#include "kv_log.h"
#include "stills.h"

namespace {

// Attaches the object to its session and starts its threads; frees it on failure.
template <class T>
T* Launch(DevConnection* s, T* w, int threads)
{
    if (!s->AttachStream(w)) {
        delete w;
        return nullptr;
    }
    if (!w->Launch(threads)) {
        w->StopAndJoin();
        s->DetachStream(w);
        delete w;
        return nullptr;
    }
    return w;
}

template <class T>
void Stop(T** handle, const char* what)
{
    if (!handle || !*handle)
        return;
    T* w = *handle;
    if (w->OnOwnThread()) {
        // The stop waits for this very thread.
        KV_LOG(gEnablePreviewStatus, "%s=%p stop from its own callback refused\n", what, static_cast<void*>(w));
        return;
    }
    *handle = nullptr;
    w->StopAndJoin();
    if (!w->Ended())
        w->Session()->DetachStream(w);
    delete w;
}

bool Usable(DevConnection* s)
{
    return s && !s->StreamsEnding();
}

// The items at the interface's stride, each cut to its own size field and zero-extended
// to the slot; empty when one declares more than the slot holds.
std::vector<uint8_t> CopyItems(const void* items, int32_t count, size_t slot)
{
    std::vector<uint8_t> out(static_cast<size_t>(count) * slot, 0);
    const auto* p = static_cast<const uint8_t*>(items);
    for (int32_t i = 0; i < count; ++i) {
        uint32_t size = 0;
        std::memcpy(&size, p + i * slot, 4);
        if (size > slot)
            return {};
        std::memcpy(out.data() + i * slot, p + i * slot, size < 4 ? 4 : size);
    }
    return out;
}

// The folder of a thumbnail start: given, not longer than 255 bytes, made.
bool Folder(const KVNetThumbnailsParam* p, std::string* out)
{
    if (!p->szPath)
        return false;
    const size_t n = strnlen(p->szPath, 256);
    if (n == 0 || n > 255 || !kvstills::MakeDirectoryPath(p->szPath))
        return false;
    out->assign(p->szPath, n);
    return true;
}

} // namespace

extern "C" {

uint8_t KVNetCapture(DevConnection* session, const KVNetCaptureParam* param)
{
    if (!Usable(session) || !param || !session->IsLoggedIn())
        return 0;
    // Attached while it runs, so a broken main connection or a session stop ends it.
    CAsyncDeviceCapture c(session, *param);
    if (!session->AttachStream(&c))
        return 0;
    const bool ok = c.RunOnce();
    if (!c.Ended())
        session->DetachStream(&c);
    return ok ? 1 : 0;
}

CAsyncDeviceCapture* KVNetAsyncCapture(DevConnection* session, const KVNetCaptureParam* param)
{
    if (!Usable(session) || !param)
        return nullptr;
    return Launch(session, new CAsyncDeviceCapture(session, *param), 1);
}

void KVNetStopCapture(CAsyncDeviceCapture** handle)
{
    Stop(handle, "capture");
}

GetDevicePicture* KVNetStartGetPicture(DevConnection* session, const KVNetGetPictureParam* param)
{
    if (!Usable(session) || !param || !param->pReq)
        return nullptr;
    uint32_t size = 0;
    std::memcpy(&size, param->pReq, 4);
    // The session id goes to offset 32; the device takes at most 64 bytes.
    if (size < 36 || size > 64)
        return nullptr;
    return Launch(session,
                  new GetDevicePicture(session, *param, static_cast<const uint8_t*>(param->pReq), size), 1);
}

void KVNetStopGetPicture(GetDevicePicture** handle)
{
    Stop(handle, "picture");
}

unsigned KVNetQueryOrDelPicture(DevConnection* session, const KVNetQueryRecordParam* param)
{
    if (!session || !param)
        return 0;
    KVNetQueryRecordParam p = *param;
    if (p.nSubType == KVNET_RECORD_PICTURES) {
        p.second.del = nullptr;
    } else if (p.nSubType == KVNET_RECORD_DEL_PICTURES) {
        p.fileCallback = nullptr;
    } else {
        p.fileCallback = nullptr;
        p.second.del = nullptr;
    }
    return KVNetAsyncQueryRecord(session, &p);
}

void KVNetQueryOrDelPictureStop(DevConnection* session, unsigned request)
{
    KVNetAsyncQueryRecordStop(session, request);
}

CThumbnailsConn* KVNetStartGetPlaybackThumbnails(DevConnection* session, const KVNetThumbnailsParam* param)
{
    if (!Usable(session) || !param || !param->pItems || param->nCount <= 0 || !param->callback.playback ||
        !param->pUser)
        return nullptr;
    std::vector<uint8_t> items = CopyItems(param->pItems, param->nCount, CThumbnailsConn::kItem);
    std::string folder;
    if (items.empty() || !Folder(param, &folder))
        return nullptr;
    return Launch(session, new CThumbnailsConn(session, *param, std::move(items), std::move(folder)), 2);
}

void KVNetStopGetPlaybackThumbnails(CThumbnailsConn** handle)
{
    Stop(handle, "thumbnails");
}

CChannelThumbnailsConn* KVNetStartGetChannelThumbnails(DevConnection* session, const KVNetThumbnailsParam* param)
{
    if (!Usable(session) || !param || !param->pItems || param->nCount <= 0 || !param->callback.channel)
        return nullptr;
    std::vector<uint8_t> items = CopyItems(param->pItems, param->nCount, CChannelThumbnailsConn::kItem);
    std::string folder;
    if (items.empty() || !Folder(param, &folder))
        return nullptr;
    return Launch(session, new CChannelThumbnailsConn(session, *param, std::move(items), std::move(folder)), 1);
}

void KVNetStopGetChannelThumbnails(CChannelThumbnailsConn** handle)
{
    Stop(handle, "channel thumbnails");
}

CTimingConn* KVNetStartTiming(DevConnection* session, const KVNetTimingParam* param)
{
    if (!Usable(session) || !param || !param->callback || !param->pReq)
        return nullptr;
    uint32_t size = 0;
    std::memcpy(&size, param->pReq, 4);
    if (size < 4 || size > kvmsg::kMaxBody)
        return nullptr;
    return Launch(session, new CTimingConn(session, *param, static_cast<const uint8_t*>(param->pReq), size), 1);
}

void KVNetStopTiming(CTimingConn** handle)
{
    Stop(handle, "timing");
}

CAlarmRequestInfo* KVNetStartAlarmRequestInfo(DevConnection* session, const KVNetAlarmRequestInfoParam* param)
{
    if (!Usable(session) || !param || !param->alarmCallback)
        return nullptr;
    return Launch(session, new CAlarmRequestInfo(session, *param), 1);
}

void KVNetStopAlarmRequestInfo(CAlarmRequestInfo** handle)
{
    Stop(handle, "alarm info");
}

CAlarmParamInfo* KVNetStartAlarmParamInfo(DevConnection* session, const KVNetAlarmParamInfoParam* param)
{
    if (!Usable(session) || !param || !param->jsonCallback)
        return nullptr;
    return Launch(session, new CAlarmParamInfo(session, *param), 2);
}

int KVNetSendAlarmParamJson(CAlarmParamInfo* handle, const KVNetAlarmParamJson* json)
{
    if (!handle || !json || !json->param)
        return 0;
    return handle->Queue(json->param, json->param_size) ? 1 : 0;
}

void KVNetStopAlarmParamInfo(CAlarmParamInfo** handle)
{
    Stop(handle, "alarm params");
}

} // extern "C"
