// Upgrade throughput: a 64 MiB multi-channel upgrade (pause 0: 4096-byte pieces with
// their heads, the running CRC, the progress throttle) to an in-process sink device over
// loopback TCP, beside a raw TCP pump of the same bytes in 4 KiB writes to the same
// sink. Counters: MB/s (bytes_per_second) and the client's CPU milliseconds per MB (the
// process CPU minus the sink thread's own). The upgrade's time includes reading the file
// (from the page cache) through its window. Also the CRC alone.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <sys/mman.h>

#include "crc32.h"
#include "kv_file.h"
#include "sync_event.h"
#include "upgrade.h"
#include "test_kit.h"

namespace {

constexpr size_t kFile = 64u << 20;

double cpu_ms(clockid_t c)
{
    timespec ts;
    clock_gettime(c, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A loopback device that drains one connection per run. Upgrade mode: answers the start
// request, reads data messages up to the 762 and answers it with an empty verdict (391).
class Sink {
public:
    explicit Sink(bool upgrade) : upgrade_(upgrade)
    {
    }
    uint16_t port() const { return listener_.port(); }
    // Serves one connection on a thread; its CPU time lands in cpuMs.
    std::thread Serve()
    {
        return std::thread([this] {
            const double c0 = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
            int fd = listener_.Accept();
            if (fd >= 0) {
                upgrade_ ? Upgrade(fd) : Drain(fd);
                close(fd);
            }
            cpuMs = cpu_ms(CLOCK_THREAD_CPUTIME_ID) - c0;
        });
    }
    double cpuMs = 0;
    uint64_t received = 0;

private:
    bool Exact(int fd, void* p, size_t n)
    {
        auto* b = static_cast<uint8_t*>(p);
        while (n) {
            ssize_t r = recv(fd, b, n, 0);
            if (r <= 0)
                return false;
            b += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void Drain(int fd)
    {
        std::vector<uint8_t> buf(1 << 20);
        ssize_t n;
        received = 0;
        while ((n = recv(fd, buf.data(), buf.size(), 0)) > 0)
            received += static_cast<uint64_t>(n);
    }
    // Parses the stream from large reads, as the pump's sink reads it, so that the
    // sink costs the same per byte on both sides of the comparison.
    void Upgrade(int fd)
    {
        std::vector<uint8_t> buf(1 << 20);
        size_t have = 0, pos = 0;
        received = 0;
        for (;;) {
            if (have - pos < sizeof(MsgHeadWrap) + 4096) {
                memmove(buf.data(), buf.data() + pos, have - pos);
                have -= pos;
                pos = 0;
            }
            MsgHeadWrap h;
            if (have - pos >= sizeof h) {
                memcpy(&h, buf.data() + pos, sizeof h);
                if (h.MsgSize > buf.size() - sizeof h)
                    return;
                if (have - pos >= sizeof h + h.MsgSize) {
                    pos += sizeof h + h.MsgSize;
                    if (h.MsgSubType == 761) {
                        received += h.MsgSize;
                        continue;
                    }
                    MsgHeadWrap r;
                    r.MsgType = h.MsgType;
                    r.MsgSubType = h.MsgSubType;
                    r.Seq = h.Seq;
                    send(fd, &r, sizeof r, MSG_NOSIGNAL);
                    if (h.MsgSubType == 762)
                        return;
                    continue;
                }
            }
            ssize_t n = recv(fd, buf.data() + have, buf.size() - have, 0);
            if (n <= 0)
                return;
            have += static_cast<size_t>(n);
        }
    }
    bool upgrade_;
    kvtest::LoopbackListener listener_;
};

class Link : public kvsession::Link {
public:
    explicit Link(uint16_t port) : port_(port) {}
    bool IsLoggedIn() override { return true; }
    uint32_t SessionId() override { return 1; }
    uint8_t HeadSecurityBits() override { return 0; }
    bool PeerAddress(std::string* h, uint16_t* p) override
    {
        *h = "127.0.0.1";
        *p = port_;
        return true;
    }

private:
    uint16_t port_;
};

const std::string& FilePath()
{
    // The file goes with its folder when the program ends.
    static kvtest::TempDir dir("bench-upgrade");
    static const std::string path = [] {
        const std::string p = dir.File("image.bin");
        std::vector<uint8_t> d(kFile);
        for (size_t i = 0; i < d.size(); ++i)
            d[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
        kvtest::WriteFile(p, d.data(), d.size());
        return p;
    }();
    return path;
}

struct Final {
    SyncEvent ev{true, false};
    std::atomic<unsigned> code{0};
    static void Cb(unsigned c, void*, void* u)
    {
        auto* f = static_cast<Final*>(u);
        if (c != 394 && c != 402 && c != 764) {
            f->code = c;
            f->ev.Set();
        }
    }
};

void BM_Upgrade64MiB(benchmark::State& st)
{
    const std::string& path = FilePath();
    Sink sink(true);
    double clientCpu = 0;
    for (auto _ : st) {
        std::thread dev = sink.Serve();
        const double p0 = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
        Final fin;
        KVUpgradeRequest req;
        req.path = path;
        req.callback = &Final::Cb;
        req.user = &fin;
        req.type = 4;
        req.mask = 1;
        auto* up = new DevRemoteUpgrade(std::make_unique<Link>(sink.port()), req);
        up->Start();
        fin.ev.Wait(SyncEvent::kInfinite);
        DevRemoteUpgrade::StopAndFree(&up);
        dev.join();
        clientCpu += cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - p0 - sink.cpuMs;
        if (fin.code != 391 || sink.received != kFile)
            st.SkipWithError("upgrade did not complete");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kFile));
    st.counters["client_cpu_ms_per_MB"] = clientCpu / st.iterations() / (kFile / 1048576.0);
}
BENCHMARK(BM_Upgrade64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// fresh = 1: like the upgrade, each run first reads the file into fresh memory.
void BM_RawPump64MiB4KiB(benchmark::State& st)
{
    const bool fresh = st.range(0) != 0;
    std::vector<uint8_t> hot(fresh ? 0 : kFile, 0x5A);
    Sink sink(false);
    double clientCpu = 0;
    for (auto _ : st) {
        std::thread dev = sink.Serve();
        const double p0 = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
        const uint8_t* src = hot.data();
        void* map = nullptr;
        if (fresh) {
            map = mmap(nullptr, kFile, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            CKVFile f;
            f.Create(FilePath().c_str(), true);
            for (size_t off = 0; off < kFile; off += 4096)
                f.Read(static_cast<uint8_t*>(map) + off, 4096);
            src = static_cast<const uint8_t*>(map);
        }
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(sink.port());
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        for (size_t off = 0; off < kFile; off += 4096)
            send(fd, src + off, 4096, MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        dev.join();
        close(fd);
        if (map)
            munmap(map, kFile);
        clientCpu += cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - p0 - sink.cpuMs;
        if (sink.received != kFile)
            st.SkipWithError("pump short");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kFile));
    st.counters["client_cpu_ms_per_MB"] = clientCpu / st.iterations() / (kFile / 1048576.0);
}
BENCHMARK(BM_RawPump64MiB4KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The upgrade's first step alone: the whole file into fresh memory, 4 KiB blocks.
void BM_ReadImage64MiB(benchmark::State& st)
{
    const std::string& path = FilePath();
    for (auto _ : st) {
        CKVFile f;
        uint64_t size = 0;
        f.Create(path.c_str(), true);
        f.GetSize(&size);
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        auto* b = static_cast<uint8_t*>(p);
        for (uint64_t off = 0; off < size; off += 4096)
            f.Read(b + off, 4096);
        benchmark::DoNotOptimize(b);
        munmap(p, size);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kFile));
}
BENCHMARK(BM_ReadImage64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_Crc32(benchmark::State& st)
{
    std::vector<uint8_t> d(static_cast<size_t>(st.range(0)), 0xA5);
    uint32_t c = 0;
    for (auto _ : st) {
        c = kv_crc32_update(c, d.data(), d.size());
        benchmark::DoNotOptimize(c);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Crc32)->Arg(4096)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
