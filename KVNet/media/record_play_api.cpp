// The flat calls of remote playback and key-frame capture.
#include <cstring>

#include "dev_record_play.h"
#include "kv_log.h"

namespace {
DevRecordPlay* StartPlay(DevConnection* session, const KVNetRecordPlayParamEx& p, DevRecordPlay::Mode mode)
{
    if (session->StreamsEnding())
        return nullptr;
    auto* play = new DevRecordPlay(session, p, mode);
    if (!session->AttachStream(play)) {
        delete play;
        return nullptr;
    }
    if (!play->Start()) {
        play->StopAndJoin();
        session->DetachStream(play);
        delete play;
        return nullptr;
    }
    return play;
}

void StopPlay(DevRecordPlay** handle)
{
    if (!handle || !*handle)
        return;
    DevRecordPlay* p = *handle;
    if (p->OnOwnThread()) {
        // The stop waits for this very thread.
        KV_LOG(gEnableRecordPlayStatus, "recordplay=%p stop from its own callback refused\n", static_cast<void*>(p));
        return;
    }
    *handle = nullptr;
    p->StopAndJoin();
    if (!p->Ended())
        p->Session()->DetachStream(p);
    delete p;
}
} // namespace

extern "C" {

DevRecordPlay* KVNetStartRecordPlay(DevConnection* session, const KVNetRecordPlayParam* param)
{
    if (!session || !param)
        return nullptr;
    KVNetRecordPlayParamEx ex{};
    ex.base = *param;
    return StartPlay(session, ex, DevRecordPlay::kPlayback);
}

DevRecordPlay* KVNetStartRecordPlayEx(DevConnection* session, const KVNetRecordPlayParamEx* param)
{
    if (!session || !param)
        return nullptr;
    return StartPlay(session, *param, DevRecordPlay::kPlayback);
}

DevRecordPlay* KVNetStartCaptureIFrame(DevConnection* session, const KVNetRecordPlayParam* param)
{
    if (!session || !param)
        return nullptr;
    KVNetRecordPlayParamEx ex{};
    ex.base = *param;
    return StartPlay(session, ex, DevRecordPlay::kCapture);
}

void KVNetStopRecordPlay(DevRecordPlay** play) { StopPlay(play); }
void KVNetStopCaptureIFrame(DevRecordPlay** play) { StopPlay(play); }

int KVNetReqRecordData(DevRecordPlay* play)
{
    return play && play->ReqData() ? 1 : 0;
}

int KVNetReposRecordData(DevRecordPlay* play, const DateTime span[2])
{
    return play && span && play->Reposition(span, 0) ? 1 : 0;
}

int KVNetReposIFrameData(DevRecordPlay* play, const DateTime span[2])
{
    return play && span && play->Reposition(span, 0) ? 1 : 0;
}

int KVNetReverseRecordData(DevRecordPlay* play, const DateTime span[2], uint32_t code)
{
    if (!play || !span || code < 20 || code > 26)
        return 0;
    return play->Reposition(span, static_cast<uint16_t>(code)) ? 1 : 0;
}

void KVNetReplayRecordData(DevRecordPlay* play)
{
    if (play)
        play->Replay();
}

void KVNetReplayIFrameData(DevRecordPlay* play)
{
    if (play)
        play->Replay();
}

int KVNetReqRecordPlayCtrol(DevRecordPlay* play, uint32_t code)
{
    return play && play->Control(code) ? 1 : 0;
}

} // extern "C"
