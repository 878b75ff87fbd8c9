// MP4 record file: frames stored by mp4_muxer and read back by mp4_demuxer.
#ifndef KV_MP4_RECORD_FILE_H
#define KV_MP4_RECORD_FILE_H

#include <memory>

#include "base_record_file.h"

class mp4_muxer;
class mp4_demuxer;

class CKVMP4RecordFile : public CBaseRecordFile {
public:
    CKVMP4RecordFile();
    ~CKVMP4RecordFile() override;

    // 0, or the writer's or reader's negative code (-1, -2, -3; reading also -5, -6).
    int Open(const char* path, bool read, const char* password = nullptr, bool check = false,
             const backupspecialinfo_t* block = nullptr) override;
    // 0, or -1 when anything written to the file failed.
    int Close() override;
    int ReadFrame(uint8_t* buf, int& size) override;
    // 0 written or dropped by the key-frame gate, 2 written and the UTC day changed,
    // -1 failure (opened for reading, a malformed frame, a failed write).
    int WriteFrame(const uint8_t* frame, int& size) override;
    int SeekByTime(uint64_t time) override;
    int GetTimeRange(uint64_t& first, uint64_t& last) override;
    int GetKeyFrameCount() override;
    int SeekByKeyFrameIndex(int index) override;

    // Test seam: "co64" and the 64-bit "mdat" header for a file of any size.
    void ForceLargeLayout(bool on);

protected:
    void Tidy();

private:
    std::unique_ptr<mp4_muxer> m_muxer;
    std::unique_ptr<mp4_demuxer> m_demuxer;
    bool m_open = false;
    bool m_large = false;
};

#endif
