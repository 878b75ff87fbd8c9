// Bare frame records and the services that every format shares: stdio access, the
// key-frame gate's state and the day-change test.
#include "base_record_file.h"

#include <string.h>
#include <time.h>

CBaseRecordFile::CBaseRecordFile()
    : m_pFile(nullptr), m_bRead(0), m_bWaitKey(1), m_firstTime(0), m_lastTime(0),
      m_dayCheckCount(0), m_lastHour(0), m_lastDay(0), m_dayCheckInit(0), m_bBlockGiven(0),
      m_lastStored(0)
{
}

CBaseRecordFile::~CBaseRecordFile()
{
    // Virtual dispatch does not reach a derived Close from here: each format's
    // destructor closes its own file first.
    CBaseRecordFile::Close();
}

int CBaseRecordFile::Open(const char* path, bool read, const char* password, bool check,
                          const backupspecialinfo_t* block)
{
    (void)password;
    (void)check;
    if (m_pFile)
        CBaseRecordFile::Close();
    m_lastStored = 0;
    if (!path)
        return -1;
    m_pFile = fopen(path, read ? "rb" : "wb");
    if (!m_pFile)
        return -1;
    m_bRead = read ? 1 : 0;
    m_bWaitKey = 1;
    if (!read) {
        if (block)
            memcpy(&m_block, block, sizeof(m_block));
        else
            memset(&m_block, 0, sizeof(m_block));
        memcpy(m_block.Magic, "BackInfo", 8);
        m_block.Size = sizeof(m_block);
        m_bBlockGiven = block ? 1 : 0;
    }
    return 0;
}

int CBaseRecordFile::Close()
{
    int rc = 0;
    if (m_pFile) {
        // A writer's buffered bytes reach the disk only here: a full disk shows up now.
        if (!m_bRead && fflush(m_pFile) != 0)
            rc = -1;
        if (fclose(m_pFile) != 0 && !m_bRead)
            rc = -1;
        m_pFile = nullptr;
    }
    m_dayCheckCount = 0;
    m_lastHour = 0;
    m_lastDay = 0;
    m_dayCheckInit = 0;
    m_bBlockGiven = 0;
    return rc;
}

int CBaseRecordFile::ReadFrame(uint8_t* buf, int& size)
{
    if (!m_pFile || !buf || size <= 0)
        return -1;
    KVFrameHead head;
    memset(&head, 0, sizeof(head));
    if (fread(&head, sizeof(head), 1, m_pFile) != 1 || head.Magic != KV_FRAME_MAGIC)
        return -1;
    // 64-bit length: a FrameSize near 2^32 must not wrap past the capacity check.
    uint64_t len = KVFrameRecordLength(head.FrameSize);
    if (len > (uint64_t)size) {
        // Left where it was, so a caller with a larger buffer reads this frame again
        // instead of taking its payload for the next head.
        fseeko(m_pFile, -(off_t)sizeof(head), SEEK_CUR);
        return -1;
    }
    // The payload must be there whole; padding missing behind a complete payload is
    // supplied as zeros. A cut payload is refused rather than handed on with the stale
    // bytes of the caller's buffer.
    size_t body = (size_t)(len - sizeof(head));
    size_t got = body ? fread(buf + sizeof(head), 1, body, m_pFile) : 0;
    if (got < head.FrameSize)
        return -1;
    if (got < body)
        memset(buf + sizeof(head) + got, 0, body - got);
    memcpy(buf, &head, sizeof(head));
    size = (int)len;
    return 0;
}

int CBaseRecordFile::WriteFrame(const uint8_t* frame, int& size)
{
    static const uint8_t zeros[8] = {0};
    m_lastStored = 0;
    if (!m_pFile || m_bRead || !frame || size < (int)sizeof(KVFrameHead))
        return -1;
    KVFrameHead head;
    memcpy(&head, frame, sizeof(head));
    // The record's length is taken from FrameSize when it is read back; a size that
    // disagrees would leave a record that no reader can step over.
    if ((uint64_t)head.FrameSize + sizeof(head) != (uint64_t)size)
        return -1;
    int pad = (int)(KVFrameRecordLength(head.FrameSize) - (uint64_t)size);
    if (fwrite(frame, (size_t)size, 1, m_pFile) != 1)
        return -1;
    if (pad && fwrite(zeros, (size_t)pad, 1, m_pFile) != 1)
        return -1;
    size += pad;
    m_lastStored = (uint64_t)size;
    return 0;
}

int CBaseRecordFile::SeekByTime(uint64_t) { return -1; }
int CBaseRecordFile::GetTimeRange(uint64_t&, uint64_t&) { return -1; }
int CBaseRecordFile::GetKeyFrameCount() { return -1; }
int CBaseRecordFile::SeekByKeyFrameIndex(int) { return -1; }

int CBaseRecordFile::Read(void* buf, int length)
{
    if (!m_pFile || length < 0)
        return -1;
    if (length == 0 || fread(buf, (size_t)length, 1, m_pFile) == 1)
        return 0;
    return feof(m_pFile) ? 0 : -1;
}

int CBaseRecordFile::Write(const void* buf, int length)
{
    if (!m_pFile || length < 0)
        return -1;
    if (length == 0)
        return 0;
    return fwrite(buf, (size_t)length, 1, m_pFile) == 1 ? 0 : -1;
}

int CBaseRecordFile::Seek(long offset, int origin)
{
    if (!m_pFile)
        return -1;
    return fseek(m_pFile, offset, origin) == 0 ? 0 : -1;
}

long CBaseRecordFile::Tell()
{
    return m_pFile ? ftell(m_pFile) : -1;
}

bool CBaseRecordFile::CrossDay(uint64_t time)
{
    // Only every fifth counted frame is tested: a gmtime per frame is not needed to
    // notice a day change within a few seconds.
    if (++m_dayCheckCount < 5)
        return false;
    time_t secs = (time_t)(time / 1000000u);
    struct tm tmv;
    memset(&tmv, 0, sizeof(tmv));
    gmtime_r(&secs, &tmv);
    if (!m_dayCheckInit) {
        m_lastDay = tmv.tm_yday;
        m_dayCheckInit = 1;
    }
    bool changed = (tmv.tm_hour == 0 && m_lastHour == 23) || tmv.tm_yday != m_lastDay;
    m_lastHour = tmv.tm_hour;
    m_lastDay = tmv.tm_yday;
    m_dayCheckCount = 0;
    return changed;
}
