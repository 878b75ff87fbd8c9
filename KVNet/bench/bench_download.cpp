// Record download throughput: one recording of real H.264 (and A-law audio) served by the
// simulator on loopback as fast as it can send, downloaded into .dat, .avi and .mp4, beside
// dd bs=1M of the same frame bytes and ffmpeg -c copy remux of the same H.264 elementary
// stream into MP4 and AVI, all in one run.
//
//   bench_download [--mib N] [--full] [--keep DIR]     N MiB of frames (default 128; --full 1024)
//
// Prints per way: MiB/s (frame bytes / wall time; for ffmpeg the bytes of the stream it reads) and CPU ms per MiB of this process (the
// download) or of the child (dd, ffmpeg). The simulator's own CPU is not counted.
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "KVNet.h"
#include "media_conn.h"
#include "test_kit.h"

namespace {

std::atomic<int> gLogged{0};
void OnSessionMsg(unsigned code, void*)
{
    if (code == 101)
        ++gLogged;
}

struct Waiter {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<uint32_t> codes;
    static void On(uint32_t code, uint32_t, uint32_t, void* user)
    {
        auto* w = static_cast<Waiter*>(user);
        std::lock_guard<std::mutex> l(w->mu);
        w->codes.push_back(code);
        w->cv.notify_all();
    }
    bool Wait(int seconds)
    {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::seconds(seconds), [&] {
            for (auto c : codes)
                if (c == 290)
                    return true;
            return false;
        });
    }
};

double CpuMs(int who)
{
    rusage u{};
    getrusage(who, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Repeats the clip's frames (times and numbers shifted) until `bytes` of frames are written;
// the video payloads go to the elementary stream file as well.
bool BuildRecording(const std::string& clip, const std::string& frm, const std::string& es, uint64_t bytes,
                    uint64_t* written, uint64_t* firstUs, uint64_t* lastUs)
{
    FILE* in = fopen(clip.c_str(), "rb");
    if (!in)
        return false;
    std::vector<uint8_t> data;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(in);
    FILE* out = fopen(frm.c_str(), "wb");
    FILE* v = fopen(es.c_str(), "wb");
    if (!out || !v)
        return false;
    uint64_t span = 0, first = 0, total = 0;
    uint32_t noShift = 0, maxNo = 0;
    {
        size_t pos = 0;
        while (pos + 40 <= data.size()) {
            KVFrameHead h;
            memcpy(&h, &data[pos], 40);
            if (!first)
                first = h.FrameTime;
            span = h.FrameTime - first + 40000;
            pos += (40 + h.FrameSize + 7) & ~size_t(7);
        }
    }
    for (uint64_t round = 0; total < bytes; ++round) {
        size_t pos = 0;
        while (pos + 40 <= data.size() && total < bytes) {
            KVFrameHead h;
            memcpy(&h, &data[pos], 40);
            const size_t rec = (40 + h.FrameSize + 7) & ~size_t(7);
            // Each round starts at a key frame: the clip's first frame of video is one.
            h.FrameTime += round * span;
            h.FrameNo += noShift;
            maxNo = std::max(maxNo, h.FrameNo);
            fwrite(&h, 40, 1, out);
            fwrite(&data[pos + 40], rec - 40, 1, out);
            if (h.FrameType != 'A')
                fwrite(&data[pos + 40], h.FrameSize, 1, v);
            *lastUs = h.FrameTime;
            total += 40 + h.FrameSize;
            pos += rec;
        }
        noShift = maxNo;
    }
    *firstUs = first;
    *written = total;
    fclose(out);
    fclose(v);
    return true;
}

DateTime ToDt(uint64_t us)
{
    const time_t s = static_cast<time_t>(us / 1000000);
    tm t{};
    gmtime_r(&s, &t);
    DateTime d{};
    d.year = static_cast<uint16_t>(t.tm_year + 1900);
    d.month = static_cast<uint8_t>(t.tm_mon + 1);
    d.day = static_cast<uint8_t>(t.tm_mday);
    d.hour = static_cast<uint8_t>(t.tm_hour);
    d.minute = static_cast<uint8_t>(t.tm_min);
    d.second = static_cast<uint8_t>(t.tm_sec);
    return d;
}

void Row(const char* way, double mib, double wall, double cpu, const char* note = "")
{
    printf("%-28s %8.1f MiB/s %8.2f CPU ms/MiB %s\n", way, mib / wall, cpu / mib, note);
    fflush(stdout);
}

bool Download(DevConnection* s, const RecordDetailRsp& item, const std::string& path, double* wall, double* cpu)
{
    std::vector<RecordDetailRsp> items{item};
    DownloadPathEntry e{};
    snprintf(e.path, sizeof e.path, "%s", path.c_str());
    Waiter w;
    KVNetDownloadRecordExParam p{};
    p.pItems = items.data();
    p.pPaths = &e;
    p.nCount = 1;
    p.callback = &Waiter::On;
    p.pUser = &w;
    const double c0 = CpuMs(RUSAGE_SELF), t0 = Now();
    DevDownloadRecord* h = KVNetStartDownloadRecordEx(s, &p);
    if (!h)
        return false;
    const bool ok = w.Wait(3600);
    *wall = Now() - t0;
    *cpu = CpuMs(RUSAGE_SELF) - c0;
    KVNetStopDownloadRecord(&h);
    return ok && w.codes.size() >= 2 && w.codes[w.codes.size() - 2] == 291;
}

bool Child(const std::string& cmd, double* wall, double* cpu)
{
    const double c0 = CpuMs(RUSAGE_CHILDREN), t0 = Now();
    const int rc = std::system(cmd.c_str());
    *wall = Now() - t0;
    *cpu = CpuMs(RUSAGE_CHILDREN) - c0;
    return rc == 0;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t mib = 128;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--mib") && i + 1 < argc)
            mib = strtoull(argv[++i], nullptr, 10);
        else if (!strcmp(argv[i], "--full"))
            mib = 1024;
        else if (!strcmp(argv[i], "--keep") && i + 1 < argc)
            keep = argv[++i];
    }
    KVNetInit();
    kvtest::TempDir tmp("bench-dl");
    const std::string dir = keep.empty() ? tmp.path() : keep;
    const std::string clip = dir + "/clip.frm", frm = dir + "/rec.frm", es = dir + "/rec.264";
    const std::string make = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR + "/tests/media/make_media.py frames " +
                             clip + " --media " + dir + "/media --seconds 20 --size 1280x720 >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        fprintf(stderr, "make_media failed\n");
        return 1;
    }
    uint64_t bytes = 0, first = 0, last = 0;
    if (!BuildRecording(clip, frm, es, mib << 20, &bytes, &first, &last)) {
        fprintf(stderr, "cannot build the recording\n");
        return 1;
    }
    const double MiB = bytes / 1048576.0;
    printf("recording: %.1f MiB of frames, %.0f s of 1280x720 H.264 + A-law\n", MiB, (last - first) / 1e6);

    kvtest::SimProcess sim;
    const std::string start = [&] {
        const time_t s = static_cast<time_t>(first / 1000000);
        tm t{};
        gmtime_r(&s, &t);
        char b[32];
        strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &t);
        return std::string(b);
    }();
    if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "rec-file=" + frm + "," + start})) {
        fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    KVNetConnectionParam cp{};
    cp.szAddr = "127.0.0.1";
    cp.nPort = sim.tcp_port();
    cp.szUser = "admin";
    cp.szPwd = "admin123";
    cp.msgCallback = &OnSessionMsg;
    DevConnection* s = KVNetConnectionStartEx(&cp);
    if (!s || !kvtest::WaitFor([] { return gLogged.load() > 0; }, std::chrono::milliseconds(10000))) {
        fprintf(stderr, "no login\n");
        return 1;
    }
    RecordDetailRsp item{};
    item.StructSize = 28;
    item.Start = ToDt(first);
    item.End = ToDt(last);
    item.Size = static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
    double wall = 0, cpu = 0;
    // The simulator loads the recording at the first request: once untimed.
    RecordDetailRsp none = item;
    none.Start = ToDt(86400ull * 1000000);
    none.End = none.Start;
    Download(s, none, dir + "/warm.dat", &wall, &cpu);

    for (const char* ext : {".dat", ".avi", ".mp4"}) {
        const std::string out = dir + "/out" + ext;
        if (!Download(s, item, out, &wall, &cpu)) {
            printf("download %s failed\n", ext);
            continue;
        }
        Row((std::string("download into ") + ext).c_str(), MiB, wall, cpu);
        std::remove(out.c_str());
    }
    KVNetConnectionStop(&s);
    sim.Stop();
    const std::string sink = dir + "/copy.bin";
    if (Child("dd if=" + frm + " of=" + sink + " bs=1M status=none", &wall, &cpu))
        Row("dd bs=1M (same bytes)", MiB, wall, cpu);
    std::remove(sink.c_str());
    // ffmpeg's rate counts the bytes it reads: the video stream alone, without frame heads.
    struct stat st{};
    stat(es.c_str(), &st);
    const double esMiB = static_cast<double>(st.st_size) / 1048576.0;
    for (const char* ext : {"mp4", "avi"}) {
        const std::string out = dir + "/remux." + ext;
        if (Child("ffmpeg -v error -y -f h264 -framerate 25 -i " + es + " -c copy " + out, &wall, &cpu))
            Row((std::string("ffmpeg -c copy to ") + ext).c_str(), esMiB, wall, cpu, "(its video stream's MiB)");
        std::remove(out.c_str());
    }
    KVNetRelease();
    return 0;
}
