// The record-file interface: every format (private container, AVI, MP4) derives from
// CBaseRecordFile; used alone it writes and reads bare frame records with no file head.
#ifndef KV_BASE_RECORD_FILE_H
#define KV_BASE_RECORD_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "KVNetTypes.h"

#pragma pack(push, 1)
// The caller's 512-byte block that a download hands over; only the private container
// stores it. The library sets the magic, the size, the first key frame's flag bits and
// the two times; the caller's bytes are kept as they are.
struct backupspecialinfo_t {
    char     Magic[8];       // "BackInfo"
    uint32_t Size;           // 512
    uint32_t FirstKeyFlags;  // bits 0-6 of the first key frame's flags field
    uint8_t  User1[96];
    uint64_t FirstTime;      // microseconds, set at close
    uint64_t LastKeyTime;    // microseconds, set at close
    uint8_t  User2[384];
};
#pragma pack(pop)
static_assert(sizeof(backupspecialinfo_t) == 512, "");
static_assert(offsetof(backupspecialinfo_t, Size) == 8, "");
static_assert(offsetof(backupspecialinfo_t, FirstKeyFlags) == 12, "");
static_assert(offsetof(backupspecialinfo_t, User1) == 16, "");
static_assert(offsetof(backupspecialinfo_t, FirstTime) == 112, "");
static_assert(offsetof(backupspecialinfo_t, LastKeyTime) == 120, "");
static_assert(offsetof(backupspecialinfo_t, User2) == 128, "");

// Frame record length: head, payload and zero padding to a multiple of 8. Computed in 64
// bits so that a FrameSize near 2^32 cannot wrap.
inline uint64_t KVFrameRecordLength(uint32_t frameSize)
{
    return ((uint64_t)frameSize + 47u) & ~(uint64_t)7u;
}

class CBaseRecordFile {
public:
    CBaseRecordFile();
    virtual ~CBaseRecordFile();

    // 0 success, negative failure (per format: -4 wrong or missing password).
    virtual int Open(const char* path, bool read, const char* password = nullptr,
                     bool check = false, const backupspecialinfo_t* block = nullptr);
    virtual int Close();
    // size: capacity on entry, bytes delivered on success. buf non-null, size > 0.
    virtual int ReadFrame(uint8_t* buf, int& size);
    // frame = KVFrameHead + payload, size = 40 + FrameSize. Formats: 0 written or dropped
    // by the key-frame gate, 2 written and the UTC day changed, negative failure.
    virtual int WriteFrame(const uint8_t* frame, int& size);
    virtual int SeekByTime(uint64_t time);
    virtual int GetTimeRange(uint64_t& first, uint64_t& last);
    virtual int GetKeyFrameCount();
    virtual int SeekByKeyFrameIndex(int index);

    // Bytes that the last WriteFrame put into the file (record, chunk or sample data);
    // 0 when it dropped the frame (key-frame gate, broken reference, unusable audio) or
    // failed. A download counts only stored frames by this.
    uint64_t LastStoredBytes() const { return m_lastStored; }
    bool IsOpen() const { return m_pFile != nullptr; }

    CBaseRecordFile(const CBaseRecordFile&) = delete;
    CBaseRecordFile& operator=(const CBaseRecordFile&) = delete;

protected:
    int Read(void* buf, int length);
    int Write(const void* buf, int length);
    int Seek(long offset, int origin);
    long Tell();
    bool CrossDay(uint64_t time);

    FILE*               m_pFile;        // owned; null while closed (AVI and MP4 keep their own)
    uint8_t             m_bRead;        // 1 opened for reading
    uint8_t             m_bWaitKey;     // key-frame gate: 1 until the first 'I' frame
    uint64_t            m_firstTime;    // microseconds
    uint64_t            m_lastTime;
    int32_t             m_dayCheckCount;
    int32_t             m_lastHour;
    int32_t             m_lastDay;
    uint8_t             m_dayCheckInit;
    uint8_t             m_bBlockGiven;
    backupspecialinfo_t m_block;
    uint64_t            m_lastStored;   // see LastStoredBytes
};

// The record class for a file name, chosen by the three characters after its last '.'.
// Lives with the MP4 part of the library (it needs CKVMP4RecordFile); declared here so
// that downloads include one header. Null for a name without '.'.
CBaseRecordFile* KVCreateRecordFile(const char* fileName);

#endif
