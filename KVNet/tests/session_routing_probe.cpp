// A program that drives one session against the simulator and checks where the session's
// messages went. Built twice: with session calls only, and (KV_PROBE_PARAMS) also with a
// parameter query. Both must route alike: a program that only starts sessions still has
// its session's request layer attached, which takes every reply, and the data callback
// gets the alarm reports and nothing else. Exit status 0 when every check holds.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "session_link.h"
#include "test_kit.h"

namespace {

using std::chrono::milliseconds;

struct Seen {
    std::mutex m;
    std::vector<unsigned> codes, data;

    bool HasCode(unsigned c)
    {
        std::lock_guard<std::mutex> l(m);
        for (unsigned x : codes)
            if (x == c)
                return true;
        return false;
    }
    std::vector<unsigned> Data()
    {
        std::lock_guard<std::mutex> l(m);
        return data;
    }
};

// A stand-in for a media stream: counts the session's notices.
struct StreamRecorder : kvsession::StreamAttachment {
    std::atomic<int> lost{0}, freed{0}, stopping{0};
    void ConnectionLost() override { ++lost; }
    void SessionFreed() override { ++freed; }
    void SessionStopping() override { ++stopping; }
};

bool WaitFor(const std::function<bool()>& f)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return f();
}

int failures = 0;

void Check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++failures;
}

std::string Join(const std::vector<unsigned>& v)
{
    std::string s;
    for (unsigned x : v)
        s += (s.empty() ? "" : ",") + std::to_string(x);
    return s;
}

} // namespace

int main()
{
    KVNetInit();
    kvtest::SimProcess sim;
    if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "alarm-after-login=7"})) {
        std::printf("FAIL: the simulator did not start\n");
        return 1;
    }
    Seen seen;
    KVNetConnectionParam p{};
    p.szAddr = "127.0.0.1";
    p.nPort = sim.tcp_port();
    p.szUser = "admin";
    p.szPwd = "admin123";
    p.pUser = &seen;
    p.msgCallback = [](unsigned code, void* u) {
        auto* s = static_cast<Seen*>(u);
        std::lock_guard<std::mutex> l(s->m);
        s->codes.push_back(code);
    };
    p.dataCallback = [](unsigned type, const void*, unsigned, void* u) {
        auto* s = static_cast<Seen*>(u);
        std::lock_guard<std::mutex> l(s->m);
        s->data.push_back(type);
    };
    DevConnection* h = KVNetConnectionStartEx(&p);
    Check(h != nullptr, "session started");
    if (!h)
        return 1;
    StreamRecorder stream;
    h->AttachStream(&stream);
    Check(WaitFor([&] { return seen.HasCode(KVNetMsgLoginSuccess); }), "logged in");
    Check(h->Requests() != nullptr, "the request layer is attached");

#ifdef KV_PROBE_PARAMS
    KVNetQueryParamParam q{};
    q.nParamType = 505;
    q.nTimeoutMs = 20000;
    Check(KVNetQueryParam(h, &q) == 1, "a parameter query is answered (its reply reached the waiter)");
#endif

    // The simulator echoes each message. Alarm reports come back to the data callback;
    // answers to a query (211/723), to an asynchronous-only type (303) and to an unknown
    // type are replies: the request layer takes them, and nobody waits for them here.
    struct Msg {
        uint16_t type, sub;
    } msgs[] = {{890, 9}, {211, 723}, {303, 0}, {5555, 1}, {891, 11}};
    for (const Msg& m : msgs) {
        MsgHeadWrap head;
        head.MsgType = m.type;
        head.MsgSubType = m.sub;
        head.Seq = 900000u + m.type;
        Check(h->SendOnMain(head, nullptr), ("sent " + std::to_string(m.type)).c_str());
    }
    // Replies come back in order on the one connection: once the last alarm is in, every
    // message before it has been routed.
    Check(WaitFor([&] {
              auto d = seen.Data();
              return !d.empty() && d.back() == 11;
          }),
          "the last alarm report arrived");
    const std::string data = Join(seen.Data());
    std::printf("data callback types: %s\n", data.c_str());
    Check(data == "7,9,11", "the data callback got the alarm reports and nothing else");

    // A reset closes the connection: the stream hears of it and stays attached.
    seen.m.lock();
    seen.codes.clear();
    seen.m.unlock();
    KVNetResetConnection(h);
    Check(stream.lost.load() == 1, "the attached stream heard of the lost connection once");
    Check(WaitFor([&] { return seen.HasCode(KVNetMsgLoginSuccess); }), "logged in again after the reset");
    KVNetConnectionStop(&h);
    Check(stream.stopping.load() == 1, "the attached stream was told to end its work once");
    Check(stream.lost.load() == 1 && stream.freed.load() == 0,
          "the stream was detached before the session went: no later notice");
    KVNetRelease();
    std::printf("%s\n", failures ? "ROUTING PROBE FAILED" : "ROUTING PROBE PASSED");
    return failures ? 1 : 0;
}
