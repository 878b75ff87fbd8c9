// The MP4 reader on arbitrary file bytes: open, every frame, the seeks and the time range.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "mp4_demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/dev/shm/kvmp4_fuzz_" + std::to_string(getpid()) + ".mp4";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    static std::vector<uint8_t> buf(1 << 20);
    mp4_demuxer d;
    if (d.open(path.c_str()) == 0) {
        int out = 0;
        for (int i = 0; i < 4096 && d.ReadFrame(buf.data(), int(buf.size()), out) == 0; ++i) {}
        uint64_t first = 0, last = 0;
        if (d.GetTimeRange(first, last) == 0) {
            d.SeekByTime(first);
            d.ReadFrame(buf.data(), int(buf.size()), out);
            d.SeekByTime(first + (last - first) / 2);
            d.ReadFrame(buf.data(), 64, out); // a frame that does not fit
            d.ReadFrame(buf.data(), int(buf.size()), out);
        }
        int keys = d.GetKeyFrameCount();
        for (int k = keys - 1; k >= 0 && k >= keys - 3; --k) {
            d.SeekByKeyFrameIndex(k);
            d.ReadFrame(buf.data(), int(buf.size()), out);
            d.ReadFrame(buf.data(), int(buf.size()), out);
        }
        d.SeekByKeyFrameIndex(keys);
    }
    d.close();
    return 0;
}
