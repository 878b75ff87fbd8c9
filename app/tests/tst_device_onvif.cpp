// The two ONVIF operations of a record found by the ONVIF search, through the real ONVIF
// client against the project's ONVIF device-service peer on loopback.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <cstring>
#include <memory>
#include <thread>

#include "KVOnvif.h"
#include "device_info.h"
#include "device_test_env.h"

namespace {

const QString kPeers = QStringLiteral(KV_SOURCE_DIR "/KVOnvif/tests/peers");

// The peer as a child process; it ends when its standard input closes.
class OnvifPeer {
public:
    bool start()
    {
        proc.setProgram("/usr/bin/python3");
        proc.setArguments({kPeers + "/device_service.py", "--user", "admin", "--password", "secret"});
        proc.start();
        if (!proc.waitForStarted(10000))
            return false;
        QByteArray line;
        QElapsedTimer t;
        t.start();
        while (!line.contains('\n') && t.elapsed() < 15000) {
            proc.waitForReadyRead(500);
            line += proc.readAllStandardOutput();
        }
        const int at = line.indexOf("READY port=");
        if (at < 0)
            return false;
        port = line.mid(at + 11).trimmed().split('\n').first().toInt();
        return port > 0;
    }
    ~OnvifPeer()
    {
        proc.closeWriteChannel();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
    // POST to the peer's control channel (by an independent Python client).
    QJsonObject control(const QString& path, const QByteArray& json = "{}")
    {
        QProcess p;
        p.start("/usr/bin/python3",
                {"-c", "import sys,urllib.request;print(urllib.request.urlopen(urllib.request.Request("
                       "sys.argv[1],data=sys.argv[2].encode(),method='POST')).read().decode())",
                 QString("http://127.0.0.1:%1%2").arg(port).arg(path), QString::fromUtf8(json)});
        p.waitForFinished(15000);
        return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }
    QProcess proc;
    int port = 0;
};

std::unique_ptr<DeviceInfo> onvifRecord(int port, const QString& password = "secret")
{
    SearchDevRsp r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.szIP, "127.0.0.1");
    std::strcpy(r.szMac, "02-00-00-00-00-01");
    r.nWebPort = uint32_t(port);
    r.nChannelCount = 1;
    auto rec = std::make_unique<DeviceInfo>();
    rec->updateDeviceInfo(&r, true);
    rec->updateUserAndPassword("admin", password);
    return rec;
}

bool runAndWait(void (*job)(void*), DeviceInfo* rec)
{
    rec->m_nStatus = DeviceInfo::StWorking;
    std::thread(job, rec).join();
    QElapsedTimer t;
    t.start();
    while (rec->isBusy() && t.elapsed() < 60000)
        QTest::qWait(10);
    return !rec->isBusy();
}

} // namespace

class DeviceOnvifTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devtest::appFolder();
        KVOnvifInit();
    }
    void queryShowsTheDevicesSettings();
    void changeReachesTheDeviceAndTheRecord();
    void failuresShowFailed();
    void makersOperationsRefusedOnOnvifRecords();
};

void DeviceOnvifTest::queryShowsTheDevicesSettings()
{
    OnvifPeer peer;
    QVERIFY(peer.start());
    const QByteArray state = R"({"interfaces":[{"token":"eth0","enabled":true,"mtu":1500,"hw":"02:00:00:00:00:01",
        "ipv4":{"enabled":true,"dhcp":true,"manual":[],"fromdhcp":["10.0.0.5",24]}}],
        "protocols":[{"name":"HTTP","enabled":true,"ports":[8080]}],
        "gateway":{"ipv4":["10.0.0.1"],"ipv6":[]}})";
    QVERIFY(peer.control("/control/state", state).value("ok").toBool());
    auto rec = onvifRecord(peer.port);
    QVERIFY(runAndWait(DeviceInfo::doOnvifQueryIPWork, rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StQueryDone));
    QCOMPARE(rec->ipText(), QString("10.0.0.5"));
    QCOMPARE(rec->maskText(), QString("255.255.255.0"));
    QCOMPARE(rec->gatewayText(), QString("10.0.0.1"));
    QCOMPARE(rec->m_searchRsp.nWebPort, 8080u);
    QCOMPARE(rec->m_searchRsp.nNetMode, 0u);
    QCOMPARE(rec->m_hConnection, nullptr);
}

void DeviceOnvifTest::changeReachesTheDeviceAndTheRecord()
{
    OnvifPeer peer;
    QVERIFY(peer.start());
    auto rec = onvifRecord(peer.port);
    rec->updateSearchIPInfo("198.51.100.30", 0, 0, "198.51.100.2", "255.255.0.0", 2);
    QVERIFY(runAndWait(DeviceInfo::doOnvifModifyIPWork, rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StDone));
    QCOMPARE(rec->ipText(), QString("198.51.100.30"));
    QCOMPARE(rec->gatewayText(), QString("198.51.100.2"));
    QCOMPARE(rec->maskText(), QString("255.255.0.0"));
    const QJsonObject st = peer.control("/control/log").value("state").toObject();
    const QJsonArray manual =
        st["interfaces"].toArray()[0].toObject()["ipv4"].toObject()["manual"].toArray();
    QCOMPARE(manual[0].toArray()[0].toString(), QString("198.51.100.30"));
    QCOMPARE(manual[0].toArray()[1].toInt(), 16);
    QCOMPARE(st["gateway"].toObject()["ipv4"].toArray()[0].toString(), QString("198.51.100.2"));
}

void DeviceOnvifTest::failuresShowFailed()
{
    OnvifPeer peer;
    QVERIFY(peer.start());
    // Wrong password: the ONVIF login itself contacts nobody; the request then fails.
    auto rec = onvifRecord(peer.port, "wrong");
    QVERIFY(runAndWait(DeviceInfo::doOnvifQueryIPWork, rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StQueryFailed));
    QCOMPARE(rec->ipText(), QString("127.0.0.1"));
    QVERIFY(peer.control("/control/state", R"({"faults":{"SetNetworkInterfaces":"fault"}})").value("ok").toBool());
    auto rec2 = onvifRecord(peer.port);
    rec2->updateSearchIPInfo("198.51.100.31", 0, 0, "", "", 2);
    QVERIFY(runAndWait(DeviceInfo::doOnvifModifyIPWork, rec2.get()));
    QCOMPARE(rec2->m_nStatus, int(DeviceInfo::StFailed));
    QCOMPARE(rec2->ipText(), QString("127.0.0.1"));
}

void DeviceOnvifTest::makersOperationsRefusedOnOnvifRecords()
{
    // The ONVIF login succeeds (it contacts nobody); the maker's calls would get a handle
    // that is not theirs, so the operation fails without them.
    OnvifPeer peer;
    QVERIFY(peer.start());
    struct Case {
        void (*job)(void*);
        int status;
    } cases[] = {{DeviceInfo::doLoadDefaultWork, DeviceInfo::StFailed},
                 {DeviceInfo::doUpgradeWork, DeviceInfo::StFailed},
                 {DeviceInfo::doExportWork, DeviceInfo::StFailed},
                 {DeviceInfo::doImportWork, DeviceInfo::StImportFailed},
                 {DeviceInfo::doQueryVersionNumWork, DeviceInfo::StQueryFailed},
                 {DeviceInfo::doMatchVersionNumWork, DeviceInfo::StLoggedIn}};
    for (const Case& c : cases) {
        auto rec = onvifRecord(peer.port);
        QVERIFY(runAndWait(c.job, rec.get()));
        QCOMPARE(rec->m_nStatus, c.status);
        QCOMPARE(rec->m_hConnection, nullptr);
        QCOMPARE(rec->m_hUpgrade, nullptr);
    }
}

QTEST_MAIN(DeviceOnvifTest)
#include "tst_device_onvif.moc"
