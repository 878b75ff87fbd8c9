#include "test_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

std::string MediaPath(const std::string& name)
{
    static bool made = false;
    if (!made) {
        std::string cmd = std::string(KV_RECFILE_SCRIPT) + " " + KV_RECFILE_MEDIA_DIR;
        if (system(cmd.c_str()) != 0)
            throw std::runtime_error("cannot make the test media");
        made = true;
    }
    return std::string(KV_RECFILE_MEDIA_DIR) + "/" + name;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
}

std::vector<TestFrame> LoadFrames(const std::string& path)
{
    std::vector<uint8_t> d = ReadFileBytes(path);
    std::vector<TestFrame> out;
    size_t pos = 0;
    while (pos + 40 <= d.size()) {
        TestFrame f;
        memcpy(&f.head, &d[pos], 40);
        if (f.head.Magic != KV_FRAME_MAGIC || pos + 40 + f.head.FrameSize > d.size())
            break;
        f.bytes.assign(d.begin() + (long)pos, d.begin() + (long)(pos + 40 + f.head.FrameSize));
        out.push_back(std::move(f));
        pos += (f.head.FrameSize + 47) & ~7u;
    }
    return out;
}

TestFrame MakeFrame(char type, uint32_t no, uint64_t time, uint32_t payloadSize, uint8_t encode,
                    uint8_t fill)
{
    TestFrame f;
    memset(&f.head, 0, sizeof(f.head));
    f.head.Magic = KV_FRAME_MAGIC;
    f.head.FrameType = (uint8_t)type;
    f.head.EncodeType = encode;
    f.head.FrameNo = no;
    f.head.FrameSize = payloadSize;
    f.head.FrameTime = time;
    f.head.Reserved = 0x1122334455667788ull;
    f.head.Format.Video.Width = 640;
    f.head.Format.Video.Height = 360;
    f.head.Format.Video.Fps = 25;
    f.bytes.resize(40 + payloadSize);
    memcpy(f.bytes.data(), &f.head, 40);
    for (uint32_t i = 0; i < payloadSize; i++)
        f.bytes[40 + i] = (uint8_t)(fill + i * 7 + no);
    return f;
}

TestFrame MakeAudio(uint8_t encode, uint32_t no, uint64_t time, uint16_t block, uint32_t blocks,
                    uint32_t rate, uint8_t bits)
{
    TestFrame f = MakeFrame('A', no, time, (uint32_t)block * blocks, encode);
    f.head.Format.Audio.SampleRate = rate;
    f.head.Format.Audio.Channels = 1;
    f.head.Format.Audio.Bits = bits;
    f.head.Format.Audio.BlockSize = block;
    memcpy(f.bytes.data(), &f.head, 40);
    for (uint32_t b = 0; b < blocks && block >= 4; b++) {
        uint8_t bh[4] = {0x00, 0x01, (uint8_t)0xA0, (uint8_t)b};
        memcpy(&f.bytes[40 + (size_t)b * block], bh, 4);
    }
    return f;
}

void SetRefDistance(TestFrame& f, uint32_t dist)
{
    f.head.Format.Video.RefInfo = (uint16_t)((dist & 0x7FF) << 2);
    memcpy(f.bytes.data(), &f.head, 40);
}

std::string FrameLine(const uint8_t* frame, size_t len)
{
    KVFrameHead h;
    memcpy(&h, frame, 40);
    size_t n = len >= 40 ? len - 40 : 0;
    if (n > h.FrameSize)
        n = h.FrameSize;
    unsigned long crc = crc32(0, frame + 40, (uInt)n);
    char buf[160];
    snprintf(buf, sizeof(buf), "%c %u %u %llu %u %08lx", h.FrameType, h.FrameNo, h.FrameSize,
             (unsigned long long)h.FrameTime, h.Flags, crc);
    return buf;
}

std::string FrameLines(const std::vector<TestFrame>& frames)
{
    std::string s;
    for (const TestFrame& f : frames)
        s += FrameLine(f.bytes.data(), f.bytes.size()) + "\n";
    return s;
}

std::string RunCmd(const std::string& cmd, int* status)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    int st = pclose(p);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string Oracle(const std::string& args, int* status)
{
    return RunCmd(std::string(KV_PYTHON) + " " + KV_RECFILE_ORACLE + " " + args, status);
}

bool HaveTool(const char* name)
{
    return RunCmd(std::string("command -v ") + name + " >/dev/null 2>&1 && echo yes") == "yes\n";
}

TempDir::TempDir()
{
    const char* root = getenv("TMPDIR");
    std::string tmpl = std::string(root && *root ? root : "/tmp") + "/kvrecfile.XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back(0);
    if (!mkdtemp(b.data()))
        throw std::runtime_error("mkdtemp");
    m_dir = b.data();
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + m_dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

uint64_t T0()
{
    return 1710028790ull * 1000000ull;  // 2024-03-09 23:59:50 UTC
}

#include "base_record_file.h"

void WriteAll(CBaseRecordFile& w, const std::vector<TestFrame>& frames, std::vector<int>* results)
{
    for (const TestFrame& f : frames) {
        int size = (int)f.bytes.size();
        int rc = w.WriteFrame(f.bytes.data(), size);
        if (results)
            results->push_back(rc);
    }
}

std::vector<TestFrame> ReadAll(CBaseRecordFile& r, size_t max)
{
    std::vector<TestFrame> out;
    std::vector<uint8_t> buf(4 << 20);
    while (out.size() < max) {
        int size = (int)buf.size();
        if (r.ReadFrame(buf.data(), size) != 0)
            break;
        TestFrame f;
        memcpy(&f.head, buf.data(), 40);
        size_t n = 40 + (size_t)f.head.FrameSize;
        if (n > (size_t)size)
            n = (size_t)size;
        f.bytes.assign(buf.begin(), buf.begin() + (long)n);
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<TestFrame> FromFirstKey(const std::vector<TestFrame>& frames)
{
    size_t i = 0;
    while (i < frames.size() && frames[i].type() != 'I')
        i++;
    return std::vector<TestFrame>(frames.begin() + (long)i, frames.end());
}
