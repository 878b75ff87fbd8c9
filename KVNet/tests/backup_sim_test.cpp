// Configuration export and import over side connections in the three security modes:
// round trips with equal SHA-256 on both sides, the message limit, refusals and the
// device's malformed records.
#include <gtest/gtest.h>

#include <cstring>
#include <openssl/sha.h>
#include <string>
#include <vector>

#include "msg_types.h"
#include "side_connection.h"
#include "requests_fixture.h"

namespace {

using kvreqtest::Received;
using kvreqtest::Session;
using kvreqtest::U32;
using Bytes = std::vector<uint8_t>;

struct Exported {
    int calls = 0;
    bool null = false;
    Bytes record;
};

void OnExport(void* rec, unsigned size, void* user)
{
    auto* e = static_cast<Exported*>(user);
    ++e->calls;
    e->null = rec == nullptr;
    if (rec)
        e->record.assign(static_cast<uint8_t*>(rec), static_cast<uint8_t*>(rec) + size);
}

Bytes Sha(const Bytes& b)
{
    Bytes d(32);
    SHA256(b.data(), b.size(), d.data());
    return d;
}

constexpr uint32_t kMaxData = kvmsg::kMaxBody - KVNET_BACKUP_HEAD_SIZE;
// An enveloped message carries the 400-byte envelope block and the inner head as well.
constexpr uint32_t kMaxEnvelopedData = kMaxData - 400 - 16;

struct Trip {
    const char* mode;
    uint32_t size;
};

class BackupRoundTrip : public ::testing::TestWithParam<Trip> {};

TEST_P(BackupRoundTrip, ExportThenImport)
{
    const Trip t = GetParam();
    Session s;
    ASSERT_TRUE(s.Start({"export-size=" + std::to_string(t.size), "import-verify"}, t.mode));
    Exported e;
    KVNetExportBackupParam p{&e, OnExport};
    ASSERT_EQ(KVNetExportBackupNew(s.h, &p), 1);
    ASSERT_EQ(e.calls, 1);
    ASSERT_EQ(e.record.size(), KVNET_BACKUP_HEAD_SIZE + t.size);
    EXPECT_EQ(U32(e.record.data()), KVNET_BACKUP_HEAD_SIZE + t.size);
    EXPECT_EQ(U32(e.record.data() + 4), t.size);
    const Bytes sha = Sha(e.record);
    // The simulator accepts the import only when its SHA-256 of the record equals that
    // of the record it exported.
    ASSERT_EQ(KVNetRemoteParamImportNew(s.h, reinterpret_cast<const KVNetBackupRecord*>(e.record.data())), 1);
    if (t.size <= 393216) {
        // And the bytes the device logged are the bytes exported.
        auto sent = Received(s.sim, 414);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(Sha(sent[1].body), sha);
        EXPECT_EQ(sent[0].body.size(), 8u);
        EXPECT_EQ(U32(sent[0].body.data()), s.SessionId());
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BackupRoundTrip,
                         ::testing::Values(Trip{"plain", 0}, Trip{"plain", 1000}, Trip{"plain", 393216},
                                           Trip{"scrambled", 0}, Trip{"scrambled", 1000},
                                           Trip{"scrambled", 393216}, Trip{"srp", 0}, Trip{"srp", 1000},
                                           Trip{"srp", 393216}),
                         [](const ::testing::TestParamInfo<Trip>& i) {
                             return std::string(i.param.mode) + "_" + std::to_string(i.param.size);
                         });

class BackupLargestSlow : public ::testing::TestWithParam<const char*> {};

TEST_P(BackupLargestSlow, LargestRecordAndOneByteMore)
{
    // The simulator scrambles 16 MiB in Python far slower than a device, more so on a busy
    // machine: wait for it both ways.
    kvside::SideConnection::SetTimeouts(120000, 120000, 5000);
    const bool env = std::string(GetParam()) == "srp";
    const uint32_t largest = env ? kMaxEnvelopedData : kMaxData;
    Session s;
    ASSERT_TRUE(s.Start({"export-size=" + std::to_string(largest), "import-verify"}, GetParam()));
    Exported e;
    KVNetExportBackupParam p{&e, OnExport};
    ASSERT_EQ(KVNetExportBackupNew(s.h, &p), 1);
    ASSERT_EQ(e.record.size(), KVNET_BACKUP_HEAD_SIZE + largest);
    ASSERT_EQ(KVNetRemoteParamImportNew(s.h, reinterpret_cast<const KVNetBackupRecord*>(e.record.data())), 1);
    // One byte more: the import refuses before connecting.
    const size_t before = Received(s.sim, 414).size();
    Bytes big(KVNET_BACKUP_HEAD_SIZE + largest + 1, 0);
    const uint32_t n = largest + 1;
    std::memcpy(big.data() + 4, &n, 4);
    EXPECT_EQ(KVNetRemoteParamImportNew(s.h, reinterpret_cast<const KVNetBackupRecord*>(big.data())), 0);
    EXPECT_EQ(Received(s.sim, 414).size(), before);
    kvside::SideConnection::SetTimeouts(0, 0, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, BackupLargestSlow, ::testing::Values("plain", "scrambled", "srp"));

TEST(BackupE2ESlow, ExportBeyondTheLimitFailsCleanly)
{
    Session s;
    ASSERT_TRUE(s.Start({"export-size=" + std::to_string(kMaxData + 1)}));
    Exported e;
    KVNetExportBackupParam p{&e, OnExport};
    EXPECT_EQ(KVNetExportBackupNew(s.h, &p), 0);
    EXPECT_EQ(e.calls, 0);
    uint8_t block[44] = {};
    EXPECT_EQ(KVNetPTZControl(s.h, 100, block), 1); // the session itself is untouched
}

TEST(BackupE2E, ExportEdgeCases)
{
    struct Case {
        const char* scenario;
        int want;
        int calls;
        bool null;
    } cases[] = {
        {"export-empty", 1, 1, true},
        {"export-ack=50", 2, 0, false},
        {"export-ack=3", 0, 0, false},
        {"export-lie=size", 0, 0, false},
        {"export-lie=len", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Session s;
        ASSERT_TRUE(s.Start({c.scenario}));
        Exported e;
        KVNetExportBackupParam p{&e, OnExport};
        EXPECT_EQ(KVNetExportBackupNew(s.h, &p), c.want);
        EXPECT_EQ(e.calls, c.calls);
        EXPECT_EQ(e.null, c.null);
        KVNetExportBackupParam noCb{&e, nullptr};
        if (c.want == 1)
            EXPECT_EQ(KVNetExportBackupNew(s.h, &noCb), 0);
    }
}

TEST(BackupE2E, ImportSetsTheRecordSizeAndReportsRefusals)
{
    Bytes rec(KVNET_BACKUP_HEAD_SIZE + KVNET_BACKUP_TOOL_DATA, 0);
    const uint32_t tool = KVNET_BACKUP_HEAD_SIZE + KVNET_BACKUP_TOOL_DATA, n = 1000;
    std::memcpy(rec.data(), &tool, 4);
    std::memcpy(rec.data() + 4, &n, 4);
    std::memcpy(rec.data() + 8, "IPC-X1", 6);
    for (uint32_t i = 0; i < n; ++i)
        rec[40 + i] = static_cast<uint8_t>(i * 31);
    auto* r = reinterpret_cast<const KVNetBackupRecord*>(rec.data());
    {
        Session s;
        ASSERT_TRUE(s.Start({}));
        ASSERT_EQ(KVNetRemoteParamImportNew(s.h, r), 1);
        auto sent = Received(s.sim, 414);
        ASSERT_EQ(sent.size(), 2u);
        ASSERT_EQ(sent[1].body.size(), 1040u);
        EXPECT_EQ(U32(sent[1].body.data()), 1040u);
        EXPECT_EQ(Bytes(sent[1].body.begin() + 4, sent[1].body.end()), Bytes(rec.begin() + 4, rec.begin() + 1040));
        EXPECT_EQ(sent[0].seq, sent[1].seq);
    }
    {
        Session s;
        ASSERT_TRUE(s.Start({"import-ack=50"}));
        EXPECT_EQ(KVNetRemoteParamImportNew(s.h, r), 2);
        EXPECT_EQ(Received(s.sim, 414).size(), 1u); // no data sent
    }
    {
        Session s;
        ASSERT_TRUE(s.Start({"import-second-ack=50"}));
        EXPECT_EQ(KVNetRemoteParamImportNew(s.h, r), 0);
    }
    EXPECT_EQ(KVNetRemoteParamImportNew(nullptr, r), 0);
    EXPECT_EQ(KVNetExportBackup(), 0);
    EXPECT_EQ(KVNetRemoteParamImport(), 0);
}

} // namespace
