// The firmware upgrade page against device simulators: its messages, controls that come
// back only once every device of the batch has started, rows that reach "succeeded",
// and edition 13's version query and match.
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>

#include "LineEdit.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "dev_connection.h"
#include "device_info_mng.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"
#include "upgrade_frame.h"
#include "upgrade_fw_util.h"

using namespace devtest;

namespace {

QList<DeviceInfo*> loadRecords(UpgradeFrame& page, const std::vector<uint16_t>& ports)
{
    QList<DeviceInfo*> list;
    for (uint16_t port : ports)
        list << makeRecord(port).release();
    DeviceInfoMng::getInstance()->addDeviceInfo(list);
    page.updateTableViewAll();
    return list;
}

void checkAll(UpgradeFrame& page)
{
    page.model()->updateTableViewCheckState(Qt::Checked);
    page.model()->updateTableHeadCheckState();
    QCoreApplication::processEvents();
}

bool controlsEnabled(UpgradeFrame& p)
{
    return p.m_pBtnUpgrade->isEnabled() && p.m_pBtnOpenFile->isEnabled() && p.m_pEditFilePath->isEnabled();
}

} // namespace

class UpgradePageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void refusals();
    void batchUpgrade();
    void busyRecordsLeftOut();
    void editionSwitch();
    void queryAndMatch();

private:
    QTemporaryDir m_dir;
    QList<DeviceInfo*> m_records;
};

void UpgradePageTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    appFolder();
    KVNetInit();
    KVNetSetEncription(0);
    KVSessionTimings t;
    t.retryMs = 200;
    t.connectMs = 2000;
    kvnet_set_session_timings(t);
}

void UpgradePageTest::cleanup()
{
    QVERIFY(waitFor([this] {
        for (DeviceInfo* r : m_records)
            if (r->isBusy())
                return false;
        return true;
    }));
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    m_records.clear();
    appFolder(0);
}

void UpgradePageTest::refusals()
{
    UpgradeFrame page;
    m_records = loadRecords(page, {1});
    const QString fw = m_dir.filePath("present.sw");
    QVERIFY(apptest::writeFile(fw, "x"));
    struct Row { QString path; bool check; int text; };
    const Row rows[] = {
        {QString(), true, 50},                      // empty path
        {m_dir.filePath("missing.sw"), true, 50},   // no such file
        {m_dir.path(), true, 50},                   // a directory is no file
        {fw, false, 51},                            // nothing checked
    };
    for (const Row& r : rows) {
        page.model()->updateTableViewCheckState(r.check ? Qt::Checked : Qt::Unchecked);
        page.model()->updateTableHeadCheckState();
        page.m_pEditFilePath->setText(r.path);
        apptest::ModalCatcher c;
        page.m_pBtnUpgrade->click();
        QCOMPARE(c.seen, 1);
        QVERIFY2(c.texts.contains(QStringLiteral("T%1").arg(r.text)), qPrintable(c.texts.join(',')));
        QVERIFY(c.texts.contains(QStringLiteral("T6")));
        QVERIFY(controlsEnabled(page));
        QVERIFY(page.jobs().isEmpty());
        QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StNone));
    }
}

void UpgradePageTest::batchUpgrade()
{
    const std::string fw = m_dir.filePath("fw.sw").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{200000, 0}})));
    std::vector<std::unique_ptr<kvtest::SimProcess>> sims;
    std::vector<uint16_t> ports;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<kvtest::SimProcess>());
        std::vector<std::string> sc = {"upgrade-file=" + fw};
        QVERIFY(startSim(*sims.back(), sc));
        ports.push_back(sims.back()->tcp_port());
    }
    UpgradeFrame page;
    m_records = loadRecords(page, ports);
    checkAll(page);
    page.m_pEditUserName->setText("admin");
    page.m_pEditPassword->setText("admin123");
    page.m_pEditFilePath->setText(QString::fromStdString(fw));
    apptest::ModalCatcher c;
    page.m_pBtnUpgrade->click();
    QCOMPARE(c.seen, 0);
    QVERIFY(!controlsEnabled(page));
    QCOMPARE(page.jobs().size(), 3);
    // Controls come back only when no device of the batch is left to start.
    bool earlyEnable = false;
    QVERIFY(waitFor([&] {
        if (controlsEnabled(page) && !page.jobs().isEmpty())
            earlyEnable = true;
        return controlsEnabled(page);
    }));
    QVERIFY(!earlyEnable);
    QVERIFY(page.jobs().isEmpty());
    for (DeviceInfo* r : m_records) {
        QVERIFY(waitFor([r] { return r->m_nStatus == DeviceInfo::StUpgradeOK; }));
        QCOMPARE(r->m_pUpgradeFrame, &page);
        QCOMPARE(r->m_strFirmwarePath, QString::fromStdString(fw));
    }
}

// A record still busy (an upgrade of an earlier batch, or another page's job) would refuse
// the job and never report back: it is left out, and the controls still come back.
void UpgradePageTest::busyRecordsLeftOut()
{
    const std::string fw = m_dir.filePath("fw2.sw").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{50000, 0}})));
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"upgrade-file=" + fw}));
    UpgradeFrame page;
    m_records = loadRecords(page, {sim.tcp_port(), sim.tcp_port()});
    checkAll(page);
    m_records[0]->m_nStatus = DeviceInfo::StWorking;
    page.m_pEditUserName->setText("admin");
    page.m_pEditPassword->setText("admin123");
    page.m_pEditFilePath->setText(QString::fromStdString(fw));
    apptest::ModalCatcher c;
    page.m_pBtnUpgrade->click();
    QCOMPARE(c.seen, 1);
    QVERIFY(c.texts.contains("T151"));
    QCOMPARE(page.jobs(), QList<DeviceInfo*>{m_records[1]});
    QVERIFY(waitFor([&] { return controlsEnabled(page); }));
    QVERIFY(waitFor([&] { return m_records[1]->m_nStatus == DeviceInfo::StUpgradeOK; }));
    QVERIFY(m_records[0]->m_strFirmwarePath.isEmpty());
    m_records[0]->m_nStatus = DeviceInfo::StNone;

    // Every checked record busy: nothing starts and the controls stay.
    for (DeviceInfo* r : m_records)
        r->m_nStatus = DeviceInfo::StWorking;
    apptest::ModalCatcher c2;
    page.m_pBtnUpgrade->click();
    QVERIFY(c2.texts.contains("T151"));
    QVERIFY(page.jobs().isEmpty());
    QVERIFY(controlsEnabled(page));
    for (DeviceInfo* r : m_records)
        r->m_nStatus = DeviceInfo::StNone;
}

void UpgradePageTest::editionSwitch()
{
    for (int edition : {0, 13}) {
        appFolder(edition);
        UpgradeFrame page;
        const bool shown = edition == 13;
        QCOMPARE(!page.m_pBtnQuery->isHidden(), shown);
        QCOMPARE(!page.m_pBtnMatch->isHidden(), shown);
        QCOMPARE(!page.m_pEditVersion->isHidden(), shown);
        QCOMPARE(!page.view()->isColumnHidden(7), shown);
        QCOMPARE(!page.view()->isColumnHidden(8), shown);
    }
}

void UpgradePageTest::queryAndMatch()
{
    appFolder(13);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    UpgradeFrame page;
    m_records = loadRecords(page, {sim.tcp_port(), sim.tcp_port()});
    {
        apptest::ModalCatcher c; // nothing typed: text 148 under title 110
        page.m_pBtnMatch->click();
        QVERIFY(c.texts.contains("T148") && c.texts.contains("T110"));
    }
    checkAll(page);
    page.m_pEditUserName->setText("admin");
    page.m_pEditPassword->setText("admin123");
    page.m_pBtnQuery->click();
    QVERIFY(!page.m_pBtnQuery->isEnabled());
    QVERIFY(waitFor([&] { return page.m_pBtnQuery->isEnabled(); }));
    for (DeviceInfo* r : m_records) {
        QVERIFY(waitFor([r] { return !r->isBusy(); }));
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StQueryDone));
        QCOMPARE(r->m_strQueriedVersion, QStringLiteral("V5.1.2-sim build 7"));
    }
    // A row click copies the queried version into the field.
    page.m_pEditVersion->setText("typed");
    page.onClickTableView(page.model()->getTableModel()->index(0, 2));
    QCOMPARE(page.m_pEditVersion->text(), QStringLiteral("V5.1.2-sim build 7"));
    for (const auto& row : {std::make_pair(QStringLiteral("V5.1.2-sim build 7"), QStringLiteral("T146")),
                            std::make_pair(QStringLiteral("V9"), QStringLiteral("T147"))}) {
        page.m_pEditVersion->setText(row.first);
        page.m_pBtnMatch->click();
        QVERIFY(page.m_pBtnUpgrade->isEnabled()); // Match leaves the controls alone
        for (DeviceInfo* r : m_records) {
            QVERIFY(waitFor([r] { return !r->isBusy() && r->m_nStatus != DeviceInfo::StWorking; }));
            QCOMPARE(r->startMatchVersionNum(), row.second);
        }
    }
}

QTEST_MAIN(UpgradePageTest)
#include "tst_upgrade_page.moc"
