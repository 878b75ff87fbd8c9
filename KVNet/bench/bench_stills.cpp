// Still-picture figures on loopback: a snapshot of a 4 MiB JPEG from the simulator into a
// file (time and MiB/s), beside a raw TCP pump of the same bytes into a file in the same
// run; playback thumbnails per second for 100 items.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "test_kit.h"

namespace {

std::atomic<int> gLogged{0};
void OnSessionMsg(unsigned code, void*)
{
    if (code == KVNetMsgLoginSuccess)
        ++gLogged;
}

struct Media {
    kvtest::TempDir dir{"bench-stills"};
    std::string big, small;
    std::string bytes;
    bool ok = false;
};

const Media& Pictures()
{
    static Media* m = [] {
        auto* p = new Media;
        p->big = p->dir.File("big.jpg");
        p->small = p->dir.File("small.jpg");
        const std::string script = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR + "/tests/media/make_media.py picture ";
        p->ok = std::system((script + p->big + " --size 3328x1872 --quality 2 --noise 60 >/dev/null 2>&1").c_str()) == 0 &&
                std::system((script + p->small + " --size 320x180 >/dev/null 2>&1").c_str()) == 0;
        p->bytes = kvtest::ReadFile(p->big);
        return p;
    }();
    return *m;
}

DevConnection* Login(uint16_t port)
{
    gLogged = 0;
    KVNetConnectionParam cp{};
    cp.szAddr = "127.0.0.1";
    cp.nPort = port;
    cp.szUser = "admin";
    cp.szPwd = "admin123";
    cp.msgCallback = &OnSessionMsg;
    DevConnection* s = KVNetConnectionStartEx(&cp);
    kvtest::WaitFor([] { return gLogged.load() > 0; }, std::chrono::milliseconds(10000));
    return s;
}

void BM_Snapshot(benchmark::State& st)
{
    const Media& m = Pictures();
    if (!m.ok) {
        st.SkipWithError("no picture");
        return;
    }
    kvtest::SimProcess sim;
    if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "snap-file=" + m.big})) {
        st.SkipWithError("simulator did not start");
        return;
    }
    DevConnection* s = Login(sim.tcp_port());
    kvtest::TempDir out("bench-snap");
    KVNetCaptureParam p{};
    snprintf(p.szPath, sizeof p.szPath, "%s", out.File("shot.jpg").c_str());
    int fails = 0;
    for (auto _ : st)
        fails += KVNetCapture(s, &p) ? 0 : 1;
    KVNetConnectionStop(&s);
    st.counters["fails"] = fails;
    st.counters["bytes"] = static_cast<double>(m.bytes.size());
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * m.bytes.size()));
}

// The same bytes over a fresh loopback connection into a file, no protocol.
void BM_RawPump(benchmark::State& st)
{
    const Media& m = Pictures();
    if (!m.ok) {
        st.SkipWithError("no picture");
        return;
    }
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(ls, 4);
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &alen);
    kvtest::TempDir out("bench-pump");
    const std::string path = out.File("raw.jpg");
    std::vector<uint8_t> buf(256 * 1024);
    for (auto _ : st) {
        std::thread sender([&] {
            const int c = ::accept(ls, nullptr, nullptr);
            size_t off = 0;
            while (off < m.bytes.size()) {
                const ssize_t n = ::send(c, m.bytes.data() + off, m.bytes.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += static_cast<size_t>(n);
            }
            ::close(c);
        });
        const int c = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (;;) {
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            if (::write(fd, buf.data(), static_cast<size_t>(n)) != n)
                break;
        }
        ::close(fd);
        ::close(c);
        sender.join();
    }
    ::close(ls);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * m.bytes.size()));
}

struct ThumbCount {
    std::atomic<int> items{0};
    std::atomic<int> ok{0};
    std::atomic<bool> ended{false};
    static void On(const ThumbnailResult* r, void* u)
    {
        auto* t = static_cast<ThumbCount*>(u);
        if (!r) {
            t->ended = true;
            return;
        }
        ++t->items;
        if (r->nResult == KVNetThumbJpg)
            ++t->ok;
    }
};

void BM_Thumbnails100(benchmark::State& st)
{
    const Media& m = Pictures();
    if (!m.ok) {
        st.SkipWithError("no picture");
        return;
    }
    std::string plan = "jpg";
    for (int i = 1; i < 100; ++i)
        plan += ",jpg";
    kvtest::SimProcess sim;
    if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "thumb-jpg=" + m.small, "--scenario",
                    "thumb-plan=" + plan, "--scenario", "thumb-end"})) {
        st.SkipWithError("simulator did not start");
        return;
    }
    DevConnection* s = Login(sim.tcp_port());
    std::vector<NewRecordDetailRsp> items(100);
    for (uint32_t i = 0; i < 100; ++i) {
        items[i].StructSize = 48;
        items[i].Attributes = i;
    }
    int ok = 0;
    double secs = 0;
    for (auto _ : st) {
        kvtest::TempDir out("bench-thumbs");
        ThumbCount c;
        KVNetThumbnailsParam p{};
        p.pItems = items.data();
        p.nCount = 100;
        p.callback.playback = &ThumbCount::On;
        p.pUser = &c;
        p.szPath = out.path().c_str();
        const auto t0 = std::chrono::steady_clock::now();
        CThumbnailsConn* h = KVNetStartGetPlaybackThumbnails(s, &p);
        kvtest::WaitFor([&] { return c.ended.load(); }, std::chrono::milliseconds(30000));
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        KVNetStopGetPlaybackThumbnails(&h);
        ok += c.ok.load();
    }
    KVNetConnectionStop(&s);
    st.counters["written"] = ok / static_cast<double>(st.iterations());
    st.counters["thumbs_per_s"] = ok / secs;
}

} // namespace

BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_RawPump)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Thumbnails100)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
