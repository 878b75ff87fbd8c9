// Snapshots (306) and the picture stream (277).
#include <cstdio>
#include <cstring>

#include "kv_log.h"
#include "stills.h"

namespace {
constexpr uint16_t kTypeSnapshot = 306;
constexpr uint16_t kTypePicture = 277;
constexpr kvmedia::SockOpts kSnapshotOpts{5000, 15000, 1 << 20};
constexpr kvmedia::SockOpts kPictureOpts{5000, 5000, 1 << 20};

} // namespace

bool CAsyncDeviceCapture::RunOnce()
{
    if (!session_->IsLoggedIn() || Stopping())
        return false;
    uint8_t body[20];
    const uint32_t words[3] = {20, session_->SessionId(), param_.nChannel};
    std::memcpy(body, words, sizeof words);
    std::memcpy(body + 12, param_.devParam, 8);
    auto reply = std::make_unique<MsgBuf>();
    uint16_t ack = 0;
    bool ok = false;
    // A refusal (AckFlag not 0) never has its body read as a length.
    if (Open(kSnapshotOpts, kTypeSnapshot, body, sizeof body, *reply, &ack) == kvmedia::OpenResult::kOpened &&
        reply->body_size() >= 4) {
        uint32_t length = 0;
        std::memcpy(&length, reply->body(), 4);
        reply.reset();
        char path[sizeof param_.szPath + 1] = {};
        std::memcpy(path, param_.szPath, sizeof param_.szPath);
        if (length != 0 && length <= kvstills::kPictureMax && path[0])
            ok = kvstills::ReceiveToFile(sock_.ch(), length, path, &stop_);
    }
    sock_.Shutdown();
    sock_.Close();
    return ok;
}

void CAsyncDeviceCapture::Work(int)
{
    sock_.Close();
    if (WaitLogin())
        RunOnce();
}

GetDevicePicture::GetDevicePicture(DevConnection* s, const KVNetGetPictureParam& p, const uint8_t* req, uint32_t size)
    : StillWorker(s), param_(p), size_(size)
{
    std::memcpy(req_, req, size);
}

void GetDevicePicture::Report(unsigned code)
{
    if (param_.msgCallback)
        param_.msgCallback(code, param_.pUser);
}

void GetDevicePicture::Work(int)
{
    const kvstills::StillTimings t = kvstills::GetStillTimings();
    for (int attempt = 0; attempt < 3 && !Stopping(); ++attempt) {
        sock_.Close();
        if (!WaitLogin())
            break;
        uint8_t body[64];
        std::memcpy(body, req_, sizeof body);
        const uint32_t sid = session_->SessionId();
        std::memcpy(body + 32, &sid, 4);
        auto reply = std::make_unique<MsgBuf>();
        uint16_t ack = 0;
        const kvmedia::OpenResult r = Open(kPictureOpts, kTypePicture, body, size_, *reply, &ack);
        reply.reset();
        if (r == kvmedia::OpenResult::kOpened) {
            bool end = false;
            // Pictures stand alone: no key-frame wait, so one bad picture never silences the next.
            FrameBuf fb(false);
            auto pack = std::make_unique<PackBuf>();
            while (!Stopping() && session_->IsLoggedIn() && sock_.ch().RecvPack(*pack)) {
                if (pack->head.PackType == 3) {
                    printf("======recv file end\n");
                    Report(KVNetMsgRecordPlayIFrameEnd);
                    end = true;
                    break;
                }
                if (pack->head.PackType == 2) {
                    printf("======recv file no data\n");
                    Report(KVNetMsgRecordPlayNoData);
                    end = true;
                    break;
                }
                if (!fb.AddPack(*pack, true))
                    continue;
                const KVFrameHead* f = fb.head();
                printf("======recv frame:no:%d, type:%c, encode type:%d\n", static_cast<int>(f->FrameNo), f->FrameType,
                       f->EncodeType);
                if (param_.picCallback && !Stopping()) {
                    PictureInfo info{};
                    info.pData = fb.data() + kvmsg::kFrameHeadSize;
                    info.nSize = f->FrameSize;
                    info.nPicType = f->EncodeType == 5 ? 5 : 1;
                    info.nFrameTime = f->FrameTime;
                    param_.picCallback(&info, param_.pUser);
                }
            }
            if (end)
                break;
            continue;
        }
        if (attempt < 2 && !Stopping()) {
            if (r == kvmedia::OpenResult::kRefused) {
                if (const unsigned code = kvmedia::PlaybackRefusalCode(ack))
                    Report(code);
            }
            sock_.Close();
            if (!Pause(t.retryPauseMs))
                break;
        }
    }
    sock_.Close();
    Report(KVNetMsgRecordPlayClosed);
}
