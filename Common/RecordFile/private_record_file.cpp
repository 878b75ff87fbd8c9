// The private container: writer, index at close, and readers for finished, unfinished
// and bare files.
#include "private_record_file.h"

#include <openssl/evp.h>
#include <string.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const uint64_t kFirstRecord = 56;  // file head + information block
const char kIndexTag[8] = {'L', 'i', 's', 't', 'I', 'd', 'x', 0};

// The format's fixed cipher texts; their characters are the key and IV bytes.
const char kKeyText[] = "3F0A9C2E7B14D86A5C0E3B97F21A4D68E5B07C93A1F46D2E8B05C7A39E14F62B";
const char kIvText[] = "5E82C0A7F39B14D6E0C75A2B98F1346D";

#pragma pack(push, 1)
struct IndexTag {
    char     Name[8];
    uint16_t Skip;
    uint16_t EntrySize;
    uint32_t Length;  // bytes after the tag: skipped bytes and entries
};
#pragma pack(pop)
static_assert(sizeof(IndexTag) == 16, "");

// The password as the format compares it: its first 16 bytes at most.
size_t PasswordPrefix(const char* password)
{
    return password ? strnlen(password, 16) : 0;
}

}  // namespace

bool KVPrivatePasswordBlock(const char* password, uint8_t out[16])
{
    uint8_t plain[16] = {0};
    memcpy(plain, password, PasswordPrefix(password));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return false;
    int n = 0, m = 0;
    bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_ofb(), nullptr,
                                 reinterpret_cast<const uint8_t*>(kKeyText),
                                 reinterpret_cast<const uint8_t*>(kIvText)) == 1 &&
              EVP_EncryptUpdate(ctx, out, &n, plain, 16) == 1 &&
              EVP_EncryptFinal_ex(ctx, out + n, &m) == 1 && n + m == 16;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

CKVPrivateRecordFile::CKVPrivateRecordFile() : m_writeBroken(0), m_fileSize(-1)
{
    Tidy();
}

CKVPrivateRecordFile::~CKVPrivateRecordFile()
{
    Close();
}

void CKVPrivateRecordFile::Tidy()
{
    memset(&m_head, 0, sizeof(m_head));
    m_firstTime = 0;
    m_lastTime = 0;
    m_index.clear();
    m_bWaitKey = 1;
    m_writePos = kFirstRecord;
    m_pendingOffset = 0;
    m_refOffset = 0;
    m_refNo = 0;
    m_markNext = 1;
    m_firstEntryCounts = 1;
}

// A reader's file does not grow under it: its size is taken once per Open.
int64_t CKVPrivateRecordFile::FileSize()
{
    if (m_fileSize >= 0)
        return m_fileSize;
    struct stat st;
    if (!m_pFile || fstat(fileno(m_pFile), &st) != 0)
        return -1;
    if (m_bRead)
        m_fileSize = st.st_size;
    return st.st_size;
}

// Positioned read beside the stdio stream (its buffer and position stay as they are),
// bounded by the file's size.
bool CKVPrivateRecordFile::ReadAt(uint64_t offset, void* buf, size_t len)
{
    int64_t fsize = FileSize();
    if (fsize < 0 || offset > (uint64_t)fsize || len > (uint64_t)fsize - offset)
        return false;
    uint8_t* p = static_cast<uint8_t*>(buf);
    while (len) {
        ssize_t n = pread(fileno(m_pFile), p, len, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
        offset += (uint64_t)n;
    }
    return true;
}

int CKVPrivateRecordFile::Open(const char* path, bool read, const char* password, bool check,
                               const backupspecialinfo_t* block)
{
    if (m_pFile)
        Close();
    Tidy();
    m_writeBroken = 0;
    m_fileSize = -1;
    if (CBaseRecordFile::Open(path, read, password, check, read ? nullptr : block) != 0)
        return -1;

    if (!read) {
        memcpy(m_head.Magic, "ALKVFile", 8);
        m_head.InfoLength = 16;
        memcpy(m_head.State, "Data", 4);
        if (password && *password) {
            memcpy(m_head.Magic, "QTRVFile", 8);
            if (!KVPrivatePasswordBlock(password, m_head.Password)) {
                CBaseRecordFile::Close();
                return -1;
            }
        }
        static const uint8_t info[16] = {0};
        if (Write(&m_head, sizeof(m_head)) != 0 || Write(info, sizeof(info)) != 0) {
            CBaseRecordFile::Close();
            return -1;
        }
        KVPrivateFileHead head = m_head;
        Tidy();
        m_head = head;
        return 0;
    }

    int rc = ReadFileHeadInfo(password, check);
    if (rc == 0)
        rc = ReadFileTailInfo();
    if (rc == 0) {
        if (Seek((long)(40 + m_head.InfoLength), SEEK_SET) == 0)
            return 0;
        rc = -1;
    }
    // A bare frame file of CBaseRecordFile has no head: walk it from the start.
    if (rc != -4) {
        KVFrameHead fh;
        if (ReadAt(0, &fh, sizeof(fh)) && fh.Magic == KV_FRAME_MAGIC) {
            Tidy();
            if (Seek(0, SEEK_SET) == 0 && GenerateTailInfo() == 0 && Seek(0, SEEK_SET) == 0)
                return 0;
        }
    }
    CBaseRecordFile::Close();
    Tidy();
    return rc;
}

int CKVPrivateRecordFile::ReadFileHeadInfo(const char* password, bool check)
{
    if (!ReadAt(0, &m_head, sizeof(m_head)))
        return -1;
    bool locked = memcmp(m_head.Magic, "QTRVFile", 8) == 0;
    if (!locked && memcmp(m_head.Magic, "ALKVFile", 8) != 0)
        return -1;
    if (locked && check) {
        if (!password || !*password)
            return -4;
        // OFB is its own inverse: the same key and IV turn the stored block back into
        // the zero-padded text.
        uint8_t plain[16];
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0, m = 0;
        bool ok = ctx &&
                  EVP_DecryptInit_ex(ctx, EVP_aes_128_ofb(), nullptr,
                                     reinterpret_cast<const uint8_t*>(kKeyText),
                                     reinterpret_cast<const uint8_t*>(kIvText)) == 1 &&
                  EVP_DecryptUpdate(ctx, plain, &n, m_head.Password, 16) == 1 &&
                  EVP_DecryptFinal_ex(ctx, plain + n, &m) == 1 && n + m == 16;
        EVP_CIPHER_CTX_free(ctx);
        if (!ok)
            return -1;
        size_t stored = strnlen(reinterpret_cast<const char*>(plain), 16);
        size_t given = PasswordPrefix(password);
        if (stored != given || memcmp(plain, password, given) != 0)
            return -4;
    }
    int64_t fsize = FileSize();
    if (m_head.InfoLength < 16 || fsize < 40 || (uint64_t)m_head.InfoLength > (uint64_t)fsize - 40)
        return -1;
    uint64_t times[2];
    if (!ReadAt(40, times, sizeof(times)))
        return -1;
    m_firstTime = times[0];
    m_lastTime = times[1];
    return Seek((long)(40 + m_head.InfoLength), SEEK_SET);
}

int CKVPrivateRecordFile::ReadFileTailInfo()
{
    if (memcmp(m_head.State, "Full", 4) == 0)
        return DirectlyReadTailInfo() == 0 && ReadRefFrameInfo() == 0 ? 0 : -1;
    return GenerateTailInfo();
}

int CKVPrivateRecordFile::DirectlyReadTailInfo()
{
    int64_t fsize = FileSize();
    uint64_t pos = m_head.IndexOffset;
    if (pos == 0 || fsize < 0)
        return -1;
    IndexTag tag;
    for (;;) {
        if (!ReadAt(pos, &tag, sizeof(tag)))
            return -1;
        if (tag.Length < tag.Skip)
            return -1;
        pos += sizeof(tag);
        if (memcmp(tag.Name, kIndexTag, 8) == 0)
            break;
        // A foreign tag in the chain: step over it (each step moves at least 16 bytes).
        pos += tag.Length;
    }
    pos += tag.Skip;
    uint64_t remain = (uint64_t)tag.Length - tag.Skip;
    if (tag.EntrySize < 16 || tag.EntrySize > remain)
        return -1;
    if (pos > (uint64_t)fsize || remain > (uint64_t)fsize - pos)
        return -1;
    std::vector<uint8_t> raw((size_t)remain);
    if (!ReadAt(pos, raw.data(), raw.size()))
        return -1;
    size_t count = (size_t)(remain / tag.EntrySize);
    m_index.clear();
    m_index.reserve(count);
    for (size_t i = 0; i < count; i++) {
        KVFileFrameIndexItem it;
        memcpy(&it.time, &raw[i * tag.EntrySize], 8);
        memcpy(&it.offset, &raw[i * tag.EntrySize + 8], 8);
        it.refOffset = it.offset;
        it.refOnly = 0;
        m_index.push_back(it);
    }
    if ((m_firstTime == 0 || m_lastTime == 0) && m_index.size() >= 2) {
        m_firstTime = m_index.front().time;
        m_lastTime = m_index.back().time;
    }

    // The caller's block behind the entries; a missing or odd one is no failure.
    memset(&m_block, 0, sizeof(m_block));
    m_bBlockGiven = 0;
    uint8_t first[16];
    uint64_t bpos = pos + remain;
    if (ReadAt(bpos, first, sizeof(first)) && memcmp(first, "BackInfo", 8) == 0) {
        uint32_t bsize;
        memcpy(&bsize, first + 8, 4);
        // A size outside 16..512 cannot be the block: ignore it rather than read past it.
        if (bsize >= 16 && bsize <= sizeof(m_block) &&
            ReadAt(bpos + 16, reinterpret_cast<uint8_t*>(&m_block) + 16, bsize - 16)) {
            memcpy(&m_block, first, 16);
            m_bBlockGiven = 1;
        } else {
            memset(&m_block, 0, sizeof(m_block));
        }
    }
    return 0;
}

int CKVPrivateRecordFile::ReadRefFrameInfo()
{
    if (m_index.empty())
        return -1;
    KVFrameHead fh;
    memset(&fh, 0, sizeof(fh));
    for (KVFileFrameIndexItem& it : m_index) {
        if (!ReadAt(it.offset, &fh, sizeof(fh)) || fh.Magic != KV_FRAME_MAGIC)
            return -1;
        if (fh.FrameType == KV_FRAME_I) {
            m_refOffset = it.offset;
            m_refNo = fh.FrameNo;
            it.refOffset = it.offset;
        } else if (fh.FrameType == KV_FRAME_V) {
            if (fh.FrameNo - KVFrameRefDistance(&fh) != m_refNo)
                return -1;
            it.refOffset = m_refOffset;
        } else {
            return -1;
        }
    }
    // A file that begins with the reference of a 'V' frame: that frame is where the
    // recording starts, and the 'I' frame is delivered marked. Audio records between the
    // two are passed over, as the walk of an unfinished file does.
    if (ReadAt(m_index[0].offset, &fh, sizeof(fh))) {
        uint64_t next = m_index[0].offset + KVFrameRecordLength(fh.FrameSize);
        KVFrameHead nh;
        for (;;) {
            if (!ReadAt(next, &nh, sizeof(nh))) {
                nh.Magic = 0;
                break;
            }
            if (nh.Magic != KV_FRAME_MAGIC || nh.FrameType != KV_FRAME_A)
                break;
            next += KVFrameRecordLength(nh.FrameSize);
        }
        if (nh.Magic == KV_FRAME_MAGIC && nh.FrameType == KV_FRAME_V) {
            m_index[0].refOnly = 1;
            m_firstTime = nh.FrameTime;
            m_markNext = 0;
            m_firstEntryCounts = 0;
        }
    }
    return 0;
}

int CKVPrivateRecordFile::GenerateTailInfo()
{
    int64_t fsize = FileSize();
    long start = Tell();
    if (fsize < 0 || start < 0)
        return -1;
    uint64_t pos = (uint64_t)start;
    int video = 0;
    bool haveRef = false;
    uint64_t records = 0;
    m_index.clear();
    // Heads are taken from a window of the file: one read serves many small records.
    uint64_t span = (uint64_t)fsize > pos ? (uint64_t)fsize - pos : 0;
    std::vector<uint8_t> window((size_t)(span < 256 * 1024 ? span : 256 * 1024));
    uint64_t winPos = 0, winLen = 0;
    auto headAt = [&](uint64_t at, KVFrameHead* out) {
        if (at < winPos || at + sizeof(*out) > winPos + winLen) {
            uint64_t left = (uint64_t)fsize > at ? (uint64_t)fsize - at : 0;
            winLen = left < window.size() ? left : window.size();
            winPos = at;
            if (winLen < sizeof(*out) || !ReadAt(at, window.data(), (size_t)winLen)) {
                winLen = 0;
                return false;
            }
        }
        memcpy(out, &window[at - winPos], sizeof(*out));
        return true;
    };
    KVFrameHead fh;
    while (headAt(pos, &fh) && fh.Magic == KV_FRAME_MAGIC) {
        uint64_t len = KVFrameRecordLength(fh.FrameSize);
        // A record cut by the end of the file is not indexed: it cannot be read whole.
        if ((uint64_t)fh.FrameSize > (uint64_t)fsize - pos - sizeof(fh))
            break;
        records++;
        if (fh.FrameType == KV_FRAME_I) {
            m_refOffset = pos;
            m_refNo = fh.FrameNo;
            haveRef = true;
            m_index.push_back({fh.FrameTime, pos, pos, 0});
        } else if (fh.FrameType == KV_FRAME_V) {
            // Without an 'I' before it the entry refers to itself, never to offset 0.
            m_index.push_back({fh.FrameTime, pos, haveRef ? m_refOffset : pos, 0});
            if (video == 1 && m_index.size() >= 2) {
                m_index[0].refOnly = 1;
                m_markNext = 0;
                m_firstEntryCounts = 0;
            }
        }
        if (fh.FrameType == KV_FRAME_I || fh.FrameType == KV_FRAME_P || fh.FrameType == KV_FRAME_V)
            video++;
        pos += len;
        if (pos >= (uint64_t)fsize)
            break;
    }
    // Every complete record stays readable, however few key frames were written.
    if (records == 0)
        return -1;
    if (!m_index.empty()) {
        size_t first = (!m_firstEntryCounts && m_index.size() >= 2) ? 1 : 0;
        m_firstTime = m_index[first].time;
        m_lastTime = m_index.back().time;
    }
    return Seek(start, SEEK_SET);
}

int CKVPrivateRecordFile::WriteFileInfo()
{
    if (m_writePos == kFirstRecord)
        return 0;
    uint64_t times[2] = {m_firstTime, m_lastTime};
    if (fseeko(m_pFile, 16, SEEK_SET) != 0 || Write(&m_writePos, 8) != 0)
        return -1;
    if (fseeko(m_pFile, 40, SEEK_SET) != 0 || Write(times, sizeof(times)) != 0)
        return -1;
    IndexTag tag;
    memcpy(tag.Name, kIndexTag, 8);
    tag.Skip = 0;
    tag.EntrySize = 16;
    tag.Length = (uint32_t)(m_index.size() * 16);
    if (fseeko(m_pFile, (off_t)m_writePos, SEEK_SET) != 0 || Write(&tag, sizeof(tag)) != 0)
        return -1;
    std::vector<uint64_t> raw;
    raw.reserve(m_index.size() * 2);
    for (const KVFileFrameIndexItem& it : m_index) {
        raw.push_back(it.time);
        raw.push_back(it.offset);
    }
    if (!raw.empty() && Write(raw.data(), (int)(raw.size() * 8)) != 0)
        return -1;
    if (m_bBlockGiven) {
        m_block.FirstTime = m_firstTime;
        m_block.LastKeyTime = m_lastTime;
        if (Write(&m_block, sizeof(m_block)) != 0)
            return -1;
    }
    // "Full" goes last and only after the rest is on the disk: a file that says "Full"
    // always has its index.
    if (fflush(m_pFile) != 0)
        return -1;
    if (fseeko(m_pFile, 12, SEEK_SET) != 0 || Write("Full", 4) != 0)
        return -1;
    return 0;
}

int CKVPrivateRecordFile::Close()
{
    int rc = 0;
    if (m_pFile && !m_bRead) {
        if (m_writeBroken || WriteFileInfo() != 0)
            rc = -1;
    }
    if (CBaseRecordFile::Close() != 0)
        rc = -1;
    return rc;
}

int CKVPrivateRecordFile::ReadFrame(uint8_t* buf, int& size)
{
    if (!m_bRead)
        return -1;
    int rc = CBaseRecordFile::ReadFrame(buf, size);
    if (rc != 0)
        return rc;
    if (m_pendingOffset) {
        rc = fseeko(m_pFile, (off_t)m_pendingOffset, SEEK_SET) == 0 ? 0 : -1;
        m_pendingOffset = 0;
    }
    if (m_markNext == 0) {
        buf[7] |= 0x01;
        m_markNext = 1;
    }
    return rc;
}

int CKVPrivateRecordFile::WriteFrame(const uint8_t* frame, int& size)
{
    m_lastStored = 0;
    if (!m_pFile || m_bRead || !frame || size < (int)sizeof(KVFrameHead))
        return -1;
    if (m_writeBroken)
        return -1;
    KVFrameHead fh;
    memcpy(&fh, frame, sizeof(fh));
    if ((uint64_t)fh.FrameSize + sizeof(fh) != (uint64_t)size)
        return -1;
    if (m_bWaitKey) {
        if (fh.FrameType != KV_FRAME_I)
            return 0;
    } else if (fh.FrameType == KV_FRAME_V && fh.FrameNo - KVFrameRefDistance(&fh) != m_refNo) {
        // Its reference is not the last 'I' written: everything up to the next 'I'
        // frame would decode wrong.
        m_bWaitKey = 1;
        return 0;
    }
    int len = size;
    if (CBaseRecordFile::WriteFrame(frame, len) != 0) {
        // Part of the record may be in the file: nothing more can go behind it safely.
        m_writeBroken = 1;
        m_lastStored = 0;
        return -1;
    }
    if (m_bWaitKey) {
        m_bWaitKey = 0;
        m_firstTime = fh.FrameTime;
        m_block.FirstKeyFlags = fh.Flags & KV_FRAME_FLAG_FIRSTKEY_MASK;
    }
    int rc = 0;
    if (fh.FrameType == KV_FRAME_I) {
        m_refOffset = m_writePos;
        m_refNo = fh.FrameNo;
    }
    if (fh.FrameType == KV_FRAME_I || fh.FrameType == KV_FRAME_V) {
        m_lastTime = fh.FrameTime;
        m_index.push_back({fh.FrameTime, m_writePos, m_refOffset, 0});
        if (CrossDay(m_lastTime))
            rc = 2;
    }
    m_writePos += (uint64_t)len;
    return rc;
}

const KVFileFrameIndexItem* CKVPrivateRecordFile::GetFrameIndex(uint64_t time) const
{
    if (m_index.empty())
        return nullptr;
    auto it = std::upper_bound(m_index.begin(), m_index.end(), time,
                               [](uint64_t t, const KVFileFrameIndexItem& e) { return t < e.time; });
    if (it == m_index.begin())
        return &m_index.front();
    return &*(it - 1);
}

int CKVPrivateRecordFile::SeekByTime(uint64_t time)
{
    // A writer's index is for its own close; seeking belongs to readers.
    if (!m_pFile || !m_bRead)
        return -1;
    const KVFileFrameIndexItem* e = GetFrameIndex(time);
    if (!e)
        return -1;
    if (fseeko(m_pFile, (off_t)e->refOffset, SEEK_SET) != 0)
        return -1;
    if (e->refOffset == e->offset) {
        m_pendingOffset = 0;
        // The leading reference-only frame is delivered marked, as after Open.
        m_markNext = e->refOnly ? 0 : 1;
    } else {
        m_pendingOffset = e->offset;
        m_markNext = 0;
    }
    return 0;
}

int CKVPrivateRecordFile::GetTimeRange(uint64_t& first, uint64_t& last)
{
    first = m_firstTime;
    last = m_lastTime;
    return 0;
}

int CKVPrivateRecordFile::GetKeyFrameCount()
{
    return (int)m_index.size();
}

int CKVPrivateRecordFile::SeekByKeyFrameIndex(int index)
{
    if (index < 0 || (size_t)index >= m_index.size())
        return -1;
    return SeekByTime(m_index[(size_t)index].time);
}
