// AVI record file: frames in an AVI file that common players open, with every frame's
// head kept behind its chunk data.
#ifndef KV_AVI_RECORD_FILE_H
#define KV_AVI_RECORD_FILE_H

#include "avilib.h"
#include "base_record_file.h"

class CKVAVIRecordFile : public CBaseRecordFile {
public:
    CKVAVIRecordFile();
    ~CKVAVIRecordFile() override;

    int Open(const char* path, bool read, const char* password = nullptr, bool check = false,
             const backupspecialinfo_t* block = nullptr) override;
    int Close() override;
    int ReadFrame(uint8_t* buf, int& size) override;
    int WriteFrame(const uint8_t* frame, int& size) override;
    int SeekByTime(uint64_t time) override;
    int GetTimeRange(uint64_t& first, uint64_t& last) override;
    int GetKeyFrameCount() override;
    int SeekByKeyFrameIndex(int index) override;

    avi_handle* Handle() const { return m_avi; }

protected:
    void Tidy();

private:
    avi_handle* m_avi;
};

#endif
