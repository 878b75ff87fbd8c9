// The download of a list of recordings (or stored pictures) into one record file per
// list entry at the caller's path: request, storage loop, resume, progress, end codes.
#pragma once
#include <memory>
#include <vector>

#include "base_record_file.h"
#include "download_base.h"
#include "frame_buf.h"

struct DevDownloadRecord final : public kvdl::Worker {
public:
    enum class Step { kGoOn, kFileEnd, kStoreFail };
    static constexpr int kMaxDeviceCloses = 3;

    // files: one per item. callback3 wins over callback4.
    DevDownloadRecord(DevConnection* s, uint32_t a, std::vector<RecordDetailRsp> items,
                      std::vector<DownloadFileEntry> files, bool wholeSpan, bool extHead, bool pictures,
                      KVNetDownloadCallback cb3, KVNetDownloadExCallback cb4, void* user);
    ~DevDownloadRecord() override;

    // The storage loop's pieces, also driven directly by the fuzz target: opens the
    // current entry's file when none is open (false: store failure, reported), and takes
    // one received pack.
    bool EnsureFile();
    Step HandlePack(const PackBuf& pack);
    // The request body from the current index on; *byTime when it asks by time span.
    std::vector<uint8_t> RequestBody(uint32_t sessionId, bool* byTime);
    // Before a new connection: resume from what the current file holds.
    void PrepareResume();
    size_t Index() const { return index_; }

private:
    enum class End { kAllDone, kBroken, kStoreFail, kStopped };
    void Run() override;
    End StoreFiles();
    void Report(unsigned code, uint32_t value = 0);
    bool CloseFile();

    uint32_t a_;
    std::vector<RecordDetailRsp> items_;
    std::vector<DownloadFileEntry> files_;
    bool wholeSpan_, extHead_, pictures_;
    KVNetDownloadCallback cb3_;
    KVNetDownloadExCallback cb4_;
    void* user_;

    size_t index_ = 0;
    int deviceCloses_ = 0;
    bool resumed_ = false;            // the next request asks by time span
    uint64_t fileBytes_ = 0;          // bytes the current file stored
    kvdl::ResumeFilter resume_;
    kvdl::ProgressGate progress_;
    std::unique_ptr<CBaseRecordFile> file_;
    std::unique_ptr<FrameBuf> fb_ = std::make_unique<FrameBuf>();
};
