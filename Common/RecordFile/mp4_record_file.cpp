#include "mp4_record_file.h"

#include <cstring>

#include "avi_record_file.h"
#include "mp4_demuxer.h"
#include "mp4_muxer.h"
#include "private_record_file.h"

CKVMP4RecordFile::CKVMP4RecordFile() = default;

CKVMP4RecordFile::~CKVMP4RecordFile() { Close(); }

void CKVMP4RecordFile::Tidy()
{
    m_bWaitKey = 1;
    m_firstTime = 0;
    m_lastTime = 0;
}

void CKVMP4RecordFile::ForceLargeLayout(bool on)
{
    m_large = on;
    if (m_muxer) m_muxer->force_64bit_layout(on);
}

int CKVMP4RecordFile::Open(const char* path, bool read, const char*, bool, const backupspecialinfo_t*)
{
    Close();
    int r;
    if (read) {
        m_demuxer.reset(new mp4_demuxer);
        r = m_demuxer->open(path);
        if (r != 0) {
            m_demuxer.reset();
            return r;
        }
    } else {
        m_muxer.reset(new mp4_muxer);
        r = m_muxer->open(path);
        if (r != 0) {
            m_muxer.reset();
            return r;
        }
        m_muxer->force_64bit_layout(m_large);
    }
    m_bRead = read ? 1 : 0;
    m_open = true;
    Tidy();
    return 0;
}

int CKVMP4RecordFile::Close()
{
    int r = 0;
    if (m_muxer) {
        r = m_muxer->close();
        m_muxer.reset();
    }
    if (m_demuxer) {
        m_demuxer->close();
        m_demuxer.reset();
    }
    m_open = false;
    CBaseRecordFile::Close();
    return r;
}

int CKVMP4RecordFile::WriteFrame(const uint8_t* frame, int& size)
{
    m_lastStored = 0;
    if (!m_muxer || !frame || size < KV_FRAME_HEAD_SIZE) return -1;
    KVFrameHead head;
    std::memcpy(&head, frame, sizeof head);
    if (m_bWaitKey) {
        if (head.FrameType != KV_FRAME_I) return 0;
        m_bWaitKey = 0;
        m_firstTime = head.FrameTime;
    }
    m_lastTime = head.FrameTime;
    if (m_muxer->WriteFrame(frame, size) != 0) return -1;
    m_lastStored = m_muxer->last_stored();
    return CrossDay(m_lastTime) ? 2 : 0;
}

int CKVMP4RecordFile::ReadFrame(uint8_t* buf, int& size)
{
    if (!buf || size <= 0 || !m_demuxer) return -1;
    int capacity = size;
    size = 0;
    return m_demuxer->ReadFrame(buf, capacity, size);
}

int CKVMP4RecordFile::SeekByTime(uint64_t time)
{
    return m_demuxer ? m_demuxer->SeekByTime(time) : -1;
}

int CKVMP4RecordFile::GetTimeRange(uint64_t& first, uint64_t& last)
{
    if (m_demuxer) return m_demuxer->GetTimeRange(first, last);
    first = m_firstTime;
    last = m_lastTime;
    return 0;
}

int CKVMP4RecordFile::GetKeyFrameCount() { return m_demuxer ? m_demuxer->GetKeyFrameCount() : 0; }

int CKVMP4RecordFile::SeekByKeyFrameIndex(int index)
{
    return m_demuxer ? m_demuxer->SeekByKeyFrameIndex(index) : 0;
}

CBaseRecordFile* KVCreateRecordFile(const char* fileName)
{
    if (!fileName) return nullptr;
    const char* dot = std::strrchr(fileName, '.');
    if (!dot) return nullptr;
    // The three characters after the last '.', compared as a case-sensitive prefix.
    if (std::strncmp(dot + 1, "avi", 3) == 0) return new CKVAVIRecordFile;
    if (std::strncmp(dot + 1, "mp4", 3) == 0) return new CKVMP4RecordFile;
    return new CKVPrivateRecordFile;
}
