// The address change over the maker's protocol, whole: a broadcast search finds the
// simulated device, the record's job sends the 744-byte request (checked byte for byte as
// the device received it), the row shows the new values at once and the next search
// finds the device at its new address. Runs only inside a private network namespace pair
// (ctest starts it through tests/netns/kvnetns.sh); elsewhere it skips.
#include <QtTest>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "KVNet.h"
#include "device_info.h"
#include "device_test_env.h"
#include "readdress.h"
#include "search_netns.h"

namespace {

std::mutex g_mu;
std::vector<SearchDevRsp> g_found;
bool g_done = false;

// Shaped like the search page's callback: it answers whether it took the record.
int onFound(const SearchDevRsp* r, void*)
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (r)
        g_found.push_back(*r);
    else
        g_done = true;
    return r ? 1 : 0;
}

std::vector<SearchDevRsp> search()
{
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_found.clear();
        g_done = false;
    }
    KVNetSearchDevParam p{};
    p.callback = &searchCallbackAdapter<onFound>;
    KVNetSearchDev(&p);
    kvtest::WaitFor([] { std::lock_guard<std::mutex> lk(g_mu); return g_done; }, std::chrono::seconds(15));
    std::lock_guard<std::mutex> lk(g_mu);
    return g_found;
}

int g_searchCalls = 0;
bool g_lastWholeRow = false;

} // namespace

class DeviceReaddressNetnsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void changeIsSentAndShown();
    void unansweredChangeKeepsTheRecord();

private:
    kvnetns::UdpSim m_sim;
};

void DeviceReaddressNetnsTest::initTestCase()
{
    if (!kvtest::InPrivateNetns() || !getenv("KVNETNS"))
        QSKIP("needs a private network namespace pair (run through tests/netns/kvnetns.sh)");
    devtest::appFolder();
    kv_readdress_set_timeouts(1500, 1500);
    DeviceInfo::PageHooks h;
    h.search = [](SearchFrame*, DeviceInfo*, bool whole, bool done) {
        if (done) {
            ++g_searchCalls;
            g_lastWholeRow = whole;
        }
    };
    DeviceInfo::setPageHooks(h);
}

static std::unique_ptr<DeviceInfo> recordOf(const SearchDevRsp& r)
{
    auto rec = std::make_unique<DeviceInfo>();
    rec->updateDeviceInfo(&r, false);
    rec->updateUserAndPassword("admin", "quoll-pw");
    rec->m_pSearchFrame = reinterpret_cast<SearchFrame*>(&g_searchCalls);
    return rec;
}

static bool runModify(DeviceInfo* rec)
{
    rec->m_nStatus = DeviceInfo::StWorking;
    std::thread(DeviceInfo::doModifyIPWork, rec).join();
    QElapsedTimer t;
    t.start();
    while (rec->isBusy() && t.elapsed() < 30000)
        QTest::qWait(10);
    return !rec->isBusy();
}

void DeviceReaddressNetnsTest::changeIsSentAndShown()
{
    QVERIFY(m_sim.Start({"devices=1", "device-password=quoll-pw"}));
    const auto found = search();
    QCOMPARE(int(found.size()), 1);
    auto rec = recordOf(found[0]);
    QCOMPARE(rec->ipText(), QString("198.51.100.64"));
    // Empty gateway: the searched one goes out.
    rec->updateSearchIPInfo("198.51.100.77", 7000, 8080, "", "255.255.0.0", 0);
    g_searchCalls = 0;
    QVERIFY(runModify(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StDone));
    QCOMPARE(g_searchCalls, 1);
    QVERIFY(g_lastWholeRow);
    QCOMPARE(rec->ipText(), QString("198.51.100.77"));
    QCOMPARE(rec->maskText(), QString("255.255.0.0"));
    QCOMPARE(rec->gatewayText(), QString("198.51.100.254"));
    QCOMPARE(rec->m_searchRsp.nMediaPort, 7000u);
    QCOMPARE(rec->m_searchRsp.nWebPort, 8080u);
    QCOMPARE(rec->m_searchRsp.nNetMode, 0u);

    // What the device received, byte for byte, from the values the device itself reported.
    QByteArray want(744, '\0');
    want.replace(0, 2, "12");
    want.replace(16, 5, "admin");
    want.replace(80, 8, "quoll-pw");
    const char addrs[] = {char(198), 51, 100, 64, char(198), 51, 100, 77, char(255), char(255), 0, 0,
                          char(198), 51, 100, char(254), 0, 0, 0, 0, 0, 0, 0, 0};
    want.replace(144, 24, QByteArray(addrs, 24));
    want.replace(168, 17, "00-4B-56-00-00-00");
    const char carry[] = {char(0xC0), 0, 0, 0, 0, 0, 0, 0};
    want.replace(208, 8, QByteArray(carry, 8));
    const char tail[] = {char(0x58), char(0x1B), 0, 0, char(0x90), char(0x1F), 0, 0, 0, 1, 0, 0};
    want.replace(216, 12, QByteArray(tail, 12));
    const auto lines = m_sim.Lines({13});
    QVERIFY(!lines.empty());
    for (const std::string& line : lines) {
        const auto body = kvtest::JsonHex(line, "body");
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(body.data()), int(body.size())).toHex(), want.toHex());
    }
    // The device took the values: the next search shows them.
    const auto again = search();
    QCOMPARE(int(again.size()), 1);
    QCOMPARE(QString::fromLatin1(again[0].szIP), QString("198.51.100.77"));
    QCOMPARE(again[0].nWebPort, 8080u);
    m_sim.Stop();
}

void DeviceReaddressNetnsTest::unansweredChangeKeepsTheRecord()
{
    QVERIFY(m_sim.Start({"devices=1", "device-password=quoll-pw", "readdress-silent"}));
    const auto found = search();
    QCOMPARE(int(found.size()), 1);
    auto rec = recordOf(found[0]);
    rec->updateSearchIPInfo("198.51.100.78", 0, 0, "", "", 2);
    g_searchCalls = 0;
    QVERIFY(runModify(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StFailed));
    QCOMPARE(g_searchCalls, 1);
    QVERIFY(!g_lastWholeRow);
    QCOMPARE(rec->ipText(), QString("198.51.100.64"));
    QVERIFY(!m_sim.Lines({13}).empty());
    m_sim.Stop();
}

QTEST_MAIN(DeviceReaddressNetnsTest)
#include "tst_device_readdress_netns.moc"
