// Thumbnails: playback (811, receive and decoder threads) and channel snapshots (812).
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "stills.h"
#include "thumb_assembler.h"

namespace {
constexpr uint16_t kTypePlayback = 811;
constexpr uint16_t kTypeChannel = 812;
constexpr kvmedia::SockOpts kThumbOpts{5000, 5000, 1 << 20};

// The picture's payload to a new file; the result code.
uint32_t WritePicture(const std::string& folder, const std::vector<uint8_t>& frame, bool png, std::string* name)
{
    const int fd = kvstills::CreateUniqueFile(folder, png ? ".png" : ".jpg", name);
    if (fd < 0)
        return KVNetThumbFileFail;
    const auto* h = reinterpret_cast<const KVFrameHead*>(frame.data());
    const uint8_t* p = frame.data() + kvmsg::kFrameHeadSize;
    size_t left = h->FrameSize;
    bool ok = true;
    while (left && ok) {
        const ssize_t w = ::write(fd, p, left);
        ok = w > 0;
        if (ok) {
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        ::unlink(name->c_str());
        name->clear();
        return KVNetThumbFileFail;
    }
    return png ? KVNetThumbPng : KVNetThumbJpg;
}
} // namespace

void kvstills::ThumbWorker::FetchAll(uint16_t type, size_t rspSize, size_t sizeAt, bool checkStop, bool endStops,
                                     const std::function<void(ThumbAnswer& a, size_t index)>& take)
{
    const StillTimings t = GetStillTimings();
    for (int attempts = 3; attempts > 0 && !Stopping() && next_ < count_; --attempts) {
        sock_.Close();
        if (!WaitLogin())
            break;
        printf("======send :%d\n", static_cast<int>(next_));
        auto reply = std::make_unique<MsgBuf>();
        uint16_t ack = 0;
        const uint32_t size = static_cast<uint32_t>((count_ - next_) * itemSize_);
        const kvmedia::OpenResult r =
            Open(kThumbOpts, type, items_.data() + next_ * itemSize_, size, *reply, &ack);
        reply.reset();
        if (r == kvmedia::OpenResult::kOpened) {
            ThumbAssembler as(rspSize, sizeAt);
            auto pack = std::make_unique<PackBuf>();
            std::vector<ThumbAnswer> got;
            bool end = false;
            while (!end && !Stopping() && session_->IsLoggedIn() && next_ < count_ && sock_.ch().RecvPack(*pack)) {
                end = as.Add(*pack, got) == ThumbAssembler::kEnd;
                for (auto& g : got) {
                    if (next_ >= count_ || (checkStop && Stopping()))
                        break;
                    take(g, next_);
                    ++next_;
                }
                got.clear();
            }
            if (end && endStops) {
                printf("======recv file end\n");
                break;
            }
        } else if (attempts > 1 && !Stopping()) {
            sock_.Close();
            if (!Pause(t.retryPauseMs))
                break;
        }
    }
    sock_.Close();
}

CThumbnailsConn::CThumbnailsConn(DevConnection* s, const KVNetThumbnailsParam& p, std::vector<uint8_t> items,
                                 std::string folder)
    : ThumbWorker(s, std::move(items), kItem), param_(p), folder_(std::move(folder))
{
}

void CThumbnailsConn::Work(int which)
{
    if (which == 0)
        Receive();
    else
        Decode();
}

void CThumbnailsConn::Queue(Answer a)
{
    {
        ScopedLock l(queueMu_);
        queue_.push_back(std::move(a));
    }
    wakeDecoder_.Set();
}

void CThumbnailsConn::Receive()
{
    FetchAll(kTypePlayback, sizeof(ThumbnailRsp), 4, false, false, [this](kvstills::ThumbAnswer& g, size_t index) {
        if (!g.frame.empty())
            printf("======recv :%d\n", static_cast<int>(index));
        Answer a;
        a.faulty = g.faulty;
        std::memcpy(&a.rsp, g.rsp, sizeof a.rsp);
        a.frame = std::move(g.frame);
        Queue(std::move(a));
    });
    Answer endMark;
    endMark.end = true;
    Queue(std::move(endMark));
}

void CThumbnailsConn::Decode()
{
    static const uint8_t kNoFrame[kvmsg::kFrameHeadSize] = {};
    for (;;) {
        wakeDecoder_.Wait(SyncEvent::kInfinite);
        for (;;) {
            Answer a;
            {
                ScopedLock l(queueMu_);
                if (queue_.empty())
                    break;
                a = std::move(queue_.front());
                queue_.pop_front();
            }
            if (a.end) {
                param_.callback.playback(nullptr, param_.pUser);
                return;
            }
            if (Stopping())
                continue; // freed unreported: the end marker still comes
            std::string name;
            uint32_t result;
            if (a.faulty)
                result = KVNetThumbFileFail;
            else if (a.rsp.FrameSize == 0 || a.frame.empty())
                result = KVNetThumbNoPicture;
            else if (a.rsp.PicFormat == 1 || a.rsp.PicFormat == 2)
                result = WritePicture(folder_, a.frame, a.rsp.PicFormat == 2, &name);
            else
                result = KVNetThumbBadFormat;
            ThumbnailResult res{};
            res.pRsp = &a.rsp;
            res.pFrame = reinterpret_cast<const KVFrameHead*>(a.frame.empty() ? kNoFrame : a.frame.data());
            res.nResult = result;
            res.szFile = name.empty() ? nullptr : name.c_str();
            param_.callback.playback(&res, param_.pUser);
        }
    }
}

CChannelThumbnailsConn::CChannelThumbnailsConn(DevConnection* s, const KVNetThumbnailsParam& p,
                                               std::vector<uint8_t> items, std::string folder)
    : ThumbWorker(s, std::move(items), kItem), param_(p), folder_(std::move(folder))
{
}

void CChannelThumbnailsConn::Report(const ChannelThumbnailRsp* rsp, uint32_t result, const char* file)
{
    ChannelThumbnailResult res{rsp, result, file};
    param_.callback.channel(&res, param_.pUser);
}

void CChannelThumbnailsConn::Work(int)
{
    FetchAll(kTypeChannel, sizeof(ChannelThumbnailRsp), 12, true, true, [this](kvstills::ThumbAnswer& g, size_t) {
        ChannelThumbnailRsp rsp;
        std::memcpy(&rsp, g.rsp, sizeof rsp);
        if (g.faulty) {
            Report(&rsp, KVNetThumbFileFail, nullptr);
        } else if (g.frame.empty()) {
            Report(&rsp, KVNetThumbNoPicture, nullptr);
        } else {
            std::string name;
            const uint32_t result = WritePicture(folder_, g.frame, rsp.PicFormat == 2, &name);
            Report(&rsp, result, name.empty() ? nullptr : name.c_str());
        }
    });
    param_.callback.channel(nullptr, param_.pUser);
}
