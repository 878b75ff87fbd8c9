#include "download_record.h"

#include <cstring>

#include "kv_log.h"

void DownloadRecord::TakeCommon(KVNetDownloadExCallback cb, void* user, uint64_t splitMiB,
                                const backupspecialinfo_t* backup)
{
    cb_ = cb;
    user_ = user;
    if (splitMiB && splitMiB < (UINT64_MAX >> 20))
        splitBytes_ = splitMiB << 20;
    if (backup) {
        memcpy(&block_, backup, sizeof block_);
        haveBlock_ = true;
    }
}

DownloadRecord* DownloadRecord::ByFile(DevConnection* s, const KVNetDownloadByFileParam& p)
{
    if (!p.pItems || !p.pNames || !p.nCount || !p.callback || (p.nItemKind != 1 && p.nItemKind != 2))
        return nullptr;
    auto* d = new DownloadRecord(s);
    d->a_ = p.nA;
    d->b_ = p.nB;
    d->kind_ = p.nItemKind;
    d->count_ = p.nCount;
    const auto* items = static_cast<const uint8_t*>(p.pItems);
    d->items_.assign(items, items + d->count_ * d->ItemSize());
    for (size_t i = 0; i < d->count_; ++i) {
        const char* e = p.pNames + i * kNameBytes;
        d->names_.emplace_back(e, strnlen(e, kNameBytes));
    }
    d->TakeCommon(p.callback, p.pUser, p.nSplitMiB, p.pBackup);
    return d;
}

DownloadRecord* DownloadRecord::ByTime(DevConnection* s, const KVNetDownloadByTimeParam& p)
{
    if (!p.nTotalSize || !p.callback)
        return nullptr;
    auto* d = new DownloadRecord(s);
    d->byTime_ = true;
    d->a_ = p.nA;
    d->b_ = p.nB;
    d->c_ = p.nC;
    d->kind_ = 2;
    d->count_ = 1;
    d->items_.assign(48, 0);
    uint8_t* it = d->items_.data();
    const uint32_t size = 48, c = p.nC, zero = 0, ones = UINT32_MAX;
    memcpy(it, &size, 4);
    memcpy(it + 4, &p.Start, 8);
    memcpy(it + 12, &p.End, 8);
    memcpy(it + 20, &c, 4);
    memcpy(it + 24, &zero, 4);
    memcpy(it + 28, &ones, 4);
    memcpy(it + 32, &ones, 4);
    d->names_.emplace_back(p.szName, strnlen(p.szName, sizeof p.szName));
    d->endCount_ = p.nEndCount;
    d->totalSize_ = p.nTotalSize;
    d->TakeCommon(p.callback, p.pUser, p.nSplitMiB, p.pBackup);
    return d;
}

DownloadRecord::~DownloadRecord()
{
    StopAndJoin();
    if (file_)
        file_->Close();
}

void DownloadRecord::Report(unsigned code, uint32_t value)
{
    if (stop_.load())
        return;
    Log(kvmedia::CodeName(code));
    cb_(code, value, static_cast<uint32_t>(index_ < count_ ? index_ : count_ - 1), user_);
}

uint64_t DownloadRecord::DeclaredSize()
{
    if (byTime_)
        return totalSize_;
    uint32_t size = 0;
    memcpy(&size, Item(index_) + 24, 4);
    return size;
}

std::vector<uint8_t> DownloadRecord::RequestBody(uint32_t sessionId)
{
    const size_t n = byTime_ ? 1 : count_ - index_;
    std::vector<uint8_t> body(24 + n * ItemSize(), 0);
    const uint32_t words[3] = {24, sessionId, a_};
    memcpy(body.data(), words, sizeof words);
    body[12] = b_;
    body[13] = (!byTime_ && kind_ == 2) ? 1 : 0;
    memcpy(body.data() + 24, Item(byTime_ ? 0 : index_), n * ItemSize());
    return body;
}

void DownloadRecord::PrepareResume()
{
    if (!resume_.any)
        return;
    DateTime st{};
    if (resume_.ResumeStart(&st))
        memcpy(Item(byTime_ ? 0 : index_) + 4, &st, 8);
    resume_.Arm();
}

bool DownloadRecord::OpenFile(const KVFrameHead& first, bool split)
{
    const std::string& given = names_[index_];
    std::string name = given;
    if (given.find('.') == std::string::npos) {
        Report(KVNetMsgDownloadRecordStoreFail);
        return false;
    }
    if (split)
        name = kvdl::SplitName(given, first.FrameTime, used_);
    else
        used_.insert(name);
    file_.reset(KVCreateRecordFile(name.c_str()));
    if (!file_ || file_->Open(name.c_str(), false, nullptr, false, haveBlock_ ? &block_ : nullptr) != 0) {
        file_.reset();
        Report(KVNetMsgDownloadRecordStoreFail);
        return false;
    }
    fileBytes_ = 0;
    if (!split)
        Report(KVNetMsgDownloadRecordPercent, 1);
    return true;
}

bool DownloadRecord::CloseFile()
{
    if (!file_)
        return true;
    const int rc = file_->Close();
    file_.reset();
    return rc >= 0;
}

DownloadRecord::Step DownloadRecord::StoreFrame()
{
    const KVFrameHead& h = *fb_->head();
    if (resume_.Skip(h))
        return Step::kGoOn;
    if (!file_) {
        if (!OpenFile(h, false))
            return Step::kStoreFail;
        progress_.Restart(kvdl::MonoMs());
    } else if (h.FrameType == 'I' && fileBytes_ > splitBytes_) {
        if (!CloseFile()) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return Step::kStoreFail;
        }
        if (!OpenFile(h, true))
            return Step::kStoreFail;
    }
    int len = static_cast<int>(h.FrameSize + sizeof(KVFrameHead));
    if (file_->WriteFrame(fb_->data(), len) < 0) {
        Report(KVNetMsgDownloadRecordStoreFail);
        return Step::kStoreFail;
    }
    if (file_->LastStoredBytes() == 0)
        return Step::kGoOn;
    resume_.Stored(h);
    fileBytes_ += h.FrameSize + sizeof(KVFrameHead);
    entryBytes_ += h.FrameSize + sizeof(KVFrameHead);
    uint32_t pct = 0;
    if (progress_.Due(entryBytes_, DeclaredSize(), kvdl::MonoMs(), true, &pct))
        Report(KVNetMsgDownloadRecordPercent, pct);
    return Step::kGoOn;
}

DownloadRecord::Step DownloadRecord::HandlePack(const PackBuf& pack)
{
    if (pack.head.PackType == 3) {
        fb_->AddPack(pack, true);
        if (byTime_) {
            if (endCount_-- >= 2)
                return Step::kGoOn;
            if (!CloseFile()) {
                Report(KVNetMsgDownloadRecordStoreFail);
                return Step::kStoreFail;
            }
            finished_ = true;
            return Step::kFinished;
        }
        const bool stored = entryBytes_ > 0;
        if (!CloseFile()) {
            Report(KVNetMsgDownloadRecordStoreFail);
            return Step::kStoreFail;
        }
        Report(stored ? KVNetMsgDownloadRecordOK : KVNetMsgDownloadRecordNoFile);
        resume_.Reset();
        fileBytes_ = entryBytes_ = 0;
        if (++index_ >= count_) {
            finished_ = true;
            return Step::kFinished;
        }
        return Step::kGoOn;
    }
    if (!fb_->AddPack(pack, true))
        return Step::kGoOn;
    return StoreFrame();
}

void DownloadRecord::Run()
{
    bool refused = false;
    const unsigned retryMs = kvmedia::GetMediaTimings().openRetryMs;
    auto pack = std::make_unique<PackBuf>();
    while (!finished_ && !stop_.load() && retries_ > 0) {
        if (!WaitLogin())
            break;
        PrepareResume();
        const std::vector<uint8_t> body = RequestBody(session_->SessionId());
        const MsgHeadWrap head = kvdl::RequestHead(*session_, 131, byTime_, static_cast<uint32_t>(body.size()));
        uint16_t ack = 0;
        const kvmedia::OpenResult r = Open(head, body, &ack);
        if (r == kvmedia::OpenResult::kRefused) {
            unsigned code = 0;
            switch (ack) {
            case 50: case 407: code = KVNetMsgNoPlaybackAuth; break;
            case 68: code = KVNetMsgNoBandWidth; break;
            case 322: code = KVNetMsgRecordPlayDevicePlayback; break;
            case 325: code = KVNetMsgRecordPlayHDDFormat; break;
            case 360: code = KVNetMsgIsModifyHdd; break;
            default: break;
            }
            if (code) {
                Log("rsp fail");
                Report(code);
                refused = true;
                break;
            }
        }
        if (r != kvmedia::OpenResult::kOpened || !sock_.SetTimeouts(kvdl::kRunOpts)) {
            sock_.Close();
            Pause(retryMs);
            continue;
        }
        fb_ = std::make_unique<FrameBuf>();
        bool storeFail = false;
        while (!stop_.load() && session_->IsLoggedIn()) {
            bool closed = false;
            if (!Recv(*pack, &closed)) {
                if (closed && !stop_.load())
                    --retries_;
                break;
            }
            const Step s = HandlePack(*pack);
            if (s == Step::kStoreFail)
                storeFail = true;
            if (s != Step::kGoOn)
                break;
        }
        sock_.Close();
        if (storeFail)
            break;
    }
    if (!finished_ && !refused) {
        Log(kvmedia::CodeName(KVNetMsgDownloadRecordFail));
        Report(KVNetMsgDownloadRecordFail);
    }
    Report(KVNetMsgDownloadRecordClosed);
    if (file_) {
        file_->Close();
        file_.reset();
    }
}
