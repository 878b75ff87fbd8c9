// The upgrade against a device that answers with arbitrary bytes: start replies, the
// verdict on 762, flash progress and multi-channel progress records. A real upgrade runs
// over loopback TCP; the fuzz input (after one byte choosing the upgrade type) is all the
// device ever sends, then it closes. The parsers are also fed the input directly.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "upgrade.h"
#include "upgrade_proto.h"
#include "scripted_device.h"
#include "temp_dir.h"

namespace {

class Link : public kvsession::Link {
public:
    explicit Link(uint16_t port) : port_(port) {}
    bool IsLoggedIn() override { return true; }
    uint32_t SessionId() override { return 7; }
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

kvtest::ScriptedDevice* g_device = nullptr;
kvtest::TempDir* g_dir = nullptr; // removed at exit with the files in it
std::string g_files[8];

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    memcpy(b.data() + off, &v, 4);
}

std::string write_file(const char* stem, const std::vector<uint8_t>& d)
{
    const std::string path = g_dir->File(stem);
    kvtest::WriteFile(path, d.data(), d.size());
    return path;
}

struct Calls {
    std::atomic<int> n{0};
    static void cb(unsigned code, void* param, void* user)
    {
        auto* c = static_cast<Calls*>(user);
        if (code == kvupg::kIPCPercent) {
            // The record must be readable for its minimum size.
            const auto* r = static_cast<const volatile uint8_t*>(param);
            uint8_t x = 0;
            for (uint32_t i = 0; i < kvupg::kRecordMin; ++i)
                x ^= r[i];
            (void)x;
        }
        c->n++;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_device = new kvtest::ScriptedDevice;
    g_dir = new kvtest::TempDir("fuzz-upgrade");
    atexit([] { delete g_dir; });

    // One part file (two parts of 10 and 5000 bytes) and one plain file.
    std::vector<uint8_t> parts(276 + 2 * 92 + 5010, 0x5A);
    put32(parts, 12, 2);
    put32(parts, 276 + 8, 276 + 2 * 92);
    put32(parts, 276 + 12, 10);
    put32(parts, 276 + 16, 0);
    put32(parts, 276 + 92 + 8, 276 + 2 * 92 + 10);
    put32(parts, 276 + 92 + 12, 5000);
    put32(parts, 276 + 92 + 16, 1);
    put32(parts, 4, kvupg::FileCheckValue(parts.data(), parts.size()));
    const std::string pf = write_file("parts", parts);
    const std::string plain = write_file("plain", std::vector<uint8_t>(5000, 0xA5));
    g_files[3] = g_files[6] = pf;
    g_files[4] = g_files[5] = g_files[7] = plain;

    auto& t = kvnet_upgrade_timings();
    t.connectMs = t.startSendMs = t.startRecvMs = t.plainRecvMs = t.dataSendMs = t.closeRecvMs = 1000;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const uint32_t types[] = {3, 6, 4, 5, 7, 3, 4, 7};
    const uint32_t type = types[data[0] & 7];
    const uint8_t* dev = data + 1;
    const size_t devLen = size - 1;

    // The parsers on their own.
    {
        std::vector<uint8_t> copy(dev, dev + devLen);
        std::vector<kvupg::ProgressRecord> recs;
        uint32_t m, w;
        kvupg::ParseWant(copy.data(), static_cast<uint32_t>(copy.size()), &m, &w);
        if (kvupg::SplitProgress(copy.data(), static_cast<uint32_t>(copy.size()), &recs)) {
            kvupg::ChannelMask mask;
            mask.first = ~0u;
            for (auto& v : mask.words)
                v = ~0u;
            for (auto& r : recs)
                mask.Finish(r.channel);
        }
    }

    Calls calls;
    KVUpgradeRequest req;
    req.path = g_files[type];
    req.callback = &Calls::cb;
    req.user = &calls;
    req.type = type;
    req.mask = 0x3;
    req.masks[1] = 0x1;
    g_device->Start({{std::string(reinterpret_cast<const char*>(dev), devLen)}});
    auto* up = new DevRemoteUpgrade(std::make_unique<Link>(g_device->port()), req);
    if (!up->Start()) {
        delete up;
        g_device->Stop();
        return 0;
    }
    // The device answers with the input while it reads whatever the client sends (it
    // may send a lot before it reads), then reads to the client's close.
    g_device->WaitServed(5000);
    DevRemoteUpgrade::StopAndFree(&up);
    g_device->Stop();
    return 0;
}
