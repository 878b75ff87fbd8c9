// Test driver for the Python peers: frame files (bare frame records) into MP4 files through
// CKVMP4RecordFile, and MP4 files back into frame files.
//   kvmp4_tool write IN.kvf OUT.mp4 [--large] [--grow-to BYTES]
//   kvmp4_tool read IN.mp4 OUT.kvf
// --grow-to repeats the frames (times running on) until the sample data pass BYTES; every
// video frame then carries a 1 MiB filler unit, which decoders skip.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base_record_file.h"
#include "mp4_record_file.h"

namespace {

std::vector<std::vector<uint8_t>> load_frames(const char* path)
{
    std::vector<std::vector<uint8_t>> frames;
    CBaseRecordFile in;
    if (in.Open(path, true) != 0) return frames;
    std::vector<uint8_t> buf(64 << 20);
    for (;;) {
        int size = int(buf.size());
        if (in.ReadFrame(buf.data(), size) != 0) break;
        KVFrameHead h;
        std::memcpy(&h, buf.data(), sizeof h);
        frames.emplace_back(buf.begin(), buf.begin() + 40 + h.FrameSize);
    }
    return frames;
}

int write_cmd(int argc, char** argv)
{
    bool large = false;
    uint64_t grow = 0;
    for (int i = 4; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--large")) large = true;
        else if (!std::strcmp(argv[i], "--grow-to") && i + 1 < argc) grow = std::strtoull(argv[++i], nullptr, 10);
    }
    std::vector<std::vector<uint8_t>> frames = load_frames(argv[2]);
    if (frames.empty()) { std::fprintf(stderr, "no frames in %s\n", argv[2]); return 2; }
    CKVMP4RecordFile out;
    out.ForceLargeLayout(large);
    int r = out.Open(argv[3], false);
    if (r != 0) { std::printf("open=%d\n", r); return 3; }
    std::vector<uint8_t> filler(1 << 20, 0xFF);
    const uint8_t filler_head[] = {0, 0, 0, 1, 0x0C};
    filler[filler.size() - 1] = 0x80;
    uint64_t stored = 0, span = 0;
    KVFrameHead first, last;
    std::memcpy(&first, frames.front().data(), sizeof first);
    std::memcpy(&last, frames.back().data(), sizeof last);
    span = last.FrameTime - first.FrameTime + 40000;
    int written = 0, crossed = 0;
    for (uint64_t round = 0;; ++round) {
        for (const std::vector<uint8_t>& f : frames) {
            std::vector<uint8_t> fr = f;
            KVFrameHead h;
            std::memcpy(&h, fr.data(), sizeof h);
            h.FrameTime += round * span;
            if (grow && h.FrameType != 'A') {
                fr.insert(fr.end(), filler_head, filler_head + sizeof filler_head);
                fr.insert(fr.end(), filler.begin(), filler.end());
                h.FrameSize = uint32_t(fr.size() - 40);
            }
            std::memcpy(fr.data(), &h, sizeof h);
            int size = int(fr.size());
            r = out.WriteFrame(fr.data(), size);
            if (r < 0) { std::printf("write=%d frame=%d\n", r, written); return 4; }
            if (r == 2) ++crossed;
            stored += out.LastStoredBytes();
            ++written;
        }
        if (!grow || stored > grow) break;
    }
    r = out.Close();
    std::printf("frames=%d crossed=%d close=%d stored=%llu\n", written, crossed, r, (unsigned long long)stored);
    return r == 0 ? 0 : 5;
}

int read_cmd(char** argv)
{
    CKVMP4RecordFile in;
    int r = in.Open(argv[2], true);
    if (r != 0) { std::printf("open=%d\n", r); return 3; }
    CBaseRecordFile out;
    if (out.Open(argv[3], false) != 0) return 2;
    std::vector<uint8_t> buf(64 << 20);
    int n = 0;
    for (;;) {
        int size = int(buf.size());
        if (in.ReadFrame(buf.data(), size) != 0) break;
        if (out.WriteFrame(buf.data(), size) != 0) return 4;
        ++n;
    }
    std::printf("frames=%d keys=%d\n", n, in.GetKeyFrameCount());
    return out.Close() == 0 ? 0 : 5;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && !std::strcmp(argv[1], "write")) return write_cmd(argc, argv);
    if (argc >= 4 && !std::strcmp(argv[1], "read")) return read_cmd(argv);
    std::fprintf(stderr, "usage: kvmp4_tool write IN.kvf OUT.mp4 [--large] [--grow-to BYTES] | read IN.mp4 OUT.kvf\n");
    return 1;
}
