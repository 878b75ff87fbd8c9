// The AVI library behind CKVAVIRecordFile: chunk writer with index and time table,
// reader with a video and an audio index, time seek and the repair of unfinished files.
// Every size read from a file is checked against the bytes the file still holds.
#include "avilib.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "KVNetTypes.h"

thread_local int AVI_errno = 0;

namespace {

const uint64_t kDefaultLimit = 2000000000ull;
std::atomic<uint64_t> g_sizeLimit{kDefaultLimit};

const char* const kErrors[] = {
    "avilib - No Error",
    "avilib - AVI file size limit reached",
    "avilib - Error opening AVI file",
    "avilib - Error reading from AVI file",
    "avilib - Error writing to AVI file",
    "avilib - Error writing index (file may still be useable)",
    "avilib - Error closing AVI file",
    "avilib - Operation (read/write) not permitted",
    "avilib - Out of memory (malloc failed)",
    "avilib - Not an AVI file",
    "avilib - AVI file has no header list (corrupted?)",
    "avilib - AVI file has no MOVI list (corrupted?)",
    "avilib - AVI file has no video data",
    "avilib - operation needs an index",
    "avilib - Unkown Error",
};

void put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }
void put16(uint8_t* p, uint16_t v) { memcpy(p, &v, 2); }
uint32_t get32(const uint8_t* p) { uint32_t v; memcpy(&v, p, 4); return v; }
uint16_t get16(const uint8_t* p) { uint16_t v; memcpy(&v, p, 2); return v; }
uint64_t get64(const uint8_t* p) { uint64_t v; memcpy(&v, p, 8); return v; }
void put4cc(uint8_t* p, const char* s) { memcpy(p, s, 4); }

int fail(int err)
{
    AVI_errno = err;
    return -1;
}

bool pread_all(int fd, void* buf, size_t len, uint64_t off)
{
    uint8_t* p = static_cast<uint8_t*>(buf);
    while (len) {
        ssize_t n = pread(fd, p, len, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
        off += (uint64_t)n;
    }
    return true;
}

bool preadv_all(int fd, struct iovec* iov, int cnt, uint64_t off)
{
    while (cnt > 0) {
        ssize_t n = preadv(fd, iov, cnt, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += (uint64_t)n;
        size_t done = (size_t)n;
        while (cnt > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

bool pwritev_all(int fd, struct iovec* iov, int cnt, uint64_t off)
{
    while (cnt > 0) {
        ssize_t n = pwritev(fd, iov, cnt, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += (uint64_t)n;
        size_t done = (size_t)n;
        while (cnt > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

bool pwrite_all(int fd, const void* buf, size_t len, uint64_t off)
{
    struct iovec iov = {const_cast<void*>(buf), len};
    return len == 0 || pwritev_all(fd, &iov, 1, off);
}

uint32_t us_per_frame(double fps)
{
    return fps < 0.001 ? 0 : (uint32_t)(int)(1000000.0 / fps + 0.5);
}

// The 2048-byte header from the handle. t: start of the closing JUNK chunk.
void build_header(const avi_handle* a, uint8_t* h, bool indexWritten, bool withAudio,
                  uint64_t fileLength, uint64_t moviEnd)
{
    memset(h, 0, AVI_HEADER_BYTES);
    const uint32_t t = withAudio ? 320 : 212;
    const uint32_t usf = us_per_frame(a->fps);
    const char* comp = a->compressor[0] ? a->compressor : "H264";
    put4cc(h + 0, "RIFF");
    put32(h + 4, (uint32_t)(fileLength - 8));
    put4cc(h + 8, "AVI ");
    put4cc(h + 12, "LIST");
    put32(h + 16, t - 20);
    put4cc(h + 20, "hdrl");
    put4cc(h + 24, "avih");
    put32(h + 28, 56);
    put32(h + 32, usf);
    put32(h + 36, 10000000);
    put32(h + 44, indexWritten ? 0x10030 : 0x10020);
    put32(h + 48, (uint32_t)a->videoFrames);
    put32(h + 56, withAudio ? 2 : 1);
    put32(h + 64, (uint32_t)a->width);
    put32(h + 68, (uint32_t)a->height);
    put4cc(h + 88, "LIST");
    put32(h + 92, 116);
    put4cc(h + 96, "strl");
    put4cc(h + 100, "strh");
    put32(h + 104, 56);
    put4cc(h + 108, "vids");
    memcpy(h + 112, comp, 4);
    put32(h + 116, 1);
    put32(h + 128, usf);
    put32(h + 132, 1000000);
    put32(h + 140, (uint32_t)a->videoFrames);
    put32(h + 152, 0xFFFFFFFFu);
    put4cc(h + 164, "strf");
    put32(h + 168, 40);
    put32(h + 172, 40);
    put32(h + 176, (uint32_t)a->width);
    put32(h + 180, (uint32_t)a->height);
    put16(h + 184, 1);
    put16(h + 186, (uint16_t)(a->bitCount ? a->bitCount : 12));
    memcpy(h + 188, comp, 4);
    put32(h + 192, (uint32_t)(a->width * a->height * 4));
    if (withAudio) {
        const uint32_t block = (uint32_t)a->audioBlock;
        put4cc(h + 212, "LIST");
        put32(h + 216, 100);
        put4cc(h + 220, "strl");
        put4cc(h + 224, "strh");
        put32(h + 228, 64);
        put4cc(h + 232, "auds");
        put32(h + 252, block);
        put32(h + 256, (uint32_t)(a->audioBitRate / 8));
        put32(h + 264, block ? (uint32_t)(a->audioBytes / block) : 0);
        put32(h + 272, 0xFFFFFFFFu);
        put32(h + 276, block);
        put4cc(h + 296, "strf");
        put32(h + 300, 16);
        put16(h + 304, (uint16_t)a->audioFormat);
        put16(h + 306, (uint16_t)a->audioChannels);
        put32(h + 308, (uint32_t)a->audioRate);
        put32(h + 312, (uint32_t)(a->audioBitRate / 8));
        put16(h + 316, (uint16_t)block);
        put16(h + 318, (uint16_t)a->audioBits);
    }
    put4cc(h + t, "JUNK");
    put32(h + t + 4, 2028 - t);
    put32(h + t + 12, (uint32_t)(a->lastTime - a->firstTime));
    put4cc(h + 2036, "LIST");
    put32(h + 2040, (uint32_t)(moviEnd - 2044));
    put4cc(h + 2044, "movi");
}

// Writes the header at offset 0 and cuts the file at the current length.
bool update_header(avi_handle* a, bool indexWritten, bool withAudio, uint64_t moviEnd)
{
    uint8_t h[AVI_HEADER_BYTES];
    build_header(a, h, indexWritten, withAudio, a->pos, moviEnd);
    a->headerUpdates++;
    return pwrite_all(a->fd, h, sizeof(h), 0) && ftruncate(a->fd, (off_t)a->pos) == 0;
}

bool has_audio_list(const avi_handle* a)
{
    return a->audioChannels > 0 && a->audioBytes > 0;
}

int write_chunk(avi_handle* a, const char* fourcc, const uint8_t* data, long len, int key,
                const uint8_t* head, int headLen, bool video)
{
    if (!a)
        return fail(AVI_ERR_NOT_PERM);
    if (a->mode != AVI_MODE_WRITE)
        return fail(AVI_ERR_NOT_PERM);
    if (len < 0 || headLen < 0 || (len > 0 && !data) || (headLen > 0 && !head))
        return fail(AVI_ERR_WRITE);
    if (a->pos + (uint64_t)len + (uint64_t)headLen + 16u * a->idx.size() + 32u > a->sizeLimit)
        return fail(AVI_ERR_SIZELIM);

    // The header is rewritten before the first and second video chunk and the first audio
    // chunk, so that an unfinished file already names its codec and streams.
    bool firstAudio = !video && a->audioChunks == 0;
    if ((video && a->videoFrames < 2) || firstAudio) {
        bool withAudio = firstAudio || has_audio_list(a);
        if (!update_header(a, false, withAudio, a->pos))
            return fail(AVI_ERR_WRITE);
    }

    try {
        avi_index_entry e;
        memcpy(e.fourcc, fourcc, 4);
        e.flags = key ? 0x10 : 0;
        e.pos = (uint32_t)a->pos;
        e.len = (uint32_t)len;
        if (a->idx.size() == a->idx.capacity())
            a->idx.reserve(a->idx.size() + 4096);
        a->idx.push_back(e);
        if (video && a->times.size() == a->times.capacity())
            a->times.reserve(a->times.size() + 4096);
    } catch (const std::bad_alloc&) {
        return fail(AVI_ERR_NO_MEM);
    }

    uint8_t hdr[8];
    memcpy(hdr, fourcc, 4);
    put32(hdr + 4, (uint32_t)len);
    static const uint8_t zero = 0;
    struct iovec iov[4];
    int n = 0;
    iov[n++] = {hdr, 8};
    if (len)
        iov[n++] = {const_cast<uint8_t*>(data), (size_t)len};
    if (headLen)
        iov[n++] = {const_cast<uint8_t*>(head), (size_t)headLen};
    uint64_t total = 8 + (uint64_t)len + (uint64_t)headLen;
    if (((uint64_t)len + (uint64_t)headLen) & 1) {
        iov[n++] = {const_cast<uint8_t*>(&zero), 1};
        total++;
    }
    if (!pwritev_all(a->fd, iov, n, a->pos)) {
        a->idx.pop_back();
        return fail(AVI_ERR_WRITE);
    }

    uint64_t t = 0;
    if (head && headLen >= 24)
        t = get64(head + 16);
    if (!a->haveTime) {
        a->firstTime = t / 1000000u;
        a->haveTime = true;
    }
    a->lastTime = t / 1000000u;
    if (video) {
        a->times.push_back(t);
        a->lastVideoPos = a->pos;
        a->lastVideoLen = (uint64_t)len;
        a->videoFrames++;
    } else {
        a->audioBytes += (uint64_t)len;
        a->audioChunks++;
    }
    a->pos += total;
    return 0;
}

bool video_tag_match(const avi_handle* a, const uint8_t* fourcc)
{
    return memcmp(fourcc, a->videoTag, 3) == 0;
}

bool audio_tag_match(const avi_handle* a, const uint8_t* fourcc)
{
    return memcmp(fourcc, a->audioTag, 4) == 0;
}

// Stream headers of "hdrl": compressor, rate, frames and size of the first video stream,
// format of the first audio stream.
bool parse_hdrl(avi_handle* a, const uint8_t* p, size_t n)
{
    int streams = 0, last = 0;  // last stream header: 1 video, 2 audio, 0 other
    bool video = false, audio = false, videoFormat = false;
    size_t i = 0;
    while (i + 8 <= n) {
        const uint8_t* c = p + i;
        uint32_t size = get32(c + 4);
        if (memcmp(c, "LIST", 4) == 0) {
            i += 12;  // into the list
            continue;
        }
        if (size > n - i - 8)
            break;
        const uint8_t* d = c + 8;
        if (memcmp(c, "strh", 4) == 0 && size >= 4) {
            last = 0;
            if (memcmp(d, "vids", 4) == 0 && !video && size >= 36) {
                video = true;
                last = 1;
                memcpy(a->compressor, d + 4, 4);
                a->compressor[4] = 0;
                uint32_t scale = get32(d + 20), rate = get32(d + 24);
                if (scale)
                    a->fps = (double)rate / scale;
                a->videoFrames = get32(d + 32);
                snprintf(a->videoTag, sizeof(a->videoTag), "%02ddb", streams % 100);
            } else if (memcmp(d, "auds", 4) == 0 && !audio) {
                audio = true;
                last = 2;
                if (size >= 24)
                    a->audioScaleRead = get32(d + 20);
                snprintf(a->audioTag, sizeof(a->audioTag), "%02dwb", streams % 100);
            }
            streams++;
        } else if (memcmp(c, "strf", 4) == 0) {
            if (last == 1 && size >= 12) {
                a->width = (int)get32(d + 4);
                a->height = (int)get32(d + 8);
                videoFormat = true;
            } else if (last == 2 && size >= 16) {
                a->audioFormat = get16(d);
                a->audioChannels = get16(d + 2);
                a->audioRate = (int)get32(d + 4);
                a->audioBlock = get16(d + 12);
                a->audioBits = get16(d + 14);
            }
            last = 0;
        }
        i += 8 + (uint64_t)size + (size & 1);
    }
    if (!audio)
        memcpy(a->audioTag, "99wb", 5);
    return video && videoFormat;
}

void add_entry(avi_handle* a, const uint8_t* fourcc, uint32_t flags, uint64_t pos, uint32_t len)
{
    avi_index_entry e;
    memcpy(e.fourcc, fourcc, 4);
    e.flags = flags;
    e.pos = (uint32_t)pos;
    e.len = len;
    a->idx.push_back(e);
}

// Rebuilds the index from the chunks of "movi" by their declared sizes.
void walk_movi(avi_handle* a)
{
    a->idx.clear();
    uint64_t pos = a->moviStart;
    uint8_t h[8];
    while (pos + 8 <= a->fileSize && pread_all(a->fd, h, 8, pos)) {
        uint32_t size = get32(h + 4);
        if (memcmp(h, "LIST", 4) == 0) {
            pos += 12;
            continue;
        }
        bool vid = (h[2] == 'd' || h[2] == 'D') &&
                   (h[3] == 'b' || h[3] == 'c' || h[3] == 'B' || h[3] == 'C');
        bool aud = (h[2] == 'w' || h[2] == 'W') && (h[3] == 'b' || h[3] == 'B');
        if ((vid || aud) && pos <= 0xFFFFFFFFu)
            add_entry(a, h, 0, pos, size);
        pos += 8 + (uint64_t)size + (size & 1);
    }
}

void mark_frame(uint8_t* head)
{
    head[7] |= 0x01;  // bit 8 of the flags field
}

}  // namespace

void AVI_set_size_limit(uint64_t bytes) { g_sizeLimit = bytes ? bytes : kDefaultLimit; }
uint64_t AVI_get_size_limit() { return g_sizeLimit; }

avi_handle* AVI_open_output_file(const char* path)
{
    avi_handle* a = new (std::nothrow) avi_handle;
    if (!a) {
        AVI_errno = AVI_ERR_NO_MEM;
        return nullptr;
    }
    a->fd = path ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (a->fd < 0) {
        delete a;
        AVI_errno = AVI_ERR_OPEN;
        return nullptr;
    }
    a->mode = AVI_MODE_WRITE;
    a->pos = AVI_HEADER_BYTES;
    a->sizeLimit = g_sizeLimit;
    return a;
}

void AVI_set_video(avi_handle* a, int width, int height, double fps, const char* compressor,
                   int bitCount)
{
    if (!a || a->mode != AVI_MODE_WRITE)
        return;
    a->width = width;
    a->height = height;
    a->fps = fps;
    memset(a->compressor, 0, sizeof(a->compressor));
    if (compressor)
        strncpy(a->compressor, compressor, 4);
    a->bitCount = bitCount;
}

void AVI_set_audio(avi_handle* a, int channels, long rate, int bits, int blockBytes,
                   long bitRate, int format)
{
    if (!a || a->mode != AVI_MODE_WRITE)
        return;
    a->audioChannels = channels;
    a->audioRate = (int)rate;
    a->audioBits = bits;
    a->audioBlock = blockBytes;
    a->audioBitRate = bitRate;
    a->audioFormat = format;
}

int AVI_write_frame(avi_handle* a, const uint8_t* data, long len, int keyframe,
                    const uint8_t* head, int headLen)
{
    return write_chunk(a, keyframe ? "00db" : "00dc", data, len, keyframe, head, headLen, true);
}

int AVI_write_audio(avi_handle* a, const uint8_t* data, long len, const uint8_t* head,
                    int headLen)
{
    return write_chunk(a, "01wb", data, len, 0, head, headLen, false);
}

int AVI_dup_frame(avi_handle* a)
{
    if (!a || a->mode != AVI_MODE_WRITE)
        return fail(AVI_ERR_NOT_PERM);
    if (a->videoFrames == 0)
        return fail(AVI_ERR_NOT_PERM);
    try {
        add_entry(a, reinterpret_cast<const uint8_t*>("00db"), 0x10, a->lastVideoPos,
                  (uint32_t)a->lastVideoLen);
    } catch (const std::bad_alloc&) {
        return fail(AVI_ERR_NO_MEM);
    }
    a->videoFrames++;
    a->mustUseIndex = 1;
    return 0;
}

long AVI_bytes_remain(avi_handle* a)
{
    if (!a || a->mode != AVI_MODE_WRITE)
        return 0;
    return (long)(1999999992ll - 16ll * (long long)a->idx.size() - (long long)a->pos);
}

int AVI_close(avi_handle* a)
{
    if (!a)
        return fail(AVI_ERR_CLOSE);
    int rc = 0;
    if (a->mode == AVI_MODE_WRITE) {
        uint64_t moviEnd = a->pos;
        // "idx1": every chunk with its absolute offset.
        uint8_t h[8];
        put4cc(h, "idx1");
        put32(h + 4, (uint32_t)(16 * a->idx.size()));
        struct iovec iov[2] = {{h, 8}, {a->idx.data(), 16 * a->idx.size()}};
        bool indexOk = pwritev_all(a->fd, iov, a->idx.empty() ? 1 : 2, a->pos);
        if (indexOk) {
            a->pos += 8 + 16 * a->idx.size();
            uint8_t j[8];
            put4cc(j, "JUNK");
            put32(j + 4, (uint32_t)(8 * a->times.size()));
            struct iovec jv[2] = {{j, 8}, {a->times.data(), 8 * a->times.size()}};
            if (pwritev_all(a->fd, jv, a->times.empty() ? 1 : 2, a->pos))
                a->pos += 8 + 8 * a->times.size();
            else
                indexOk = false;
        }
        if (!indexOk) {
            rc = fail(AVI_ERR_WRITE_INDEX);
            a->pos = moviEnd;
        }
        if (!update_header(a, indexOk, has_audio_list(a), moviEnd) && rc == 0)
            rc = fail(AVI_ERR_CLOSE);
    }
    if (a->fd >= 0 && close(a->fd) != 0 && a->mode == AVI_MODE_WRITE && rc == 0)
        rc = fail(AVI_ERR_CLOSE);
    delete a;
    return rc;
}

avi_handle* AVI_open_input_file(const char* path, int getIndex)
{
    avi_handle* a = new (std::nothrow) avi_handle;
    if (!a) {
        AVI_errno = AVI_ERR_NO_MEM;
        return nullptr;
    }
    a->mode = AVI_MODE_READ;
    a->fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st;
    if (a->fd < 0 || fstat(a->fd, &st) != 0) {
        AVI_errno = AVI_ERR_OPEN;
        AVI_close(a);
        AVI_errno = AVI_ERR_OPEN;
        return nullptr;
    }
    a->fileSize = (uint64_t)st.st_size;
    auto refuse = [&](int err) -> avi_handle* {
        AVI_close(a);
        AVI_errno = err;
        return nullptr;
    };
    try {
        uint8_t h[12];
        if (!pread_all(a->fd, h, 12, 0))
            return refuse(AVI_ERR_READ);
        if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "AVI ", 4) != 0)
            return refuse(AVI_ERR_NO_AVI);

        std::vector<uint8_t> hdrl;
        bool haveHdrl = false, haveIdx1 = false;
        uint64_t pos = 12;
        while (pos + 8 <= a->fileSize) {
            if (!pread_all(a->fd, h, 8, pos))
                return refuse(AVI_ERR_READ);
            uint64_t size = get32(h + 4);
            uint64_t left = a->fileSize - pos - 8;
            if (memcmp(h, "LIST", 4) == 0 && pos + 12 <= a->fileSize) {
                uint8_t type[4];
                if (!pread_all(a->fd, type, 4, pos + 8))
                    return refuse(AVI_ERR_READ);
                if (memcmp(type, "hdrl", 4) == 0 && !haveHdrl && size >= 4) {
                    uint64_t n = size - 4 < left - 4 ? size - 4 : left - 4;
                    hdrl.resize((size_t)n);
                    if (n && !pread_all(a->fd, hdrl.data(), (size_t)n, pos + 12))
                        return refuse(AVI_ERR_READ);
                    haveHdrl = true;
                } else if (memcmp(type, "movi", 4) == 0 && !a->moviStart) {
                    a->moviStart = pos + 12;
                }
            } else if (memcmp(h, "idx1", 4) == 0 && !haveIdx1) {
                uint64_t n = (size < left ? size : left) / 16;
                a->idx.resize((size_t)n);
                if (n && !pread_all(a->fd, a->idx.data(), (size_t)n * 16, pos + 8))
                    return refuse(AVI_ERR_READ);
                haveIdx1 = true;
                uint64_t next = pos + 8 + size + (size & 1);
                uint8_t j[8];
                if (next + 8 <= a->fileSize && pread_all(a->fd, j, 8, next) &&
                    memcmp(j, "JUNK", 4) == 0) {
                    uint64_t js = get32(j + 4);
                    uint64_t jl = a->fileSize - next - 8;
                    uint64_t m = (js < jl ? js : jl) / 8;
                    a->times.resize((size_t)m);
                    if (m && !pread_all(a->fd, a->times.data(), (size_t)m * 8, next + 8))
                        return refuse(AVI_ERR_READ);
                    pos = next + 8 + js + (js & 1);
                    continue;
                }
            }
            pos += 8 + size + (size & 1);
        }
        if (!haveHdrl)
            return refuse(AVI_ERR_NO_HDRL);
        if (!a->moviStart)
            return refuse(AVI_ERR_NO_MOVI);
        if (!parse_hdrl(a, hdrl.data(), hdrl.size()))
            return refuse(AVI_ERR_NO_VIDS);

        a->pos = a->moviStart;
        if (!getIndex)
            return a;

        uint64_t base = 0;
        bool useIdx = false;
        if (haveIdx1) {
            for (const avi_index_entry& e : a->idx) {
                if (!video_tag_match(a, reinterpret_cast<const uint8_t*>(e.fourcc)))
                    continue;
                uint8_t c[8];
                if (pread_all(a->fd, c, 8, e.pos) && memcmp(c, e.fourcc, 4) == 0 &&
                    get32(c + 4) == e.len) {
                    useIdx = true;
                } else if (a->moviStart >= 4 &&
                           pread_all(a->fd, c, 8, a->moviStart - 4 + e.pos) &&
                           memcmp(c, e.fourcc, 4) == 0 && get32(c + 4) == e.len) {
                    useIdx = true;
                    base = a->moviStart - 4;
                }
                break;
            }
        }
        if (!useIdx) {
            base = 0;
            walk_movi(a);
        }
        uint64_t tot = 0;
        for (const avi_index_entry& e : a->idx) {
            const uint8_t* f = reinterpret_cast<const uint8_t*>(e.fourcc);
            uint64_t data = base + e.pos + 8;
            // An entry whose data lies beyond the end of the file cannot be read.
            if (data > a->fileSize || e.len > a->fileSize - data)
                continue;
            if (video_tag_match(a, f)) {
                avi_video_entry v{};
                v.pos = data;
                v.len = e.len;
                v.key = memcmp(f, a->videoTag, 4) == 0;
                a->vidx.push_back(v);
            } else if (audio_tag_match(a, f)) {
                a->aidx.push_back({data, e.len, tot});
                tot += e.len;
            }
        }
        a->audioBytes = tot;
        a->audioChunks = a->aidx.size();
        if (a->vidx.empty())
            return refuse(AVI_ERR_NO_VIDS);
    } catch (const std::bad_alloc&) {
        return refuse(AVI_ERR_NO_MEM);
    }
    a->videoFrames = (int64_t)a->vidx.size();
    a->timesSorted = true;
    for (size_t i = 1; i < a->times.size(); i++)
        if (a->times[i] < a->times[i - 1])
            a->timesSorted = false;
    a->pos = a->moviStart;
    a->videoPos = 0;
    a->pendingPos = 0;
    a->markNext = 1;
    a->firstEntryCounts = 1;
    AVI_read_ref_frame_info(a);
    return a;
}

void AVI_read_ref_frame_info(avi_handle* a)
{
    if (!a || a->mode != AVI_MODE_READ)
        return;
    uint64_t refPos = 0;
    uint32_t refIndex = 0;
    KVFrameHead first{}, second{};
    for (size_t i = 0; i < a->vidx.size(); i++) {
        avi_video_entry& v = a->vidx[i];
        v.refOnly = 0;
        KVFrameHead fh;
        if (pread_all(a->fd, &fh, sizeof(fh), v.pos + v.len) && fh.Magic == KV_FRAME_MAGIC) {
            if (fh.FrameType == KV_FRAME_I) {
                refPos = v.pos;
                refIndex = (uint32_t)i;
            } else if (fh.FrameType == KV_FRAME_V) {
                v.key = 1;
            }
            if (i == 0)
                first = fh;
            else if (i == 1)
                second = fh;
        }
        v.refPos = refPos;
        v.refIndex = refIndex;
    }
    // A file that begins with the reference of its second frame, a 'V' frame.
    if (a->vidx.size() >= 2 && first.Magic == KV_FRAME_MAGIC && second.Magic == KV_FRAME_MAGIC &&
        second.FrameType == KV_FRAME_V && first.FrameType == KV_FRAME_I &&
        second.FrameNo - KVFrameRefDistance(&second) == first.FrameNo) {
        a->vidx[0].refOnly = 1;
        a->markNext = 0;
        a->firstEntryCounts = 0;
    }
}

int AVI_read_data(avi_handle* a, uint8_t* buf, long capacity)
{
    if (!a || a->mode != AVI_MODE_READ || !buf || capacity <= 0)
        return 0;
    uint8_t h[8];
    for (;;) {
        if (a->pos + 8 > a->fileSize || !pread_all(a->fd, h, 8, a->pos))
            return 0;
        uint64_t size = get32(h + 4);
        if (memcmp(h, "LIST", 4) == 0) {
            a->pos += 12;
            continue;
        }
        bool vid = video_tag_match(a, h), aud = !vid && audio_tag_match(a, h);
        if (!vid && !aud) {
            a->pos += 8 + size + (size & 1);
            continue;
        }
        const uint64_t rec = vid ? AVI_VIDEO_RECORD : AVI_AUDIO_RECORD;
        const uint64_t span = size + rec + ((size + rec) & 1);
        // A chunk cut by the end of the file ends the reading: no stale bytes.
        if (span > a->fileSize - a->pos - 8)
            return 0;
        if ((uint64_t)capacity < size + rec) {
            a->pos += 8 + span;
            return vid ? -1 : -2;
        }
        if (vid) {
            // Data behind the head's place, then the record (the head) in front: one read.
            struct iovec iov[2] = {{buf + AVI_VIDEO_RECORD, (size_t)size}, {buf, AVI_VIDEO_RECORD}};
            if (!preadv_all(a->fd, iov, 2, a->pos + 8))
                return 0;
            // The delivered head describes the delivered payload.
            put32(buf + 12, (uint32_t)size);
            if (a->markNext == 0) {
                mark_frame(buf);
                a->markNext = 1;
            }
            a->pos += 8 + span;
            if (a->pendingPos) {
                a->pos = a->pendingPos;
                a->pendingPos = 0;
            }
            return 1;
        }
        uint8_t r[AVI_AUDIO_RECORD];
        struct iovec iov[2] = {{buf + 44, (size_t)size}, {r, sizeof(r)}};
        if (!preadv_all(a->fd, iov, 2, a->pos + 8))
            return 0;
        memcpy(buf, r, 40);
        memcpy(buf + 40, r + 40, 4);
        put32(buf + 12, (uint32_t)(size + 4));
        a->pos += 8 + span;
        return 2;
    }
}

void AVI_seek_by_time(avi_handle* a, uint64_t time)
{
    if (!a || a->mode != AVI_MODE_READ || a->times.empty() || a->vidx.empty())
        return;
    size_t n = a->times.size() < a->vidx.size() ? a->times.size() : a->vidx.size();
    // Times of a well-formed file rise: start the downward search at the last frame
    // earlier than the time instead of at the end of a long table.
    size_t from = n - 1;
    if (a->timesSorted) {
        size_t lo = 0, hi = n;  // first index whose time is not earlier
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (a->times[mid] < time)
                lo = mid + 1;
            else
                hi = mid;
        }
        from = lo ? lo - 1 : 0;
    }
    for (size_t i = from; i >= 1; i--) {
        const avi_video_entry& v = a->vidx[i];
        if (!(a->times[i] < time) || !v.key || v.refOnly)
            continue;
        if (v.refPos == v.pos || v.refPos < 8) {
            a->pos = v.pos - 8;
            a->pendingPos = 0;
        } else {
            a->pos = v.refPos - 8;
            a->pendingPos = v.pos - 8;
            a->markNext = 0;
        }
        return;
    }
    a->pos = a->vidx[0].pos - 8;
    a->pendingPos = 0;
    if (a->firstEntryCounts == 0)
        a->markNext = 0;
}

void AVI_get_time_range(avi_handle* a, uint64_t* first, uint64_t* last)
{
    uint64_t f = 0, l = 0;
    if (a && !a->times.empty()) {
        f = (a->firstEntryCounts == 0 && a->times.size() > 1) ? a->times[1] : a->times[0];
        l = a->times.back();
    }
    if (first)
        *first = f;
    if (last)
        *last = l;
}

uint64_t AVI_get_first_frame_time(avi_handle* a)
{
    return a && !a->times.empty() ? a->times[0] : 0;
}

int AVI_repair(const char* path)
{
    int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0)
        return fail(AVI_ERR_OPEN);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st;
    uint8_t hdr[AVI_HEADER_BYTES];
    if (fstat(fd, &st) != 0 || !pread_all(fd, hdr, sizeof(hdr), 0))
        return fail(AVI_ERR_OPEN);
    if (memcmp(hdr, "RIFF", 4) != 0 || memcmp(hdr + 8, "AVI ", 4) != 0)
        return fail(AVI_ERR_NO_AVI);
    if (get32(hdr + 44) & 0x10)
        return 0;  // closed properly: the index is there

    const uint64_t fsize = (uint64_t)st.st_size;
    avi_handle a;
    a.fd = -1;
    std::vector<avi_index_entry> idx;
    std::vector<uint64_t> times;
    uint64_t pos = AVI_HEADER_BYTES, frames = 0, audioBytes = 0, firstT = 0, lastT = 0;
    bool haveT = false;
    try {
        uint8_t h[8];
        while (pos + 8 <= fsize && pread_all(fd, h, 8, pos)) {
            bool key = memcmp(h, "00db", 4) == 0;
            bool vid = key || memcmp(h, "00dc", 4) == 0;
            bool aud = memcmp(h, "01wb", 4) == 0;
            if (!vid && !aud)
                break;
            uint64_t size = get32(h + 4);
            uint64_t rec = vid ? AVI_VIDEO_RECORD : AVI_AUDIO_RECORD;
            uint64_t span = 8 + size + rec + ((size + rec) & 1);
            if (span > fsize - pos || pos > 0xFFFFFFFFu)
                break;  // cut in the middle of a chunk: keep what came before
            uint8_t r[24];
            if (!pread_all(fd, r, sizeof(r), pos + 8 + size))
                break;
            uint64_t t = get64(r + 16);
            avi_index_entry e;
            memcpy(e.fourcc, h, 4);
            e.flags = key ? 0x10 : 0;
            e.pos = (uint32_t)pos;
            e.len = (uint32_t)size;
            idx.push_back(e);
            if (!haveT) {
                firstT = t / 1000000u;
                haveT = true;
            }
            lastT = t / 1000000u;
            if (vid) {
                times.push_back(t);
                frames++;
            } else {
                audioBytes += size;
            }
            pos += span;
        }
    } catch (const std::bad_alloc&) {
        return fail(AVI_ERR_NO_MEM);
    }

    const uint64_t moviEnd = pos;
    uint8_t h[8];
    put4cc(h, "idx1");
    put32(h + 4, (uint32_t)(16 * idx.size()));
    struct iovec iov[2] = {{h, 8}, {idx.data(), 16 * idx.size()}};
    bool indexOk = pwritev_all(fd, iov, idx.empty() ? 1 : 2, pos);
    if (indexOk) {
        pos += 8 + 16 * idx.size();
        uint8_t j[8];
        put4cc(j, "JUNK");
        put32(j + 4, (uint32_t)(8 * times.size()));
        struct iovec jv[2] = {{j, 8}, {times.data(), 8 * times.size()}};
        if (pwritev_all(fd, jv, times.empty() ? 1 : 2, pos))
            pos += 8 + 8 * times.size();
        else
            indexOk = false;
    }
    if (!indexOk) {
        AVI_errno = AVI_ERR_WRITE_INDEX;
        pos = moviEnd;
    }

    const bool audio = audioBytes > 0;
    const uint32_t t = audio ? 320 : 212;
    put32(hdr + 4, (uint32_t)(pos - 8));
    put32(hdr + 44, indexOk ? 0x10030 : 0x10000);
    put32(hdr + 48, (uint32_t)frames);
    put32(hdr + 140, (uint32_t)frames);
    put32(hdr + 56, audio ? 2 : 1);
    put32(hdr + 92, 116);
    if (audio) {
        // A header without an audio scale cannot give a length in blocks: leave it 0.
        uint32_t scale = get32(hdr + 252);
        put32(hdr + 264, scale ? (uint32_t)(audioBytes / scale) : 0);
        put32(hdr + 216, 100);
    }
    put32(hdr + 16, t - 20);
    memset(hdr + t, 0, 2036 - t);
    put4cc(hdr + t, "JUNK");
    put32(hdr + t + 4, 2028 - t);
    put32(hdr + t + 12, (uint32_t)(lastT - firstT));
    put4cc(hdr + 2036, "LIST");
    put32(hdr + 2040, (uint32_t)(moviEnd - 2044));
    put4cc(hdr + 2044, "movi");
    if (!pwrite_all(fd, hdr, sizeof(hdr), 0) || ftruncate(fd, (off_t)pos) != 0)
        return fail(AVI_ERR_CLOSE);
    return indexOk ? 0 : -1;
}

int AVI_seek_start(avi_handle* a)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    a->pos = a->moviStart;
    a->videoPos = 0;
    a->audioPos = 0;
    a->audioPosc = 0;
    a->pendingPos = 0;
    return 0;
}

int AVI_set_video_position(avi_handle* a, long frame, long* len)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->vidx.empty())
        return fail(AVI_ERR_NO_IDX);
    if (frame < 0)
        frame = 0;
    if ((uint64_t)frame >= a->vidx.size())
        return -1;
    a->videoPos = frame;
    if (len)
        *len = (long)a->vidx[(size_t)frame].len;
    return 0;
}

long AVI_read_frame(avi_handle* a, uint8_t* buf)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->vidx.empty())
        return fail(AVI_ERR_NO_IDX);
    if (a->videoPos < 0 || (uint64_t)a->videoPos >= a->vidx.size())
        return 0;
    const avi_video_entry& v = a->vidx[(size_t)a->videoPos];
    if (v.len && (!buf || !pread_all(a->fd, buf, (size_t)v.len, v.pos)))
        return fail(AVI_ERR_READ);
    a->videoPos++;
    return (long)v.len;
}

long AVI_frame_size(avi_handle* a, long frame)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->vidx.empty())
        return fail(AVI_ERR_NO_IDX);
    if (frame < 0 || (uint64_t)frame >= a->vidx.size())
        return 0;
    return (long)a->vidx[(size_t)frame].len;
}

int AVI_set_audio_position(avi_handle* a, long byte)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->aidx.empty())
        return fail(AVI_ERR_NO_IDX);
    if (byte < 0)
        byte = 0;
    size_t lo = 0, hi = a->aidx.size();
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (a->aidx[mid].tot > (uint64_t)byte)
            hi = mid;
        else
            lo = mid;
    }
    a->audioPos = (int64_t)lo;
    a->audioPosc = (uint64_t)byte - a->aidx[lo].tot;
    return 0;
}

int AVI_set_audio_frame(avi_handle* a, long chunk, long* len)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->aidx.empty())
        return fail(AVI_ERR_NO_IDX);
    if ((uint64_t)a->audioPos + 1 >= a->aidx.size() || chunk < 0 ||
        (uint64_t)chunk >= a->aidx.size())
        return -1;
    a->audioPos = chunk;
    a->audioPosc = 0;
    if (len)
        *len = (long)a->aidx[(size_t)chunk].len;
    return 0;
}

long AVI_read_audio(avi_handle* a, uint8_t* buf, long bytes)
{
    if (!a || a->mode != AVI_MODE_READ)
        return fail(AVI_ERR_NOT_PERM);
    if (a->aidx.empty())
        return fail(AVI_ERR_NO_IDX);
    long done = 0;
    while (bytes > done && a->audioPos >= 0 && (uint64_t)a->audioPos < a->aidx.size()) {
        const avi_audio_entry& e = a->aidx[(size_t)a->audioPos];
        uint64_t left = e.len > a->audioPosc ? e.len - a->audioPosc : 0;
        uint64_t n = (uint64_t)(bytes - done) < left ? (uint64_t)(bytes - done) : left;
        if (n && !pread_all(a->fd, buf + done, (size_t)n, e.pos + a->audioPosc))
            return fail(AVI_ERR_READ);
        done += (long)n;
        a->audioPosc += n;
        if (a->audioPosc >= e.len) {
            a->audioPos++;
            a->audioPosc = 0;
        }
    }
    return done;
}

long AVI_video_frames(avi_handle* a) { return a ? (long)a->videoFrames : 0; }
int AVI_video_width(avi_handle* a) { return a ? a->width : 0; }
int AVI_video_height(avi_handle* a) { return a ? a->height : 0; }
double AVI_video_frame_rate(avi_handle* a) { return a ? a->fps : 0; }
const char* AVI_video_compressor(avi_handle* a) { return a ? a->compressor : ""; }
int AVI_audio_channels(avi_handle* a) { return a ? a->audioChannels : 0; }
int AVI_audio_bits(avi_handle* a) { return a ? a->audioBits : 0; }
int AVI_audio_format(avi_handle* a) { return a ? a->audioFormat : 0; }
long AVI_audio_rate(avi_handle* a) { return a ? a->audioRate : 0; }
long AVI_audio_bytes(avi_handle* a) { return a ? (long)a->audioBytes : 0; }

const char* AVI_strerror()
{
    static thread_local char text[512];
    int e = AVI_errno;
    const char* msg = kErrors[(e < 0 || e > 14) ? 14 : e];
    if (e >= 2 && e <= 6) {
        char reason[256];
        const char* r = strerror_r(errno, reason, sizeof(reason));
        snprintf(text, sizeof(text), "%s - %s", msg, r);
        return text;
    }
    return msg;
}

void AVI_print_error(const char* text)
{
    int e = AVI_errno;
    const char* msg = kErrors[(e < 0 || e > 14) ? 14 : e];
    fprintf(stderr, "%s: %s\n", text ? text : "", msg);
    if (e >= 2 && e <= 6)
        fprintf(stderr, "REASON: %s\n", strerror(errno));
}
