// A new search while an upgrade and an export are running: the manager frees the idle
// record at once, keeps the busy ones until their work has ended (then frees them), and
// every table lets go of them in the same step. Run under AddressSanitizer, any use of a
// freed record fails the test.
#include <QPointer>
#include <QTemporaryDir>

#include "checkbox_table_model.h"
#include "device_info_mng.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"
#include "upgrade_fw_util.h"

using namespace devtest;

class DeviceLifetimeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devtest::appFolder();
        KVNetInit();
        KVNetSetEncription(0);
    }
    void searchDuringUpgradeAndExport();
};

void DeviceLifetimeTest::searchDuringUpgradeAndExport()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    installHooks();
    const std::string fw = dir.filePath("fw.bin").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{400000, 0}})));
    // The upgrading device answers each request late, so its upgrade is surely running
    // when the search comes.
    kvtest::SimProcess upgradeSim, exportSim;
    QVERIFY(startSim(upgradeSim, {"upgrade-file=" + fw, "reply-delay=700"}));
    QVERIFY(startSim(exportSim, {"export-size=2000"}));

    DeviceInfo* upgrading = makeRecord(upgradeSim.tcp_port()).release();
    DeviceInfo* exporting = makeRecord(exportSim.tcp_port()).release();
    DeviceInfo* idle = makeRecord(1).release();
    QPointer<DeviceInfo> pu(upgrading), pe(exporting), pi(idle);
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    QList<DeviceInfo*> list{upgrading, exporting, idle};
    mng->addDeviceInfo(list);
    CheckBoxTableModel upgradeModel(nullptr, CheckBoxTableModel::UpgradeModel, 0);
    CheckBoxTableModel exportModel(nullptr, CheckBoxTableModel::ImportExportModel, 0);
    upgradeModel.updateDeviceInfo(list);
    exportModel.updateDeviceInfo(list);

    upgrading->m_strFirmwarePath = QString::fromStdString(fw);
    upgrading->m_pUpgradeFrame = upgradePage();
    runJob(DeviceInfo::doUpgradeWork, upgrading);
    QTRY_VERIFY_WITH_TIMEOUT(upgrading->m_hUpgrade != nullptr, 15000);

    bool searched = false;
    const QString path = dir.filePath("backup.txt");
    DeviceInfo::setSaveFileDialog([&](const QString&, const QString&, const QString&) {
        // The dialog's own event loop lets the user start a search meanwhile.
        QList<DeviceInfo*> none;
        mng->updateDeviceInfo(none);
        searched = true;
        return path;
    });
    runJob(DeviceInfo::doExportWork, exporting);
    QTRY_VERIFY_WITH_TIMEOUT(searched, 15000);
    // In that same step: the tables are empty, the idle record is gone, the busy ones live.
    QCOMPARE(upgradeModel.rowCount(), 0);
    QCOMPARE(exportModel.rowCount(), 0);
    QTRY_VERIFY(pi.isNull());
    QVERIFY(!pu.isNull());
    QVERIFY(pu->m_bRetired);
    QCOMPARE(mng->retired().size() + (pe.isNull() ? 1 : 0), 2);

    // Both operations finish and only then are their records freed.
    QTRY_VERIFY_WITH_TIMEOUT(pe.isNull(), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(pu.isNull(), 30000);
    QVERIFY(mng->retired().isEmpty());
    int exported = 0, upgraded = 0;
    for (const PageCall& c : calls()) {
        // Only the values captured while each record lived are read here.
        if (c.record == exporting && c.done && c.status == DeviceInfo::StExported)
            ++exported;
        if (c.record == upgrading && c.done && c.status == DeviceInfo::StUpgradeOK)
            ++upgraded;
    }
    QCOMPARE(exported, 1);
    QCOMPARE(upgraded, 1);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.size(), qint64(2000));
    DeviceInfo::setSaveFileDialog(nullptr);
}

QTEST_MAIN(DeviceLifetimeTest)
#include "tst_device_lifetime.moc"
