// The download of a list of recordings, or of one time span, into files the caller
// names, split at a key frame once more than the split size was written to a file.
#pragma once
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base_record_file.h"
#include "download_base.h"
#include "frame_buf.h"

struct DownloadRecord final : public kvdl::Worker {
public:
    enum class Step { kGoOn, kFinished, kStoreFail };
    static constexpr int kRetries = 6;
    static constexpr size_t kNameBytes = 512;

    static DownloadRecord* ByFile(DevConnection* s, const KVNetDownloadByFileParam& p);
    static DownloadRecord* ByTime(DevConnection* s, const KVNetDownloadByTimeParam& p);
    ~DownloadRecord() override;

    // The receive loop's step, also driven directly by the fuzz target.
    Step HandlePack(const PackBuf& pack);
    std::vector<uint8_t> RequestBody(uint32_t sessionId);
    void PrepareResume();
    size_t Index() const { return index_; }

private:
    explicit DownloadRecord(DevConnection* s) : Worker(s) {}
    // The fields both kinds of request share: callback, split size and backup block.
    void TakeCommon(KVNetDownloadExCallback cb, void* user, uint64_t splitMiB, const backupspecialinfo_t* backup);
    void Run() override;
    void Report(unsigned code, uint32_t value = 0);
    Step StoreFrame();
    bool OpenFile(const KVFrameHead& first, bool split);
    bool CloseFile();
    size_t ItemSize() const { return kind_ == 2 ? 48 : 28; }
    uint8_t* Item(size_t i) { return items_.data() + i * ItemSize(); }
    uint64_t DeclaredSize();

    bool byTime_ = false;
    uint32_t a_ = 0, c_ = 0;
    uint8_t b_ = 0;
    uint32_t kind_ = 1;
    std::vector<uint8_t> items_;      // by time: the one 48-byte span item
    std::vector<std::string> names_;
    uint32_t endCount_ = 1;
    uint64_t totalSize_ = 0;
    KVNetDownloadExCallback cb_ = nullptr;
    void* user_ = nullptr;
    uint64_t splitBytes_ = UINT64_MAX;
    bool haveBlock_ = false;
    backupspecialinfo_t block_{};

    size_t index_ = 0;
    size_t count_ = 0;
    int retries_ = kRetries;
    bool finished_ = false;           // every entry (or the span) is complete
    uint64_t fileBytes_ = 0, entryBytes_ = 0;
    kvdl::ResumeFilter resume_;
    kvdl::ProgressGate progress_;
    std::set<std::string> used_;
    std::unique_ptr<CBaseRecordFile> file_;
    std::unique_ptr<FrameBuf> fb_ = std::make_unique<FrameBuf>();
};
