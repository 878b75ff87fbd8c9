// The flat calls of the record downloads.
#include <cstring>
#include <vector>

#include "dev_download_record.h"
#include "download_record.h"
#include "kv_log.h"

namespace {
template <class T>
T* Launch(DevConnection* session, T* d)
{
    if (!session->AttachStream(d)) {
        delete d;
        return nullptr;
    }
    if (!d->Start()) {
        d->StopAndJoin();
        session->DetachStream(d);
        delete d;
        return nullptr;
    }
    return d;
}

template <class T>
void Finish(T** handle)
{
    if (!handle || !*handle)
        return;
    T* d = *handle;
    if (d->OnOwnThread()) {
        // The stop waits for this very thread.
        KV_LOG(gEnableDownloadRecordStatus, "DownloadRecord=%p stop from its own callback refused\n",
               static_cast<void*>(d));
        return;
    }
    *handle = nullptr;
    d->StopAndJoin();
    if (!d->Ended())
        d->Session()->DetachStream(d);
    delete d;
}

DevDownloadRecord* StartList(DevConnection* session, uint32_t a, const RecordDetailRsp* items,
                             std::vector<DownloadFileEntry> files, uint32_t count, bool whole, bool ext, bool pictures,
                             KVNetDownloadCallback cb3, KVNetDownloadExCallback cb4, void* user)
{
    std::vector<RecordDetailRsp> copy(items, items + count);
    return Launch(session, new DevDownloadRecord(session, a, std::move(copy), std::move(files), whole, ext, pictures,
                                                 cb3, cb4, user));
}

std::vector<DownloadFileEntry> FromPaths(const DownloadPathEntry* paths, uint32_t count)
{
    std::vector<DownloadFileEntry> out(count);
    for (uint32_t i = 0; i < count; ++i) {
        memcpy(out[i].path, paths[i].path, sizeof out[i].path);
        out[i].reserved = paths[i].reserved;
    }
    return out;
}

bool Usable(DevConnection* session) { return session && !session->StreamsEnding(); }
} // namespace

extern "C" {

DevDownloadRecord* KVNetStartDownloadRecord(DevConnection* session, const KVNetDownloadRecordParam* p)
{
    if (!Usable(session) || !p || !p->pItem || !p->pPath)
        return nullptr;
    return StartList(session, p->nA, p->pItem, FromPaths(p->pPath, 1), 1, false, false, false, p->callback, nullptr,
                     p->pUser);
}

DevDownloadRecord* KVNetStartDownloadRecordEx(DevConnection* session, const KVNetDownloadRecordExParam* p)
{
    if (!Usable(session) || !p || !p->pItems || !p->pPaths || !p->nCount)
        return nullptr;
    return StartList(session, p->nA, p->pItems, FromPaths(p->pPaths, p->nCount), p->nCount, p->bWholeSpan != 0,
                     p->bExtHead != 0, false, nullptr, p->callback, p->pUser);
}

DevDownloadRecord* KVNetStartNewDownloadRecordEx(DevConnection* session, const KVNetNewDownloadRecordParam* p)
{
    if (!Usable(session) || !p || !p->pItems || !p->pFiles || !p->nCount)
        return nullptr;
    std::vector<DownloadFileEntry> files(p->pFiles, p->pFiles + p->nCount);
    return StartList(session, p->nA, p->pItems, std::move(files), p->nCount, p->bWholeSpan != 0, p->bExtHead != 0,
                     false, nullptr, p->callback, p->pUser);
}

DevDownloadRecord* KVNetStartDownloadPictureEx(DevConnection* session, const KVNetDownloadRecordExParam* p)
{
    if (!Usable(session) || !p || !p->pItems || !p->pPaths || !p->nCount)
        return nullptr;
    return StartList(session, p->nA, p->pItems, FromPaths(p->pPaths, p->nCount), p->nCount, p->bWholeSpan != 0,
                     p->bExtHead != 0, true, nullptr, p->callback, p->pUser);
}

void KVNetStopDownloadRecord(DevDownloadRecord** handle) { Finish(handle); }
void KVNetStopDownloadPicture(DevDownloadRecord** handle) { Finish(handle); }

DownloadRecord* KVNetStartDownloadByFile(DevConnection* session, const KVNetDownloadByFileParam* p)
{
    if (!Usable(session) || !p)
        return nullptr;
    DownloadRecord* d = DownloadRecord::ByFile(session, *p);
    return d ? Launch(session, d) : nullptr;
}

DownloadRecord* KVNetStartDownloadByTime(DevConnection* session, const KVNetDownloadByTimeParam* p)
{
    if (!Usable(session) || !p)
        return nullptr;
    DownloadRecord* d = DownloadRecord::ByTime(session, *p);
    return d ? Launch(session, d) : nullptr;
}

void KVNetStopDownloadFile(DownloadRecord** handle) { Finish(handle); }

} // extern "C"
