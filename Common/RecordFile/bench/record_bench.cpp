// Record-file benchmark.
//
//   kvrecordfile_bench run FRAMES DIR [MiB]
//       Repeats the frames of FRAMES (a bare frame file, e.g. from tests/media/make_media.py)
//       with running numbers and times until MiB (default 1024) of frame bytes, and measures
//       in DIR: write and sequential read MB/s per format (bare records, private, AVI) beside
//       `dd bs=1M` of the bare file's bytes to the same disk in the same run; the open time
//       of the same private file left unfinished (opened by the walk); SeekByTime + one
//       ReadFrame latency on the private and AVI files. Files are deleted at the end.
//   kvrecordfile_bench convert FRAMES OUT bare|private|avi [PASSWORD]
//       Writes the frames of FRAMES in one format (used to make fuzz seeds).
//
// Nothing is synced to the disk (neither here nor by dd): the figures compare the formats'
// own cost on the same page cache.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "avi_record_file.h"
#include "private_record_file.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Frame {
    std::vector<uint8_t> bytes;
};

std::vector<Frame> Load(const char* path)
{
    std::vector<Frame> out;
    FILE* f = fopen(path, "rb");
    if (!f)
        return out;
    KVFrameHead h;
    while (fread(&h, 40, 1, f) == 1 && h.Magic == KV_FRAME_MAGIC) {
        Frame fr;
        fr.bytes.resize(40 + (size_t)h.FrameSize);
        memcpy(fr.bytes.data(), &h, 40);
        if (h.FrameSize && fread(fr.bytes.data() + 40, h.FrameSize, 1, f) != 1)
            break;
        uint64_t pad = KVFrameRecordLength(h.FrameSize) - 40 - h.FrameSize;
        if (pad)
            fseek(f, (long)pad, SEEK_CUR);
        out.push_back(std::move(fr));
    }
    fclose(f);
    return out;
}

std::unique_ptr<CBaseRecordFile> Make(const std::string& fmt)
{
    if (fmt == "private")
        return std::make_unique<CKVPrivateRecordFile>();
    if (fmt == "avi")
        return std::make_unique<CKVAVIRecordFile>();
    return std::make_unique<CBaseRecordFile>();
}

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Writes the frames repeated to `target` bytes; returns bytes given to WriteFrame.
uint64_t WriteRepeated(CBaseRecordFile& w, const std::vector<Frame>& frames, uint64_t target,
                       uint64_t* lastTime)
{
    uint64_t total = 0, span = 0;
    KVFrameHead first, last;
    memcpy(&first, frames.front().bytes.data(), 40);
    memcpy(&last, frames.back().bytes.data(), 40);
    span = last.FrameTime - first.FrameTime + 40000;
    std::vector<uint8_t> buf;
    for (uint32_t round = 0; total < target; round++) {
        for (const Frame& f : frames) {
            buf = f.bytes;
            KVFrameHead h;
            memcpy(&h, buf.data(), 40);
            h.FrameNo += round * 100000u;
            h.FrameTime += (uint64_t)round * span;
            memcpy(buf.data(), &h, 40);
            int size = (int)buf.size();
            if (w.WriteFrame(buf.data(), size) < 0) {
                fprintf(stderr, "write failed\n");
                exit(1);
            }
            total += buf.size();
            *lastTime = h.FrameTime;
        }
    }
    return total;
}

uint64_t ReadAllFrames(CBaseRecordFile& r, uint64_t* frames)
{
    std::vector<uint8_t> buf(8 << 20);
    uint64_t total = 0;
    *frames = 0;
    for (;;) {
        int size = (int)buf.size();
        if (r.ReadFrame(buf.data(), size) != 0)
            break;
        total += (uint64_t)size;
        (*frames)++;
    }
    return total;
}

int Run(const char* framesPath, const std::string& dir, uint64_t mib)
{
    std::vector<Frame> frames = Load(framesPath);
    if (frames.empty()) {
        fprintf(stderr, "no frames in %s\n", framesPath);
        return 1;
    }
    const uint64_t target = mib << 20;
    printf("frames from %s repeated to %llu MiB\n", framesPath, (unsigned long long)mib);
    printf("%-8s %12s %12s %10s\n", "format", "write MB/s", "read MB/s", "frames");
    uint64_t firstTime = 0, lastTime = 0;
    {
        KVFrameHead h;
        memcpy(&h, frames.front().bytes.data(), 40);
        firstTime = h.FrameTime;
    }
    const char* formats[] = {"bare", "private", "avi"};
    for (const char* fmt : formats) {
        std::string path = dir + "/bench." + fmt;
        std::unique_ptr<CBaseRecordFile> w = Make(fmt);
        if (w->Open(path.c_str(), false) != 0)
            return 1;
        auto t0 = Clock::now();
        uint64_t bytes = WriteRepeated(*w, frames, target, &lastTime);
        if (w->Close() != 0)
            return 1;
        auto t1 = Clock::now();
        std::unique_ptr<CBaseRecordFile> r = Make(fmt);
        if (r->Open(path.c_str(), true) != 0)
            return 1;
        uint64_t n = 0;
        auto t2 = Clock::now();
        uint64_t rbytes = ReadAllFrames(*r, &n);
        auto t3 = Clock::now();
        r->Close();
        printf("%-8s %12.1f %12.1f %10llu\n", fmt, bytes / 1e6 / Seconds(t0, t1),
               rbytes / 1e6 / Seconds(t2, t3), (unsigned long long)n);
        fflush(stdout);
    }
    // dd of the bare file's bytes to the same disk.
    std::string cmd = "dd if=" + dir + "/bench.bare of=" + dir + "/bench.dd bs=1M 2>&1 | tail -1";
    printf("dd bs=1M of the bare file: ");
    fflush(stdout);
    if (system(cmd.c_str()) != 0)
        printf("(dd failed)\n");
    unlink((dir + "/bench.dd").c_str());

    // Seek latency: SeekByTime and one ReadFrame, at random times.
    std::mt19937_64 rng(7);
    std::vector<uint8_t> buf(8 << 20);
    for (const char* fmt : {"private", "avi"}) {
        std::string path = dir + "/bench." + fmt;
        std::unique_ptr<CBaseRecordFile> r = Make(fmt);
        if (r->Open(path.c_str(), true) != 0)
            return 1;
        const int n = 2000;
        auto t0 = Clock::now();
        for (int i = 0; i < n; i++) {
            uint64_t t = firstTime + rng() % (lastTime - firstTime + 1);
            r->SeekByTime(t);
            int size = (int)buf.size();
            r->ReadFrame(buf.data(), size);
        }
        auto t1 = Clock::now();
        printf("SeekByTime + ReadFrame, %s: %.1f us\n", fmt, Seconds(t0, t1) * 1e6 / n);
        r->Close();
    }

    // The private file left unfinished: cut at its index, state back to "Data".
    std::string priv = dir + "/bench.private";
    FILE* f = fopen(priv.c_str(), "r+b");
    KVPrivateFileHead head;
    if (!f || fread(&head, sizeof(head), 1, f) != 1)
        return 1;
    uint64_t idx = head.IndexOffset;
    memcpy(head.State, "Data", 4);
    head.IndexOffset = 0;
    fseek(f, 0, SEEK_SET);
    fwrite(&head, sizeof(head), 1, f);
    fclose(f);
    if (truncate(priv.c_str(), (off_t)idx) != 0)
        return 1;
    for (int pass = 0; pass < 2; pass++) {
        CKVPrivateRecordFile r;
        auto t0 = Clock::now();
        int rc = r.Open(priv.c_str(), true);
        auto t1 = Clock::now();
        printf("open unfinished private file (walk, %s cache): rc %d, %d key frames, %.1f ms\n",
               pass ? "warm" : "first", rc, r.GetKeyFrameCount(), Seconds(t0, t1) * 1e3);
    }
    for (const char* fmt : formats)
        unlink((dir + "/bench." + fmt).c_str());
    return 0;
}

int Convert(const char* in, const char* out, const std::string& fmt, const char* password)
{
    std::vector<Frame> frames = Load(in);
    std::unique_ptr<CBaseRecordFile> w = Make(fmt);
    if (w->Open(out, false, password) != 0)
        return 1;
    for (Frame& f : frames) {
        int size = (int)f.bytes.size();
        if (w->WriteFrame(f.bytes.data(), size) < 0)
            return 1;
    }
    return w->Close() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && strcmp(argv[1], "run") == 0)
        return Run(argv[2], argv[3], argc > 4 ? strtoull(argv[4], nullptr, 10) : 1024);
    if (argc >= 5 && strcmp(argv[1], "convert") == 0)
        return Convert(argv[2], argv[3], argv[4], argc > 5 ? argv[5] : nullptr);
    fprintf(stderr, "usage: %s run FRAMES DIR [MiB] | convert FRAMES OUT bare|private|avi [PASSWORD]\n",
            argv[0]);
    return 2;
}
