// CKVAVIRecordFile: the key-frame gate, audio parameters from the first audio head, one
// chunk per video frame and per audio block.
#include "avi_record_file.h"

#include <string.h>

namespace {

// WAVE format tag for an audio encode type (tag 100 is the maker's own for G.726).
int AudioFormatTag(uint8_t e)
{
    if (e == KV_ENCODE_IMA_ADPCM_ALT)
        return 17;
    switch (e) {
    case 0: return 1;
    case 1: return 6;
    case 2: return 7;
    case 3: return 17;
    case 4: case 5: case 6: case 7: return 100;
    case 8: case 9: case 10: return 0;
    default: return 6;
    }
}

}  // namespace

CKVAVIRecordFile::CKVAVIRecordFile() : m_avi(nullptr) {}

CKVAVIRecordFile::~CKVAVIRecordFile()
{
    Close();
}

void CKVAVIRecordFile::Tidy()
{
    m_bWaitKey = 1;
    m_firstTime = 0;
    m_lastTime = 0;
}

int CKVAVIRecordFile::Open(const char* path, bool read, const char*, bool, const backupspecialinfo_t*)
{
    if (m_avi)
        Close();
    m_lastStored = 0;
    m_avi = read ? AVI_open_input_file(path, 1) : AVI_open_output_file(path);
    if (!m_avi)
        return -1;
    m_bRead = read ? 1 : 0;
    Tidy();
    return 0;
}

int CKVAVIRecordFile::Close()
{
    int rc = 0;
    if (m_avi) {
        if (AVI_close(m_avi) != 0 && !m_bRead)
            rc = -1;
        m_avi = nullptr;
    }
    if (CBaseRecordFile::Close() != 0)
        rc = -1;
    return rc;
}

int CKVAVIRecordFile::ReadFrame(uint8_t* buf, int& size)
{
    if (!m_avi || !m_bRead || !buf || size <= 0)
        return -1;
    int rc = AVI_read_data(m_avi, buf, size);
    if (rc <= 0)
        return -1;
    KVFrameHead fh;
    memcpy(&fh, buf, sizeof(fh));
    size = (int)(fh.FrameSize + sizeof(fh));
    return 0;
}

int CKVAVIRecordFile::WriteFrame(const uint8_t* frame, int& size)
{
    m_lastStored = 0;
    if (!m_avi || m_bRead || !frame || size < (int)sizeof(KVFrameHead))
        return -1;
    KVFrameHead fh;
    memcpy(&fh, frame, sizeof(fh));
    if ((uint64_t)fh.FrameSize + sizeof(fh) != (uint64_t)size)
        return -1;
    // A block size that cannot hold a block head, or that no whole block fits in, is a
    // device fault: the frame is dropped, the download goes on.
    const uint32_t block = fh.Format.Audio.BlockSize;
    if (fh.FrameType == KV_FRAME_A && (block < 5 || block > fh.FrameSize))
        return 0;
    if (m_bWaitKey) {
        if (fh.FrameType != KV_FRAME_I)
            return 0;
        m_bWaitKey = 0;
        m_firstTime = fh.FrameTime;
    }
    m_lastTime = fh.FrameTime;
    const uint8_t* payload = frame + sizeof(fh);

    if (fh.FrameType == KV_FRAME_A) {
        if (m_avi->audioBytes == 0 && m_avi->audioChunks == 0) {
            uint8_t e = fh.EncodeType;
            int bits = fh.Format.Audio.Bits, channels = fh.Format.Audio.Channels;
            long rate = (long)fh.Format.Audio.SampleRate, bitRate;
            int storedBits;
            if (e == KV_ENCODE_PCM) {
                // PCM carries its samples as they are: the head's bits describe them.
                storedBits = bits;
                bitRate = rate * channels * bits;
            } else if (e == KV_ENCODE_G711A || e == KV_ENCODE_G711U) {
                storedBits = bits / 2;
                bitRate = rate * (bits / 2);
            } else {
                storedBits = bits / 4;
                bitRate = (long)(block - 4) * 8000 / (block == 248 ? 60 : 40);
            }
            AVI_set_audio(m_avi, channels, rate, storedBits, (int)block - 4, bitRate,
                          AudioFormatTag(e));
        }
        uint8_t rec[AVI_AUDIO_RECORD];
        memcpy(rec, frame, 12);
        memcpy(rec + 12, &block, 4);
        memcpy(rec + 16, frame + 16, 24);
        memset(rec + 44, 0, 4);
        uint32_t blocks = fh.FrameSize / block;
        for (uint32_t i = 0; i < blocks; i++) {
            const uint8_t* b = payload + (uint64_t)i * block;
            memcpy(rec + 40, b, 4);
            if (AVI_write_audio(m_avi, b + 4, block - 4, rec, sizeof(rec)) != 0)
                return -1;
            m_lastStored += block - 4;
        }
        return 0;
    }

    if (fh.FrameType == KV_FRAME_I && m_avi->videoFrames == 0) {
        AVI_set_video(m_avi, fh.Format.Video.Width, fh.Format.Video.Height, fh.Format.Video.Fps,
                      KVEncodeIsH265(fh.EncodeType) ? "H265" : "H264", 12);
    }
    if (AVI_write_frame(m_avi, payload, fh.FrameSize, fh.FrameType == KV_FRAME_I, frame,
                        sizeof(fh)) != 0)
        return -1;
    m_lastStored = fh.FrameSize;
    if (fh.FrameType == KV_FRAME_I && CrossDay(m_lastTime))
        return 2;
    return 0;
}

int CKVAVIRecordFile::SeekByTime(uint64_t time)
{
    if (m_avi && m_bRead)
        AVI_seek_by_time(m_avi, time);
    return 0;
}

int CKVAVIRecordFile::GetTimeRange(uint64_t& first, uint64_t& last)
{
    if (m_avi && m_bRead) {
        AVI_get_time_range(m_avi, &first, &last);
    } else {
        first = m_firstTime;
        last = m_lastTime;
    }
    return 0;
}

int CKVAVIRecordFile::GetKeyFrameCount() { return 0; }
int CKVAVIRecordFile::SeekByKeyFrameIndex(int) { return -1; }
