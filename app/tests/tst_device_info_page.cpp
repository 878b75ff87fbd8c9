// The device information page: the factory input's checks (texts 104 to 109), the 700
// and 582 blocks a simulated device receives, batch controls, the refused address
// batch, and the edition 22 panel.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>
#include <functional>

#include "ToolBarFrame.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "dev_connection.h"
#include "device_info_frame.h"
#include "device_info_mng.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"

using namespace devtest;

namespace {

QList<DeviceInfo*> loadRecords(DeviceInfoFrame& page, const std::vector<uint16_t>& ports)
{
    QList<DeviceInfo*> list;
    for (uint16_t port : ports)
        list << makeRecord(port).release();
    DeviceInfoMng::getInstance()->addDeviceInfo(list);
    page.OnSearchDeviceDone();
    page.model()->updateTableViewCheckState(Qt::Checked);
    page.model()->updateTableHeadCheckState();
    return list;
}

// Rows: key ID, board ID, main board, product type, device type, device name, function code, custom type.
struct Input {
    QString text[8];
};

} // namespace

class DeviceInfoPageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void factoryChecks_data();
    void factoryChecks();
    void factoryBlocksReachTheDevice_data();
    void factoryBlocksReachTheDevice();
    void addressBatchRefusedBeforeSending_data();
    void addressBatchRefusedBeforeSending();
    void restoreDefaultsBatch_data();
    void restoreDefaultsBatch();
    void edition22Panel();

private:
    QList<DeviceInfo*> m_records;
};

void DeviceInfoPageTest::initTestCase()
{
    appFolder();
    KVNetInit();
    KVNetSetEncription(0);
    KVSessionTimings t;
    t.retryMs = 200;
    t.connectMs = 2000;
    kvnet_set_session_timings(t);
}

void DeviceInfoPageTest::cleanup()
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

void DeviceInfoPageTest::factoryChecks_data()
{
    QTest::addColumn<int>("edition");
    QTest::addColumn<QString>("checked"); // digits of the checked rows
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("text");       // 0: passes
    const QStringList good = {"0x1f", "B1", "KV-DM-1A", "P", "T", "N", "12", "C"};
    auto with = [&](int row, const QString& t) {
        QStringList l = good;
        l[row] = t;
        return l;
    };
    QTest::newRow("all good") << 0 << "01234567" << good << 0;
    QTest::newRow("nothing checked") << 0 << "" << good << 104;
    QTest::newRow("checked field empty") << 0 << "5" << with(5, "") << 104;
    QTest::newRow("KV-DM-A1b: last not capital") << 0 << "2" << with(2, "KV-DM-A1b") << 105;
    QTest::newRow("bare prefix") << 0 << "2" << with(2, "KV-DM-") << 105;
    QTest::newRow("prefix case") << 0 << "2" << with(2, "kv-dm-1A") << 105;
    QTest::newRow("edition 8 VOQ-CM-X") << 8 << "2" << with(2, "VOQ-CM-X") << 0;
    QTest::newRow("edition 8 KV-CM-X") << 8 << "2" << with(2, "KV-CM-X") << 106;
    QTest::newRow("function code not a number") << 0 << "6" << with(6, "12a") << 107;
    QTest::newRow("function code over 64 bits") << 0 << "6" << with(6, "9223372036854775808") << 107;
    QTest::newRow("board ID of 17") << 0 << "1" << with(1, QString(17, 'b')) << 108;
    QTest::newRow("board ID of 16") << 0 << "1" << with(1, QString(16, 'b')) << 0;
    QTest::newRow("board ID of 16 characters, 17 bytes") << 0 << "1"
        << with(1, QString::fromUtf8("\xc3\xa9") + QString(15, 'b')) << 108;
    QTest::newRow("key 0X1f") << 0 << "0" << with(0, "0X1f") << 0;
    QTest::newRow("key 1x1f") << 0 << "0" << with(0, "1x1f") << 109;
    QTest::newRow("key 0x1g") << 0 << "0" << with(0, "0x1g") << 109;
    QTest::newRow("key lone 0") << 0 << "0" << with(0, "0") << 109;
    QTest::newRow("key 0x alone") << 0 << "0" << with(0, "0x") << 0;
    QTest::newRow("key of 32 bits") << 0 << "0" << with(0, "0x00FFFFFFFF") << 0;
    QTest::newRow("key over 32 bits") << 0 << "0" << with(0, "0x100000000") << 109;
}

void DeviceInfoPageTest::factoryChecks()
{
    QFETCH(int, edition);
    QFETCH(QString, checked);
    QFETCH(QStringList, texts);
    QFETCH(int, text);
    appFolder(edition);
    DeviceInfoFrame page;
    m_records = loadRecords(page, {1});
    for (int i = 0; i < 8; ++i) {
        page.m_pCheck[i]->setChecked(checked.contains(QChar('0' + i)));
        page.m_pEdit[i]->setText(texts[i]);
    }
    // Nothing may be queued: the record's port 1 would only fail, so a queued job shows
    // as a status other than none.
    apptest::ModalCatcher c;
    page.m_pBtnSet->click();
    if (text == 0) {
        QCOMPARE(c.seen, 0);
        QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StWorking));
        QVERIFY(waitFor([&] { return page.m_pBtnSet->isEnabled(); }));
        return;
    }
    QCOMPARE(c.seen, 1);
    QVERIFY2(c.texts.contains(QStringLiteral("T%1").arg(text)), qPrintable(c.texts.join(',')));
    QVERIFY(c.texts.contains("T110"));
    QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StNone));
    QVERIFY(page.m_pBtnSet->isEnabled());
    if (text == 107)
        QVERIFY(page.m_pEdit[6]->text().isEmpty());
}

void DeviceInfoPageTest::factoryBlocksReachTheDevice_data()
{
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("block700"); // the 1032 bytes
    QTest::addColumn<QByteArray>("block582"); // hex after the size; empty: not sent
    QByteArray nameOnly(1032, '\0');
    nameOnly[0] = char(0x08);
    nameOnly[1] = char(0x04);
    nameOnly[4] = char(0x20);
    nameOnly.replace(168, 4, "cam1");
    QTest::newRow("device name only: mask 0x20, no 582")
        << "5" << QStringList{"", "", "", "", "", "cam1", "", ""} << nameOnly << QByteArray();
    QByteArray typeCut(1032, '\0');
    typeCut[0] = char(0x08);
    typeCut[1] = char(0x04);
    typeCut[4] = char(0x10);
    typeCut.replace(136, 31, QByteArray(31, 't'));
    QTest::newRow("device type of 40 cut to 31 bytes")
        << "4" << QStringList{"", "", "", "", QString(40, 't'), "", "", ""} << typeCut << QByteArray();
    QByteArray typeUtf8 = typeCut;
    typeUtf8.replace(136, 31, QByteArray(30, 't') + '\0');
    QTest::newRow("device type cut at a character boundary")
        << "4" << QStringList{"", "", "", "", QString(30, 't') + QString::fromUtf8("\xc3\xa9"), "", "", ""}
        << typeUtf8 << QByteArray();
    QByteArray keyOnly(1032, '\0');
    keyOnly[0] = char(0x08);
    keyOnly[1] = char(0x04);
    QByteArray fc = keyOnly;
    fc[4] = char(0x80);
    const qint64 code = -5;
    fc.replace(232, 8, QByteArray(reinterpret_cast<const char*>(&code), 8));
    QTest::newRow("function code -5")
        << "6" << QStringList{"", "", "", "", "", "", "-5", ""} << fc << QByteArray();
    QTest::newRow("key ID without board ID")
        << "0" << QStringList{"0x1A2B", "", "", "", "", "", "", ""} << keyOnly
        << QByteArray("2b1a0000" "00000000000000000000000000000000" "ff" "00000000000000");
}

void DeviceInfoPageTest::factoryBlocksReachTheDevice()
{
    QFETCH(QString, checked);
    QFETCH(QStringList, texts);
    QFETCH(QByteArray, block700);
    QFETCH(QByteArray, block582);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    DeviceInfoFrame page;
    m_records = loadRecords(page, {sim.tcp_port()});
    page.m_pEditUser->setText("admin");
    page.m_pEditPassword->setText("admin123");
    for (int i = 0; i < 8; ++i) {
        page.m_pCheck[i]->setChecked(checked.contains(QChar('0' + i)));
        page.m_pEdit[i]->setText(texts[i]);
    }
    apptest::ModalCatcher c;
    page.m_pBtnSet->click();
    QCOMPARE(c.seen, 0);
    QVERIFY(!page.m_pBtnSet->isEnabled());
    QVERIFY(waitFor([&] { return page.m_pBtnSet->isEnabled(); }));
    QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StDone));
    const auto s = sets(sim);
    QVERIFY(!s.empty());
    QCOMPARE(s[0].first, 700u);
    QCOMPARE(s[0].second.toHex(), (u32le(1032) + block700).toHex());
    if (block582.isEmpty()) {
        QCOMPARE(int(s.size()), 1);
    } else {
        QCOMPARE(int(s.size()), 2);
        QCOMPARE(s[1].first, 582u);
        QCOMPARE(s[1].second.toHex(), QByteArray("2000000020000000") + block582);
    }
}

void DeviceInfoPageTest::addressBatchRefusedBeforeSending_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<int>("text");
    QTest::addColumn<QString>("focus");
    QTest::newRow("port 70000") << "198.51.100.10" << "70000" << "255.255.255.0" << 104 << "m_pEditMediaPort";
    QTest::newRow("port abc") << "198.51.100.10" << "abc" << "255.255.255.0" << 104 << "m_pEditMediaPort";
    QTest::newRow("no start") << "" << "9000" << "255.255.255.0" << 104 << "m_pEditStartIP";
    QTest::newRow("no mask") << "198.51.100.10" << "9000" << "" << 104 << "m_pEditNetmask";
    QTest::newRow("start not dotted") << "198.51.100" << "9000" << "255.255.255.0" << 104 << "";
    QTest::newRow("reaches the broadcast") << "198.51.100.253" << "9000" << "255.255.255.0" << 149 << "";
    QTest::newRow("network address") << "198.51.100.0" << "9000" << "255.255.255.0" << 149 << "";
}

void DeviceInfoPageTest::addressBatchRefusedBeforeSending()
{
    QFETCH(QString, start);
    QFETCH(QString, port);
    QFETCH(QString, mask);
    QFETCH(int, text);
    QFETCH(QString, focus);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    DeviceInfoFrame page;
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    m_records = loadRecords(page, {sim.tcp_port(), sim.tcp_port(), sim.tcp_port()});
    page.m_pEditStartIP->setText(start);
    page.m_pEditMediaPort->setText(port);
    page.m_pEditGateway->setText("198.51.100.1");
    page.m_pEditNetmask->setText(mask);
    apptest::ModalCatcher c;
    page.m_pBtnModify->click();
    QCOMPARE(c.seen, 1);
    QVERIFY2(c.texts.contains(QStringLiteral("T%1").arg(text)), qPrintable(c.texts.join(',')));
    if (!focus.isEmpty())
        QCOMPARE(page.focusWidget() ? page.focusWidget()->objectName() : QString(), focus);
    for (DeviceInfo* r : m_records)
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StNone));
    QVERIFY(page.jobs().isEmpty());
    QVERIFY(page.m_pBtnModify->isEnabled());
    QTest::qWait(200);
    QCOMPARE(int(sim.LogLines().size()), 0);
}

void DeviceInfoPageTest::restoreDefaultsBatch_data()
{
    QTest::addColumn<int>("busy"); // checked records still busy with another page's job
    QTest::newRow("three idle devices") << 0;
    QTest::newRow("one busy device left out") << 1;
}

void DeviceInfoPageTest::restoreDefaultsBatch()
{
    QFETCH(int, busy);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    DeviceInfoFrame page;
    ToolBarFrame bar;
    page.setToolBar(&bar);
    m_records = loadRecords(page, {sim.tcp_port(), sim.tcp_port(), sim.tcp_port()});
    for (int i = 0; i < busy; ++i)
        m_records[i]->m_nStatus = DeviceInfo::StWorking;
    page.m_pEditUser->setText("admin");
    page.m_pEditPassword->setText("admin123");
    apptest::ModalCatcher c;
    page.m_pBtnDefault->click();
    QCOMPARE(c.seen, busy ? 1 : 0);
    QCOMPARE(c.texts.contains("T151"), busy > 0);
    QVERIFY(!page.m_pBtnDefault->isEnabled());
    // The tool bar is off too: no other page can reach a record of the batch meanwhile.
    QVERIFY(!bar.m_pBtnUpgrade->isEnabled());
    QVERIFY(!bar.m_pBtnSearch->isEnabled());
    QCOMPARE(page.jobs().size(), 3 - busy);
    QVERIFY(waitFor([&] { return page.m_pBtnDefault->isEnabled(); }));
    QVERIFY(bar.m_pBtnUpgrade->isEnabled());
    for (int i = busy; i < 3; ++i)
        QCOMPARE(m_records[i]->m_nStatus, int(DeviceInfo::StDone));
    int defaults = 0;
    for (const auto& s : sets(sim))
        defaults += s.first == 521u;
    QCOMPARE(defaults, 3 - busy);
    for (int i = 0; i < busy; ++i)
        m_records[i]->m_nStatus = DeviceInfo::StNone;
}

void DeviceInfoPageTest::edition22Panel()
{
    for (int edition : {0, 22}) {
        appFolder(edition);
        DeviceInfoFrame page;
        QCOMPARE(page.stack()->currentIndex(), edition == 22 ? 1 : 0);
        QCOMPARE(page.stack()->currentWidget()->objectName(), QString(edition == 22 ? "page" : "Page1"));
    }
}

QTEST_MAIN(DeviceInfoPageTest)
#include "tst_device_info_page.moc"
