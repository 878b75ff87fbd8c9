// Device operations end to end: each pending operation through the real client against
// the device simulator, the parameter blocks as the simulator received them, the login
// outcomes, refusals for lack of rights, export and import with their limits, and the
// upgrade's event sequence.
#include <QSaveFile>
#include <QTemporaryDir>
#include <QProcess>

#include "device_ops_fixture.h"
#include "device_shell_access.h"
#include "device_test_env.h"
#include "dev_connection.h"
#include "upgrade_fw_util.h"

using namespace devtest;
using kvreqtest::Received;

class DeviceOpsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void loginOutcomes_data();
    void loginOutcomes();
    void noHandleIsAFailedLogin();
    void laterResultsAreIgnored();
    void restoreDefaults_data();
    void restoreDefaults();
    void enableNtp();
    void enableNtpRefusedSendsNothing();
    void versionQuery_data();
    void versionQuery();
    void factoryInformation_data();
    void factoryInformation();
    void ptzDefault_data();
    void ptzDefault();
    void exportWritesTheDevicesBytes();
    void exportFailures_data();
    void exportFailures();
    void importSendsTheFile_data();
    void importSendsTheFile();
    void importRefusals_data();
    void importRefusals();
    void upgradeSequence_data();
    void upgradeSequence();
    void upgradeWithoutHandleFails();
    void upgradeEndingAtOnceKeepsItsOrder();
    void channelProgressNeverEndsTheUpgrade();
    void percentSequenceThenSuccess();
    void passwordNeverInDebugOutput();

private:
    QTemporaryDir m_dir;
};

void DeviceOpsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    devtest::appFolder();
    KVNetInit();
    KVNetSetEncription(0);
    // Short pauses between connection rounds keep the failure cases quick.
    KVSessionTimings t;
    t.retryMs = 200;
    t.connectMs = 2000;
    kvnet_set_session_timings(t);
}

void DeviceOpsTest::init()
{
    installHooks();
    DeviceInfo::setSaveFileDialog(nullptr);
}

void DeviceOpsTest::loginOutcomes_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::newRow("logged in (101)") << "admin" << "admin123" << "" << 5;
    QTest::newRow("no such user (103)") << "nobody" << "admin123" << "" << 2;
    QTest::newRow("wrong password (104)") << "admin" << "bad" << "" << 3;
    QTest::newRow("other refusal") << "admin" << "admin123" << "login-ack=15" << 1;
}

void DeviceOpsTest::loginOutcomes()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, scenario);
    QFETCH(int, status);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port(), user, password);
    runJob(DeviceInfo::doLoadDefaultWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, status);
    QCOMPARE(rec->m_hConnection, nullptr);
    QCOMPARE(doneCalls('d', rec.get()), 1);
    // The operation ran only after a login.
    QCOMPARE(int(Received(sim, 216).size()), status == 5 ? 1 : 0);
}

void DeviceOpsTest::noHandleIsAFailedLogin()
{
    // A port above 65535: the client starts nothing and nothing would ever call back.
    auto rec = makeRecord(70000);
    rec->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doUpgradeWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StLoginFailed));
    QCOMPARE(doneCalls('d', rec.get()), 1);
    QCOMPARE(doneCalls('u', rec.get()), 1);

    // A refused connection: code 2.
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    const uint16_t port = sim.tcp_port();
    sim.Stop();
    auto rec2 = makeRecord(port);
    runJob(DeviceInfo::doLoadDefaultWork, rec2.get());
    QVERIFY(waitIdle(rec2.get()));
    QCOMPARE(rec2->m_nStatus, int(DeviceInfo::StLoginFailed));
    QCOMPARE(rec2->m_hConnection, nullptr);
}

void DeviceOpsTest::laterResultsAreIgnored()
{
    // A device that accepts the connection and never answers the login: the job waits
    // for its first result; two arrive back to back (code 2, then 101 of a second round).
    kvtest::SimProcess sim;
    QVERIFY(sim.Start({"--scenario", "silent"}));
    auto rec = makeRecord(sim.tcp_port());
    runJob(DeviceInfo::doLoadDefaultWork, rec.get());
    QTRY_VERIFY_WITH_TIMEOUT(rec->m_hConnection != nullptr, 10000);
    QCoreApplication::postEvent(rec.get(), new QConnectEvent(2));
    QCoreApplication::postEvent(rec.get(), new QConnectEvent(101));
    QVERIFY(waitIdle(rec.get()));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StLoginFailed));
    QCOMPARE(doneCalls('d', rec.get()), 1);
    QCOMPARE(int(Received(sim, 216).size()), 0);
    // And a stray result long after the job: nothing.
    QCoreApplication::postEvent(rec.get(), new QConnectEvent(101));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StLoginFailed));
    QCOMPARE(doneCalls('d', rec.get()), 1);
}

void DeviceOpsTest::restoreDefaults_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::newRow("accepted") << "" << 5;
    QTest::newRow("no right (2) is a failure") << "param-ack=521:50" << 6;
    QTest::newRow("refused") << "param-ack=521:1" << 6;
}

void DeviceOpsTest::restoreDefaults()
{
    QFETCH(QString, scenario);
    QFETCH(int, status);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    runJob(DeviceInfo::doLoadDefaultWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, status);
    const auto s = sets(sim);
    QCOMPARE(int(s.size()), 1);
    QCOMPARE(s[0].first, 521u);
    QCOMPARE(s[0].second.toHex(), QByteArray("0c0000000c0000000101010101010101"));
}

void DeviceOpsTest::enableNtp()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    auto rec = makeRecord(sim.tcp_port());
    runJob(DeviceInfo::doEnableNTPWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StDone));
    // The device's block (its pattern: byte i = 24 + i) comes back with the switch on.
    QByteArray want = u32le(160);
    for (int i = 4; i < 160; ++i)
        want.append(char((24 + i) & 0xFF));
    want[56] = 1;
    const auto s = sets(sim);
    QCOMPARE(int(s.size()), 1);
    QCOMPARE(s[0].first, 524u);
    QCOMPARE(s[0].second.toHex(), (u32le(160) + want).toHex());
}

void DeviceOpsTest::enableNtpRefusedSendsNothing()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"param-ack=524:50"}));
    auto rec = makeRecord(sim.tcp_port());
    runJob(DeviceInfo::doEnableNTPWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StFailed));
    QCOMPARE(int(Received(sim, 211).size()), 1);
    QCOMPARE(int(Received(sim, 216).size()), 0);
}

void DeviceOpsTest::versionQuery_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("version");
    QTest::newRow("answered") << "" << 20 << "V5.1.2-sim build 7";
    QTest::newRow("no right") << "param-ack=502:50" << 21 << "kept";
    // A version text that fills its field: read within the field, not beyond.
    QByteArray raw = u32le(588) + u32le(588) + QByteArray(149, '\0') + QByteArray(435, 'V');
    QTest::newRow("no terminator") << QString("param-raw=502:") + raw.toHex() << 20 << QString(64, 'V');
}

void DeviceOpsTest::versionQuery()
{
    QFETCH(QString, scenario);
    QFETCH(int, status);
    QFETCH(QString, version);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strQueriedVersion = "kept";
    rec->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doQueryVersionNumWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, status);
    QCOMPARE(rec->m_strQueriedVersion, version);
    QCOMPARE(doneCalls('u', rec.get()), 1);
    const auto q = Received(sim, 211);
    QCOMPARE(int(q.size()), 1);
    QCOMPARE(q[0].subtype, 502u);
}

void DeviceOpsTest::factoryInformation_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("block582"); // hex; empty: not sent
    QTest::newRow("key only") << " 0x1A2B " << "" << "" << 5
                              << QByteArray("20000000" "2b1a0000" "00000000000000000000000000000000" "ff" "00000000000000");
    QTest::newRow("board of 16") << "" << "0123456789ABCDEF" << "" << 5
                                 << (QByteArray("20000000" "00000000") + QByteArray("0123456789ABCDEF").toHex() +
                                     "ff" "00000000000000");
    QTest::newRow("both empty: only 700") << "" << "" << "" << 5 << QByteArray();
    QTest::newRow("700 refused (no right)") << "0x1" << "b" << "param-ack=700:50" << 6 << QByteArray();
    QTest::newRow("582 refused (no right)") << "0x1" << "b" << "param-ack=582:50" << 6
                                            << (QByteArray("20000000" "01000000") + QByteArray("b").toHex() +
                                                QByteArray(30, '0') + "ff" "00000000000000");
    QTest::newRow("board over 16 bytes") << "0x1" << QString::fromUtf8("\xc3\xa9" "123456789ABCDEF") << "" << 6
                                         << QByteArray();
}

void DeviceOpsTest::factoryInformation()
{
    QFETCH(QString, key);
    QFETCH(QString, board);
    QFETCH(QString, scenario);
    QFETCH(int, status);
    QFETCH(QByteArray, block582);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    KVNet_KeyBackupSet_t kb;
    auto* bytes = reinterpret_cast<uint8_t*>(&kb);
    for (size_t i = 0; i < sizeof kb; ++i)
        bytes[i] = uint8_t(i * 7 + 1);
    kb.StructSize = sizeof kb;
    rec->updateKeyBackupParam(kb);
    rec->updateKeyIDAndBoardID(key, board);
    runJob(DeviceInfo::doModifyDeviceInfoWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, status);
    const auto s = sets(sim);
    QVERIFY(!s.empty());
    QCOMPARE(s[0].first, 700u);
    QCOMPARE(s[0].second.toHex(), (u32le(1032) + QByteArray(reinterpret_cast<const char*>(&kb), 1032)).toHex());
    if (block582.isEmpty()) {
        QCOMPARE(int(s.size()), 1);
    } else {
        QCOMPARE(int(s.size()), 2);
        QCOMPARE(s[1].first, 582u);
        QCOMPARE(s[1].second.toHex(), QByteArray("20000000") + block582);
        QCOMPARE(rec->m_strKeyID, key.trimmed());
    }
}

void DeviceOpsTest::ptzDefault_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("status");
    QTest::newRow("done") << "" << 5;
    QTest::newRow("no right") << "ptz-ack=50" << 6;
}

void DeviceOpsTest::ptzDefault()
{
    QFETCH(QString, scenario);
    QFETCH(int, status);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    runJob(DeviceInfo::doPtzRestoreWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, status);
    const auto m = Received(sim, 101);
    QCOMPARE(int(m.size()), 1);
    QCOMPARE(m[0].subtype, 100u);
    QCOMPARE(bodyOf(m[0]), QByteArray(44, '\0'));
}


void DeviceOpsTest::exportWritesTheDevicesBytes()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"export-size=5000"}));
    auto rec = makeRecord(sim.tcp_port());
    const QString path = m_dir.filePath("export-ok.txt");
    QString seenName;
    DeviceInfo::setSaveFileDialog([&](const QString& caption, const QString& name, const QString&) {
        seenName = name;
        return caption == QString("T115") ? path : QString();
    });
    runJob(DeviceInfo::doExportWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StExported));
    QCOMPARE(seenName, QString("IPC-X1.txt"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    QCOMPARE(data.size(), 5000);
    QCOMPARE(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(), pythonExportSha(5000));
}

void DeviceOpsTest::exportFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("target"); // "cancel", "nodir" or a file name
    QTest::addColumn<bool>("dialogShown");
    QTest::newRow("cancelled") << "" << "cancel" << true;
    QTest::newRow("no right") << "export-ack=50" << "x.txt" << false;
    QTest::newRow("refused") << "export-ack=1" << "x.txt" << false;
    QTest::newRow("record claims more than it has") << "export-lie=len" << "x.txt" << false;
    QTest::newRow("empty reply") << "export-empty" << "x.txt" << false;
    QTest::newRow("file cannot be made") << "" << "nodir" << true;
}

void DeviceOpsTest::exportFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QString, target);
    QFETCH(bool, dialogShown);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    // An earlier good export at the target stays as it was.
    const QString path = target == "nodir" ? m_dir.filePath("missing/dir/x.txt") : m_dir.filePath(target);
    {
        QSaveFile old(path);
        if (old.open(QIODevice::WriteOnly)) {
            old.write("earlier export");
            old.commit();
        }
    }
    bool shown = false;
    DeviceInfo::setSaveFileDialog([&](const QString&, const QString&, const QString&) {
        shown = true;
        return target == "cancel" ? QString() : path;
    });
    runJob(DeviceInfo::doExportWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StFailed));
    QCOMPARE(shown, dialogShown);
    if (target != "nodir" && target != "cancel") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("earlier export"));
    }
}

void DeviceOpsTest::importSendsTheFile_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("recordName");
    QTest::newRow("IPC-X1.txt") << "IPC-X1.txt" << 3000 << QByteArray("IPC-X1");
    QTest::newRow("empty file") << "empty.txt" << 0 << QByteArray("empty");
    QTest::newRow("largest") << "big.bin" << 393216 << QByteArray("big");
    QTest::newRow("name of 32 bytes") << QString(32, 'n') + ".txt" << 10 << QByteArray(32, 'n');
}

void DeviceOpsTest::importSendsTheFile()
{
    QFETCH(QString, fileName);
    QFETCH(int, size);
    QFETCH(QByteArray, recordName);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 31 + 7);
    const QString path = m_dir.filePath(fileName);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strImportPath = path;
    runJob(DeviceInfo::doImportWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StImported));
    const auto m = Received(sim, 414);
    QCOMPARE(int(m.size()), 2);
    const QByteArray body = bodyOf(m[1]);
    QCOMPARE(body.size(), 40 + size);
    QCOMPARE(body.mid(4, 4), u32le(uint32_t(size)));
    QCOMPARE(body.mid(8, 32), recordName.leftJustified(32, '\0'));
    QVERIFY(body.mid(40) == data);
}

void DeviceOpsTest::importRefusals_data()
{
    QTest::addColumn<QString>("fileName"); // empty: no file at all
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("sentMessages");
    QTest::newRow("over 393216 bytes") << "big.txt" << 393217 << "" << 0;
    QTest::newRow("name over 32 bytes") << QString(33, 'n') + ".txt" << 10 << "" << 0;
    QTest::newRow("missing file") << "" << 0 << "" << 0;
    QTest::newRow("device refuses") << "ok.txt" << 10 << "import-second-ack=50" << 2;
}

void DeviceOpsTest::importRefusals()
{
    QFETCH(QString, fileName);
    QFETCH(int, size);
    QFETCH(QString, scenario);
    QFETCH(int, sentMessages);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    QString path = m_dir.filePath("no-such-file.txt");
    if (!fileName.isEmpty()) {
        path = m_dir.filePath(fileName);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'x'));
    }
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strImportPath = path;
    runJob(DeviceInfo::doImportWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StImportFailed));
    QCOMPARE(int(Received(sim, 414).size()), sentMessages);
}

void DeviceOpsTest::upgradeSequence_data()
{
    QTest::addColumn<QString>("caps");
    QTest::addColumn<unsigned>("startType");
    QTest::newRow("type 3") << "" << 5139u;
    QTest::newRow("type 7 by capability bit 1") << "login-caps=2" << 730u;
}

void DeviceOpsTest::upgradeSequence()
{
    QFETCH(QString, caps);
    QFETCH(unsigned, startType);
    const std::string fw = m_dir.filePath("fw.bin").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{300000, 0}, {200000, 1}})));
    kvtest::SimProcess sim;
    std::vector<std::string> sc = {"upgrade-file=" + fw};
    if (!caps.isEmpty())
        sc.push_back(caps.toStdString());
    QVERIFY(startSim(sim, sc));
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strFirmwarePath = QString::fromStdString(fw);
    rec->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doUpgradeWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgradeOK));
    QCOMPARE(rec->m_nProgress, 0);
    QCOMPARE(rec->m_hUpgrade, nullptr);
    QCOMPARE(rec->m_hConnection, nullptr);
    // Pages: told once when the upgrade started (done, status 0), then the upgrade page
    // refreshes at each progress step, then done once more at the end.
    const auto& c = calls();
    QVERIFY(c.size() >= 3);
    QCOMPARE(c.front().page, 'u');
    QVERIFY(c.front().done);
    QCOMPARE(c.front().status, 0);
    int progress = 0;
    for (size_t i = 1; i + 1 < c.size(); ++i) {
        if (c[i].page != 'u')
            continue;
        QVERIFY(!c[i].done);
        QVERIFY(c[i].status == 12 || c[i].status == 15);
        if (c[i].status == 12)
            ++progress;
    }
    QVERIFY(progress >= 1);
    QCOMPARE(c.back().page, 'u');
    QVERIFY(c.back().done);
    QCOMPARE(c.back().status, 8);
    QCOMPARE(doneCalls('u', rec.get()), 2);
    QVERIFY(!Received(sim, startType).empty());
    // The device's own verdict: every byte arrived and checked.
    bool checked = false;
    for (const std::string& line : sim.LogLines())
        if (line.find("\"upgrade-check\"") != std::string::npos)
            checked = line.find("\"faults\": 0") != std::string::npos || line.find("\"faults\":0") != std::string::npos;
    QVERIFY(checked);
    // A stale progress code after the end changes nothing.
    QCoreApplication::postEvent(rec.get(), new QUpgradeEvent(394, 40, -1));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgradeOK));
}

void DeviceOpsTest::upgradeWithoutHandleFails()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    auto rec = makeRecord(sim.tcp_port());
    rec->m_pUpgradeFrame = upgradePage();
    rec->m_strFirmwarePath.clear(); // no file: the client starts nothing
    runJob(DeviceInfo::doUpgradeWork, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StFailed));
    QCOMPARE(rec->m_hConnection, nullptr);
    QCOMPARE(doneCalls('u', rec.get()), 1);
}

// A file the upgrade task refuses at once: its final code can overtake the worker's
// report that the upgrade started, and the pages must still hear start, then end.
void DeviceOpsTest::upgradeEndingAtOnceKeepsItsOrder()
{
    const std::string fw = m_dir.filePath("garbage.bin").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, std::vector<uint8_t>(4096, 0x5A)));
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    for (int round = 0; round < 5; ++round) {
        calls().clear();
        auto rec = makeRecord(sim.tcp_port());
        rec->m_strFirmwarePath = QString::fromStdString(fw);
        rec->m_pUpgradeFrame = upgradePage();
        runJob(DeviceInfo::doUpgradeWork, rec.get());
        QVERIFY(waitIdle(rec.get()));
        QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgradeInvalidFile));
        QCOMPARE(rec->m_hUpgrade, nullptr);
        QCOMPARE(rec->m_hConnection, nullptr);
        QCOMPARE(doneCalls('u', rec.get()), 2);
        const auto& c = calls();
        QCOMPARE(c.front().page, 'u');
        QCOMPARE(c.front().status, 0);
        QCOMPARE(c.back().page, 'u');
        QCOMPARE(c.back().status, int(DeviceInfo::StUpgradeInvalidFile));
    }
    QVERIFY(Received(sim, 5139).empty());
}

void DeviceOpsTest::channelProgressNeverEndsTheUpgrade()
{
    const std::string fw = m_dir.filePath("fw2.bin").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{100000, 0}})));
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"upgrade-file=" + fw, "upgrade-stall=start"}));
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strFirmwarePath = QString::fromStdString(fw);
    rec->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doUpgradeWork, rec.get());
    QTRY_VERIFY_WITH_TIMEOUT(rec->m_hUpgrade != nullptr && rec->m_nStatus != DeviceInfo::StWorking, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!Received(sim, 5139).empty(), 15000);
    // Per-channel records as the client hands them over: finished and unfinished.
    struct Item { uint32_t channel; uint8_t state, progress; } items[] = {{3, 0, 40}, {3, 1, 100}, {4, 7, 55}};
    for (const Item& it : items) {
        uint8_t raw[12] = {};
        const uint32_t len = 10;
        std::memcpy(raw + 1, &len, 4); // unaligned, as the device's bytes may be
        std::memcpy(raw + 5, &it.channel, 4);
        raw[9] = it.state;
        raw[10] = it.progress;
        DeviceInfo::upgradeCallback(402, raw + 1, rec.get());
        QCoreApplication::sendPostedEvents();
        QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgrading));
        QCOMPARE(rec->m_nProgress, int(it.progress));
        QVERIFY(rec->m_hUpgrade != nullptr);
        QVERIFY(rec->m_hConnection != nullptr);
    }
    QCOMPARE(doneCalls('u', rec.get()), 1); // only the start
    // A final code ends it.
    DeviceInfo::upgradeCallback(390, nullptr, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgradeClosed));
    QCOMPARE(rec->m_hUpgrade, nullptr);
    QCOMPARE(doneCalls('u', rec.get()), 2);
}

void DeviceOpsTest::percentSequenceThenSuccess()
{
    // The upgrade runs (the device never answers its start, so the client reports
    // nothing); the codes its callback would report are fed in the order a device
    // produces them.
    const std::string fw = m_dir.filePath("fw3.bin").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{100000, 0}})));
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"upgrade-file=" + fw, "upgrade-stall=start"}));
    auto rec = makeRecord(sim.tcp_port());
    rec->m_strFirmwarePath = QString::fromStdString(fw);
    rec->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doUpgradeWork, rec.get());
    QTRY_VERIFY_WITH_TIMEOUT(rec->m_hUpgrade != nullptr && rec->m_nStatus != DeviceInfo::StWorking, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(!Received(sim, 5139).empty(), 15000);
    calls().clear();
    for (int pct : {10, 50, 100}) {
        DeviceInfo::upgradeCallback(394, reinterpret_cast<void*>(intptr_t(pct)), rec.get());
        QCoreApplication::sendPostedEvents();
        QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgrading));
        QCOMPARE(rec->m_nProgress, pct);
    }
    DeviceInfo::upgradeCallback(764, nullptr, rec.get());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StWritingFlash));
    DeviceInfo::upgradeCallback(391, nullptr, rec.get());
    QVERIFY(waitIdle(rec.get()));
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StUpgradeOK));
    QCOMPARE(rec->m_nProgress, 0);
    QCOMPARE(rec->m_hUpgrade, nullptr);
    QCOMPARE(rec->m_hConnection, nullptr);
    const auto& c = calls();
    QCOMPARE(int(c.size()), 5);
    const int statuses[] = {12, 12, 12, 15, 8};
    const int progress[] = {10, 50, 100, 100, 0};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(c[size_t(i)].page, 'u');
        QCOMPARE(c[size_t(i)].done, i == 4);
        QCOMPARE(c[size_t(i)].status, statuses[i]);
        QCOMPARE(c[size_t(i)].progress, progress[i]);
    }
}

static QStringList g_debugLines;
static void captureDebug(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    g_debugLines << msg;
}

void DeviceOpsTest::passwordNeverInDebugOutput()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"password=S3cr3t-pw"}));
    auto rec = makeRecord(sim.tcp_port(), "admin", "S3cr3t-pw");
    g_debugLines.clear();
    QtMessageHandler old = qInstallMessageHandler(captureDebug);
    runJob(DeviceInfo::doLoadDefaultWork, rec.get());
    const bool idle = waitIdle(rec.get());
    qInstallMessageHandler(old);
    QVERIFY(idle);
    QCOMPARE(rec->m_nStatus, int(DeviceInfo::StDone));
    QVERIFY(!g_debugLines.isEmpty());
    QVERIFY(g_debugLines.join('\n').contains("connect device:"));
    QVERIFY(!g_debugLines.join('\n').contains("S3cr3t"));
}

QTEST_MAIN(DeviceOpsTest)
#include "tst_device_ops.moc"
