// MP4 record-file figures (a bench program, not a test):
//   bench_mp4 WORKDIR [FRAMES.kvf]
// 1. close time and peak RSS of files of 1 h and 24 h at 25 fps (video and audio samples,
//    small payloads), each in a child process of its own, and SeekByTime latency on them;
// 2. write MB/s of a 1 GiB video stream beside `ffmpeg -c copy` of the same stream to MP4 and
//    `dd bs=1M`, in the same run; sequential ReadFrame MB/s of the file written.
// The 1 GiB stream repeats the video frames of FRAMES.kvf (bare frame records, made by
// tests/media/make_media.py); without it, synthetic 40 KB frames. Big files are deleted.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base_record_file.h"
#include "mp4_record_file.h"

namespace {

using Clock = std::chrono::steady_clock;
double secs(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long peak_rss_kb()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long rss_kb()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, res = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &res) != 2) res = 0;
        std::fclose(f);
    }
    return res * (sysconf(_SC_PAGESIZE) / 1024);
}

uint64_t free_bytes(const std::string& dir)
{
    struct statvfs st;
    if (statvfs(dir.c_str(), &st) != 0) return 0;
    return uint64_t(st.f_bavail) * st.f_frsize;
}

std::vector<uint8_t> make_frame(char type, int encode, uint64_t t, const uint8_t* payload, uint32_t n)
{
    std::vector<uint8_t> f(40 + n, 0);
    KVFrameHead h;
    std::memset(&h, 0, sizeof h);
    h.Magic = KV_FRAME_MAGIC;
    h.FrameType = uint8_t(type);
    h.EncodeType = uint8_t(encode);
    h.FrameSize = n;
    h.FrameTime = t;
    if (type == 'A') {
        h.Format.Audio.SampleRate = 8000;
        h.Format.Audio.Channels = 1;
        h.Format.Audio.Bits = 8;
    } else {
        h.Format.Video.Width = 1280;
        h.Format.Video.Height = 720;
        h.Format.Video.Fps = 25;
    }
    std::memcpy(f.data(), &h, sizeof h);
    std::memcpy(f.data() + 40, payload, n);
    return f;
}

// One long file in a child process: close time, peak memory, then the reader's open time,
// memory and seek latency.
void long_file(const std::string& dir, int hours)
{
    pid_t pid = fork();
    if (pid != 0) {
        int st;
        waitpid(pid, &st, 0);
        return;
    }
    std::string path = dir + "/bench_" + std::to_string(hours) + "h.mp4";
    const uint64_t frames = uint64_t(hours) * 3600 * 25;
    const uint64_t t0 = 1710028800ull * 1000000;
    std::vector<uint8_t> vpay(64, 0x5A), apay(160, 0x55);
    const uint8_t sc[] = {0, 0, 0, 1, 0x65};
    std::memcpy(vpay.data(), sc, 5);
    long rss0 = rss_kb();
    CKVMP4RecordFile w;
    w.Open(path.c_str(), false);
    auto a = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) {
        uint64_t t = t0 + i * 40000;
        vpay[4] = (i % 50) ? 0x41 : 0x65;
        std::vector<uint8_t> v = make_frame((i % 50) ? 'P' : 'I', 0, t, vpay.data(), uint32_t(vpay.size()));
        int s = int(v.size());
        w.WriteFrame(v.data(), s);
        std::vector<uint8_t> au = make_frame('A', 1, t + 1000, apay.data(), uint32_t(apay.size()));
        s = int(au.size());
        w.WriteFrame(au.data(), s);
    }
    auto b = Clock::now();
    long rss_before_close = rss_kb();
    int rc = w.Close();
    auto c = Clock::now();
    long peak = peak_rss_kb();
    FILE* f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    std::printf("%2d h: %8llu video + %8llu audio samples, file %.1f MB; writing %.2f s, close %.3f s (rc %d); "
                "RSS before close %.1f MB, peak %.1f MB (%.0f bytes per sample above start)\n",
                hours, (unsigned long long)frames, (unsigned long long)frames, size / 1e6, secs(a, b), secs(b, c), rc,
                rss_before_close / 1024.0, peak / 1024.0, (peak - rss0) * 1024.0 / double(2 * frames));

    CKVMP4RecordFile r;
    auto d = Clock::now();
    int orc = r.Open(path.c_str(), true);
    auto e = Clock::now();
    std::mt19937_64 rng(7);
    double total = 0, worst = 0;
    std::vector<uint8_t> buf(1 << 16);
    const int seeks = 2000;
    for (int i = 0; i < seeks; ++i) {
        uint64_t t = t0 + rng() % (frames * 40000);
        auto s0 = Clock::now();
        r.SeekByTime(t);
        int sz = int(buf.size());
        r.ReadFrame(buf.data(), sz);
        double dt = secs(s0, Clock::now());
        total += dt;
        if (dt > worst) worst = dt;
    }
    std::printf("%2d h reader: open %.3f s (rc %d), RSS %.1f MB; SeekByTime + ReadFrame mean %.1f us, max %.1f us "
                "over %d seeks\n",
                hours, secs(d, e), orc, rss_kb() / 1024.0, total / seeks * 1e6, worst * 1e6, seeks);
    r.Close();
    unlink(path.c_str());
    std::fflush(stdout);
    _exit(0);
}

std::vector<std::vector<uint8_t>> video_frames(const char* kvf)
{
    std::vector<std::vector<uint8_t>> out;
    if (kvf) {
        CBaseRecordFile in;
        if (in.Open(kvf, true) == 0) {
            std::vector<uint8_t> buf(16 << 20);
            for (;;) {
                int size = int(buf.size());
                if (in.ReadFrame(buf.data(), size) != 0) break;
                KVFrameHead h;
                std::memcpy(&h, buf.data(), sizeof h);
                if (h.FrameType != 'A') out.emplace_back(buf.begin(), buf.begin() + 40 + h.FrameSize);
            }
        }
    }
    if (out.empty()) {
        std::vector<uint8_t> p(40000, 0x5A);
        const uint8_t sc[] = {0, 0, 0, 1, 0x65};
        std::memcpy(p.data(), sc, 5);
        for (int i = 0; i < 50; ++i) {
            p[4] = i ? 0x41 : 0x65;
            out.push_back(make_frame(i ? 'P' : 'I', 0, uint64_t(i) * 40000, p.data(), uint32_t(p.size())));
        }
    }
    return out;
}

double run_timed(const std::string& cmd)
{
    auto a = Clock::now();
    int rc = std::system(cmd.c_str());
    double s = secs(a, Clock::now());
    return rc == 0 ? s : -1;
}

void throughput(const std::string& dir, const char* kvf)
{
    const uint64_t target = 1ull << 30;
    std::vector<std::vector<uint8_t>> frames = video_frames(kvf);
    std::string raw = dir + "/bench_stream.264", ours = dir + "/bench_ours.mp4", ff = dir + "/bench_ffmpeg.mp4",
                dd = dir + "/bench_dd.bin";
    // The same stream for all three: the frames' payloads repeated to 1 GiB.
    uint64_t bytes = 0, count = 0;
    FILE* f = std::fopen(raw.c_str(), "wb");
    while (bytes < target)
        for (const auto& fr : frames) {
            std::fwrite(fr.data() + 40, 1, fr.size() - 40, f);
            bytes += fr.size() - 40;
            ++count;
        }
    std::fclose(f);
    const double mb = bytes / 1048576.0;

    CKVMP4RecordFile w;
    auto a = Clock::now();
    w.Open(ours.c_str(), false);
    uint64_t written = 0, t = 1710028800ull * 1000000;
    while (written < count)
        for (const auto& fr : frames) {
            if (written++ >= count) break;
            std::vector<uint8_t> v = fr;
            std::memcpy(v.data() + 16, &t, 8);
            t += 40000;
            int s = int(v.size());
            w.WriteFrame(v.data(), s);
        }
    int rc = w.Close();
    double ours_s = secs(a, Clock::now());
    double ff_s = run_timed("ffmpeg -nostdin -v error -y -f h264 -r 25 -i " + raw + " -c copy " + ff);
    double dd_s = run_timed("dd if=" + raw + " of=" + dd + " bs=1M status=none");
    std::printf("1 GiB stream (%.0f MiB, %llu frames): CKVMP4RecordFile %.0f MB/s (%.2f s, rc %d); "
                "ffmpeg -c copy %.0f MB/s (%.2f s); dd bs=1M %.0f MB/s (%.2f s)\n",
                mb, (unsigned long long)count, mb / ours_s, ours_s, rc, ff_s > 0 ? mb / ff_s : 0, ff_s,
                dd_s > 0 ? mb / dd_s : 0, dd_s);

    CKVMP4RecordFile r;
    a = Clock::now();
    r.Open(ours.c_str(), true);
    std::vector<uint8_t> buf(16 << 20);
    uint64_t got = 0, n = 0;
    for (;;) {
        int size = int(buf.size());
        if (r.ReadFrame(buf.data(), size) != 0) break;
        got += uint64_t(size);
        ++n;
    }
    double read_s = secs(a, Clock::now());
    std::printf("sequential ReadFrame: %llu frames, %.0f MB/s (%.2f s, file in the page cache)\n",
                (unsigned long long)n, got / 1048576.0 / read_s, read_s);
    r.Close();
    for (const std::string& p : {raw, ours, ff, dd}) unlink(p.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    const char* kvf = argc > 2 ? argv[2] : nullptr;
    uint64_t room = free_bytes(dir);
    std::printf("work folder %s, %.1f GB free\n", dir.c_str(), room / 1e9);
    if (room > (3ull << 30)) {
        long_file(dir, 1);
        long_file(dir, 24);
    } else {
        std::printf("skipped the long files: not enough room\n");
    }
    std::fflush(stdout);
    if (room > (5ull << 30)) throughput(dir, kvf);
    else std::printf("skipped the 1 GiB stream: not enough room\n");
    return 0;
}
