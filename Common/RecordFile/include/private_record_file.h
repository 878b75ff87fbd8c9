// The private container: a 40-byte file head, a 16-byte information block, frame records,
// and at close a key-frame index and the caller's backup block.
#ifndef KV_PRIVATE_RECORD_FILE_H
#define KV_PRIVATE_RECORD_FILE_H

#include <vector>

#include "base_record_file.h"

#pragma pack(push, 1)
struct KVPrivateFileHead {
    char     Magic[8];       // "ALKVFile", or "QTRVFile" with a password block
    uint32_t InfoLength;     // 16
    char     State[4];       // "Data" while written, "Full" once the index is in
    uint64_t IndexOffset;    // 0 until close
    uint8_t  Password[16];   // stored password block, zero without a password
};
#pragma pack(pop)
static_assert(sizeof(KVPrivateFileHead) == 40, "");
static_assert(offsetof(KVPrivateFileHead, InfoLength) == 8, "");
static_assert(offsetof(KVPrivateFileHead, State) == 12, "");
static_assert(offsetof(KVPrivateFileHead, IndexOffset) == 16, "");
static_assert(offsetof(KVPrivateFileHead, Password) == 24, "");

// One key-frame index entry in memory; the file keeps time and offset only.
struct KVFileFrameIndexItem {
    uint64_t time;       // microseconds
    uint64_t offset;     // file offset of the frame record
    uint64_t refOffset;  // own offset for 'I', the referred 'I' frame's for 'V'
    uint8_t  refOnly;    // first entry that is only the reference of a following 'V'
};

// The stored password block: the password's first 16 bytes, zero-padded, run through
// AES-128-OFB under the format's fixed key and IV. A stored format, not protection.
bool KVPrivatePasswordBlock(const char* password, uint8_t out[16]);

class CKVPrivateRecordFile : public CBaseRecordFile {
public:
    CKVPrivateRecordFile();
    ~CKVPrivateRecordFile() override;

    int Open(const char* path, bool read, const char* password = nullptr, bool check = false,
             const backupspecialinfo_t* block = nullptr) override;
    int Close() override;
    int ReadFrame(uint8_t* buf, int& size) override;
    int WriteFrame(const uint8_t* frame, int& size) override;
    int SeekByTime(uint64_t time) override;
    int GetTimeRange(uint64_t& first, uint64_t& last) override;
    int GetKeyFrameCount() override;
    int SeekByKeyFrameIndex(int index) override;

    // Read side views for tests and tools.
    const std::vector<KVFileFrameIndexItem>& Index() const { return m_index; }
    const backupspecialinfo_t* Block() const { return m_bBlockGiven ? &m_block : nullptr; }
    const KVPrivateFileHead& Head() const { return m_head; }

protected:
    void Tidy();
    int ReadFileHeadInfo(const char* password, bool check);
    int ReadFileTailInfo();
    int GenerateTailInfo();
    int DirectlyReadTailInfo();
    int ReadRefFrameInfo();
    int WriteFileInfo();
    // Entry for a time: the last whose time is not later, else the first. Null when empty.
    const KVFileFrameIndexItem* GetFrameIndex(uint64_t time) const;

private:
    int64_t FileSize();
    bool ReadAt(uint64_t offset, void* buf, size_t len);

    KVPrivateFileHead                 m_head;
    std::vector<KVFileFrameIndexItem> m_index;
    uint64_t m_writePos;       // offset of the next record
    uint64_t m_pendingOffset;  // jump here after the next frame read; 0 none
    uint64_t m_refOffset;      // last 'I' frame written or met
    uint32_t m_refNo;          // its FrameNo
    uint8_t  m_markNext;       // 0: the next frame read gets the mark bit
    uint8_t  m_firstEntryCounts;
    uint8_t  m_writeBroken;    // a write failed part-way: the file ends at m_writePos
    int64_t  m_fileSize;       // reader: size at Open; -1 unknown
};

#endif
