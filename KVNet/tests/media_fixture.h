// Shared pieces of the media tests: a frame recorder (SHA-256 of every delivered frame),
// the simulator's media events, short media waits.
#pragma once
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "KVNet.h"
#include "media_conn.h"
#include "session_fixture.h"
#include "test_kit.h"

namespace kvmediatest {

inline std::string Sha256Hex(const void* data, size_t n)
{
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const unsigned char*>(data), n, d);
    std::string s;
    char b[3];
    for (unsigned char c : d) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

struct FrameRecorder {
    std::mutex mu;
    std::vector<std::string> sha;
    std::vector<char> types;
    std::vector<uint16_t> flags;
    std::vector<uint32_t> nos;
    std::vector<unsigned> codes;
    std::vector<uint64_t> reserved;
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};

    static void OnFrame(const KVFrameHead* f, uint32_t size, void* user)
    {
        auto* r = static_cast<FrameRecorder*>(user);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->sha.push_back(Sha256Hex(f, size));
        r->types.push_back(static_cast<char>(f->FrameType));
        r->flags.push_back(f->Flags);
        r->nos.push_back(f->FrameNo);
        r->reserved.push_back(f->Reserved);
    }
    static void OnMsg(unsigned code, void* user)
    {
        auto* r = static_cast<FrameRecorder*>(user);
        if (r->stopped)
            ++r->afterStop;
        std::lock_guard<std::mutex> l(r->mu);
        r->codes.push_back(code);
    }
    size_t Frames()
    {
        std::lock_guard<std::mutex> l(mu);
        return sha.size();
    }
    std::vector<unsigned> Codes()
    {
        std::lock_guard<std::mutex> l(mu);
        return codes;
    }
    bool Has(unsigned code)
    {
        for (unsigned c : Codes())
            if (c == code)
                return true;
        return false;
    }
};

inline KVNetPreviewParam PreviewParam(FrameRecorder& r, uint32_t channel = 1, uint8_t autoRe = 0, uint32_t proto = 0)
{
    KVNetPreviewParam p{};
    p.nChannel = channel;
    p.nStreamType = 0;
    p.nContent = 1;
    p.nProtocol = proto;
    p.bAutoReconnect = autoRe;
    p.dataCallback = &FrameRecorder::OnFrame;
    p.pUser = &r;
    p.msgCallback = &FrameRecorder::OnMsg;
    return p;
}

struct MediaTimingsScope {
    explicit MediaTimingsScope(const kvmedia::MediaTimings& t) { kvmedia::SetMediaTimings(t); }
    ~MediaTimingsScope() { kvmedia::SetMediaTimings(kvmedia::MediaTimings{}); }
};

inline kvmedia::MediaTimings FastMedia()
{
    kvmedia::MediaTimings t;
    t.connectMs = 2000;
    t.openRetryMs = 100;
    t.refusedPauseMs = 100;
    t.udpOpenMs = 2000;
    t.loginPollMs = 20;
    return t;
}

inline bool StartSim(kvtest::SimProcess& sim, const std::vector<std::string>& scenarios,
                     const std::vector<std::string>& prefix = {})
{
    std::vector<std::string> args;
    for (auto& s : scenarios) {
        args.push_back("--scenario");
        args.push_back(s);
    }
    return sim.Start(args, prefix);
}

// The device's sent frames (event media-frame), in order.
inline std::vector<std::string> DeviceFrames(const kvtest::SimProcess& sim, std::vector<std::string>* types = nullptr)
{
    std::vector<std::string> out;
    for (auto& l : kvsess::Events(sim, "media-frame")) {
        out.push_back(kvtest::JsonStr(l, "sha256"));
        if (types)
            types->push_back(kvtest::JsonStr(l, "type"));
    }
    return out;
}

// A logged-in session against the simulator.
struct Session {
    kvsess::Recorder rec;
    DevConnection* s = nullptr;
    bool Start(uint16_t port)
    {
        s = kvsess::StartSession(rec, port, "admin", "admin123", true);
        return s && kvtest::WaitFor([&] { return rec.Has(101); }, std::chrono::milliseconds(8000));
    }
    ~Session()
    {
        if (s)
            KVNetConnectionStop(&s);
    }
};

} // namespace kvmediatest
