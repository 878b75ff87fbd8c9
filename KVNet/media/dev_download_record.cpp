#include "dev_download_record.h"

#include <cstdio>
#include <cstring>

#include "kv_log.h"

DevDownloadRecord::DevDownloadRecord(DevConnection* s, uint32_t a, std::vector<RecordDetailRsp> items,
                                     std::vector<DownloadFileEntry> files, bool wholeSpan, bool extHead,
                                     bool pictures, KVNetDownloadCallback cb3, KVNetDownloadExCallback cb4,
                                     void* user)
    : Worker(s), a_(a), items_(std::move(items)), files_(std::move(files)), wholeSpan_(wholeSpan),
      extHead_(extHead), pictures_(pictures), cb3_(cb3), cb4_(cb4), user_(user),
      fb_(std::make_unique<FrameBuf>(!pictures))
{
    // Names and passwords are used as C strings: the copies always end in a NUL.
    for (auto& f : files_) {
        f.path[sizeof f.path - 1] = 0;
        f.password[sizeof f.password - 1] = 0;
    }
}

DevDownloadRecord::~DevDownloadRecord()
{
    StopAndJoin();
    if (file_)
        file_->Close();
}

void DevDownloadRecord::Report(unsigned code, uint32_t value)
{
    if (stop_.load())
        return;
    Log(kvmedia::CodeName(code));
    if (cb3_)
        cb3_(code, value, user_);
    else if (cb4_)
        cb4_(code, value, code == KVNetMsgDownloadRecordPercent ? static_cast<uint32_t>(index_) : 0, user_);
    else if (session_ && !session_->StreamsEnding())
        session_->DeliverMediaCode(code, user_);
}

std::vector<uint8_t> DevDownloadRecord::RequestBody(uint32_t sessionId, bool* byTime)
{
    const uint32_t headSize = extHead_ ? 24 : 12;
    const size_t n = wholeSpan_ ? 1 : items_.size() - index_;
    std::vector<uint8_t> body(headSize + n * sizeof(RecordDetailRsp), 0);
    const uint32_t words[3] = {headSize, sessionId, a_};
    memcpy(body.data(), words, sizeof words);
    if (extHead_)
        body[12] = 1;
    uint8_t* p = body.data() + headSize;
    if (wholeSpan_) {
        RecordDetailRsp span{};
        span.Start = items_[index_].Start;
        span.End = items_.back().End;
        memcpy(p, &span, sizeof span);
    } else {
        memcpy(p, items_.data() + index_, n * sizeof(RecordDetailRsp));
    }
    *byTime = resumed_ || wholeSpan_;
    return body;
}

void DevDownloadRecord::PrepareResume()
{
    if (pictures_) {
        // Pictures carry no resume time: the entry is asked for again whole, so its file
        // starts again instead of holding the first pictures twice.
        if (file_ && fileBytes_) {
            file_->Close();
            file_.reset();
            fileBytes_ = 0;
        }
        return;
    }
    if (!resume_.any)
        return;
    DateTime st = items_[index_].Start;
    resume_.ResumeStart(&st);  // without a stored key frame the item's own start stays
    items_[index_].Start = st;
    st.reserved = 0;
    items_[index_].Start.reserved = 0;
    resume_.Arm();
    resumed_ = true;
    if (gEnableDownloadRecordStatus)
        KV_LOG(gEnableDownloadRecordStatus,
               "download file (%d : %d : %d ) size=%llu  lastsize =%u DownloadRecord=%p rsp wait\n", st.hour,
               st.minute, st.second, static_cast<unsigned long long>(fileBytes_), items_[index_].Size,
               static_cast<void*>(this));
}

bool DevDownloadRecord::EnsureFile()
{
    if (file_)
        return true;
    const DownloadFileEntry& e = files_[index_];
    if (pictures_) {
        file_ = std::make_unique<CBaseRecordFile>();
    } else {
        if (!strchr(e.path, '.')) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return false;
        }
        file_.reset(KVCreateRecordFile(e.path));
    }
    const char* pwd = e.password[0] ? e.password : nullptr;
    if (!file_ || file_->Open(e.path, false, pictures_ ? nullptr : pwd, !pictures_, nullptr) != 0) {
        file_.reset();
        Report(KVNetMsgDownloadRecordStoreFail);
        return false;
    }
    fileBytes_ = 0;
    progress_.Restart(kvdl::MonoMs());
    return true;
}

bool DevDownloadRecord::CloseFile()
{
    if (!file_)
        return true;
    const int rc = file_->Close();
    file_.reset();
    return rc >= 0;
}

DevDownloadRecord::Step DevDownloadRecord::HandlePack(const PackBuf& pack)
{
    if (pack.head.PackType == 3) {
        fb_->AddPack(pack, true);  // abandons a frame in progress, waits for a key frame
        const bool stored = fileBytes_ > 0;
        if (!CloseFile()) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return Step::kStoreFail;
        }
        if (stored) {
            Report(KVNetMsgDownloadRecordOK);
        } else {
            // Nothing came: no empty container is left behind.
            std::remove(files_[index_].path);
            Report(KVNetMsgDownloadRecordNoFile);
        }
        resume_.Reset();
        resumed_ = false;
        fileBytes_ = 0;
        ++index_;
        return Step::kFileEnd;
    }
    if (!file_ || !fb_->AddPack(pack, !pictures_))
        return Step::kGoOn;
    const KVFrameHead& h = *fb_->head();
    if (fb_->size() < sizeof(KVFrameHead) || fb_->size() - sizeof(KVFrameHead) < h.FrameSize)
        return Step::kGoOn;  // only unchecked pictures get here: too short to be a record
    int len = static_cast<int>(h.FrameSize + sizeof(KVFrameHead));
    if (pictures_) {
        if (file_->WriteFrame(fb_->data(), len) != 0) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return Step::kStoreFail;
        }
        fileBytes_ += h.FrameSize + sizeof(KVFrameHead);
    } else {
        if (resume_.Skip(h))
            return Step::kGoOn;
        if (file_->WriteFrame(fb_->data(), len) < 0) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return Step::kStoreFail;
        }
        if (file_->LastStoredBytes() == 0)
            return Step::kGoOn;  // dropped by the file (before its first key frame)
        resume_.Stored(h);
        fileBytes_ += h.FrameSize + sizeof(KVFrameHead);
    }
    uint32_t pct = 0;
    if (progress_.Due(fileBytes_, items_[index_].Size, kvdl::MonoMs(), false, &pct)) {
        KV_LOG(gEnableDownloadRecordStatus, "%02u%%, totalsize=%u, cursize=%llu\n", pct, items_[index_].Size,
               static_cast<unsigned long long>(fileBytes_));
        Report(KVNetMsgDownloadRecordPercent, pct);
    }
    return Step::kGoOn;
}

DevDownloadRecord::End DevDownloadRecord::StoreFiles()
{
    fb_ = std::make_unique<FrameBuf>(!pictures_);
    auto pack = std::make_unique<PackBuf>();
    while (index_ < items_.size()) {
        if (stop_.load())
            return End::kStopped;
        if (!session_->IsLoggedIn())
            return End::kBroken;
        if (!EnsureFile())
            return End::kStoreFail;
        bool closed = false;
        if (!Recv(*pack, &closed)) {
            if (stop_.load())
                return End::kStopped;
            if (closed) {
                ++deviceCloses_;
                KV_LOG(gEnableDownloadRecordStatus, "dev offline socket=%u mconnectCount=%d err=%d\n", 0u,
                       deviceCloses_, 0);
            }
            return End::kBroken;
        }
        if (HandlePack(*pack) == Step::kStoreFail)
            return End::kStoreFail;
    }
    return End::kAllDone;
}

void DevDownloadRecord::Run()
{
    bool done = false, refused = false;
    const unsigned retryMs = kvmedia::GetMediaTimings().openRetryMs;
    while (!stop_.load() && deviceCloses_ < kMaxDeviceCloses) {
        if (!session_->IsLoggedIn())
            Log("rsp wait");
        if (!WaitLogin())
            break;
        PrepareResume();
        bool byTime = false;
        const std::vector<uint8_t> body = RequestBody(session_->SessionId(), &byTime);
        const MsgHeadWrap head = kvdl::RequestHead(*session_, pictures_ ? 406 : 131, byTime,
                                                   static_cast<uint32_t>(body.size()));
        uint16_t ack = 0;
        const kvmedia::OpenResult r = Open(head, body, &ack);
        if (r == kvmedia::OpenResult::kOpened) {
            if (!sock_.SetTimeouts(kvdl::kRunOpts))
                continue;
            const End e = StoreFiles();
            sock_.Close();
            if (e == End::kAllDone)
                done = true;
            if (e == End::kAllDone || e == End::kStoreFail || e == End::kStopped)
                break;
            continue;
        }
        sock_.Close();
        if (r == kvmedia::OpenResult::kRefused) {
            Log("rsp fail");
            if (ack == 360) {
                Report(KVNetMsgIsModifyHdd);
                refused = true;
                break;
            }
            if (ack == 50 || ack == 407)
                Report(KVNetMsgNoPlaybackAuth);
            else if (ack == 68)
                Report(KVNetMsgNoBandWidth);
            else if (ack == 322)
                Report(KVNetMsgRecordPlayDevicePlayback);
            else if (ack == 325)
                Report(KVNetMsgRecordPlayHDDFormat);
        }
        Pause(retryMs);
    }
    // Data loss is never an ordinary end: 293 comes first.
    if (!done && !refused) {
        Log(kvmedia::CodeName(KVNetMsgDownloadRecordFail));
        Report(KVNetMsgDownloadRecordFail);
    }
    Report(KVNetMsgDownloadRecordClosed);
    deviceCloses_ = 0;
    if (file_) {
        file_->Close();
        file_.reset();
    }
}
