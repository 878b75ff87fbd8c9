// The device operation pages in a private namespace pair with the real clients: the
// device information page's address batch reaching simulated devices, and a search
// started while firmware upgrades still run (the records in use are kept until their
// upgrades end, which they do).
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "EventLoop.h"
#include "KVNet.h"
#include "LineEdit.h"
#include "ToolBarFrame.h"
#include "app_netns.h"
#include "apptest.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info_frame.h"
#include "device_info_mng.h"
#include "main_frame.h"
#include "search_frame.h"
#include "upgrade_frame.h"
#include "upgrade_fw_util.h"

using namespace apptest;

namespace {

QStringList Addresses(CheckBoxTableModel* model)
{
    QStringList out;
    for (DeviceInfo* r : model->allRecords())
        out << r->ipText();
    return out;
}

void CheckAll(CheckBoxTableModel* model)
{
    model->updateTableViewCheckState(Qt::Checked);
    model->updateTableHeadCheckState();
    QCoreApplication::processEvents();
}

// Final upgrade reports, seen beside the upgrade page's own hook.
struct UpgradeEnds {
    QSet<DeviceInfo*> ok;
    int other = 0;
};
UpgradeEnds g_ends;
void (*g_pageUpgradeHook)(UpgradeFrame*, DeviceInfo*, bool) = nullptr;

void CountingUpgradeHook(UpgradeFrame* page, DeviceInfo* r, bool done)
{
    if (done && r->m_nStatus == DeviceInfo::StUpgradeOK)
        g_ends.ok.insert(r);
    else if (done && r->m_nStatus >= DeviceInfo::StUpgradeClosed && r->m_nStatus != DeviceInfo::StUpgrading &&
             r->m_nStatus != DeviceInfo::StWritingFlash)
        ++g_ends.other;
    if (g_pageUpgradeHook)
        g_pageUpgradeHook(page, r, done);
}

constexpr int kTcpPort = 9400;

} // namespace

class TestDevicePagesNetns : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void infoPageAddressBatch_data();
    void infoPageAddressBatch();
    void searchWhileUpgradesRun();

private:
    bool startWindow();
    bool search();

    AppFolder folder_;
    MakerDevices devices_;
    QTemporaryDir dir_;
    std::unique_ptr<MainFrame> frame_;
};

void TestDevicePagesNetns::initTestCase()
{
    if (PairName().isEmpty())
        QSKIP("needs the client side of a private namespace pair (kvnetns.sh run --side cli)");
    // Edition 13 offers the device information page.
    QVERIFY(folder_.setConfig(configXml({"ENU.xml"}, 13, "0")));
    QVERIFY(QFile::copy(QStringLiteral(KV_SOURCE_DIR "/app/dist/Language/ENU.xml"),
                        folder_.path() + QStringLiteral("/Language/ENU.xml")));
    folder_.load();
    KVNetInit();
    // The simulated devices log in without the key exchange.
    KVNetSetEncription(0);
    EventLoop::getLoop();
    QVERIFY(SetLoss(0));
}

void TestDevicePagesNetns::cleanup()
{
    if (frame_) {
        frame_->quiesce(15000);
        frame_.reset();
    }
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    devices_.Stop();
}

bool TestDevicePagesNetns::startWindow()
{
    frame_.reset(new MainFrame(nullptr));
    frame_->resize(1500, 800);
    frame_->show();
    SearchFrame* page = frame_->searchFrame();
    if (!page->isSearching())
        return false;
    QSignalSpy loaded(page, &SearchFrame::searchLoaded);
    return loaded.wait(10000);
}

bool TestDevicePagesNetns::search()
{
    QSignalSpy loaded(frame_->searchFrame(), &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pBtnSearch->click();
    return loaded.wait(10000);
}

void TestDevicePagesNetns::infoPageAddressBatch_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QStringList>("after"); // empty: refused, nothing sent
    QTest::newRow("three hosts from .20")
        << "198.51.100.20" << "255.255.255.0" << QStringList{"198.51.100.20", "198.51.100.21", "198.51.100.22"};
    QTest::newRow("would run onto the broadcast: refused") << "198.51.100.253" << "255.255.255.0" << QStringList();
    QTest::newRow("would leave a /29: refused") << "198.51.100.5" << "255.255.255.248" << QStringList();
}

// The page's Modify re-addresses every checked device over the broadcast change, and
// the devices answer the next search with the new addresses and port.
void TestDevicePagesNetns::infoPageAddressBatch()
{
    QFETCH(QString, start);
    QFETCH(QString, mask);
    QFETCH(QStringList, after);
    QVERIFY(devices_.Start({"device-ips=198.51.100.70,198.51.100.71,198.51.100.72", "device-password=secret"}));
    QVERIFY(startWindow());
    frame_->toolBar()->m_pBtnDeviceInfo->click();
    DeviceInfoFrame* page = frame_->deviceInfoFrame();
    QTRY_VERIFY(page->isVisible());
    QCOMPARE(page->model()->allRecords().size(), 3);
    CheckAll(page->model());
    page->m_pEditUser->setText("admin");
    page->m_pEditPassword->setText("secret");
    page->m_pEditStartIP->setText(start);
    page->m_pEditMediaPort->setText("9100");
    page->m_pEditGateway->setText("198.51.100.1");
    page->m_pEditNetmask->setText(mask);
    ModalCatcher catcher;
    page->m_pBtnModify->click();
    if (after.isEmpty()) {
        QCOMPARE(catcher.seen, 1);
        QVERIFY(catcher.texts.contains(LoadStringFromID(149)));
        QVERIFY(page->m_pBtnModify->isEnabled());
        QTest::qWait(300);
        QCOMPARE(devices_.Requests(13).size(), 0);
        after = QStringList{"198.51.100.70", "198.51.100.71", "198.51.100.72"};
    } else {
        QCOMPARE(catcher.seen, 0);
        // Controls and tool bar away until every device has answered.
        QVERIFY(!frame_->toolBar()->m_pBtnSearch->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(page->m_pBtnModify->isEnabled(), 30000);
        QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
        for (DeviceInfo* r : page->model()->allRecords())
            QCOMPARE(r->m_nStatus, int(DeviceInfo::StDone));
        QCOMPARE(devices_.Requests(13).size(), 3);
    }
    QVERIFY(search()); // back to the search page, which searches
    QCOMPARE(Addresses(frame_->searchFrame()->currentModel()), after);
    if (after.first().endsWith(".20"))
        for (DeviceInfo* r : frame_->searchFrame()->currentModel()->allRecords())
            QCOMPARE(r->m_searchRsp.nMediaPort, 9100u);
}

// The upgrade page gives its controls back once every device has started; a search
// then replaces the list while the upgrades still run. The records in use stay (ASan
// sees no use after free) and every upgrade reaches its end.
void TestDevicePagesNetns::searchWhileUpgradesRun()
{
    const int kDevices = 6;
    const std::string fw = dir_.filePath("fw.sw").toStdString();
    QVERIFY(kvtest::WriteFileBytes(fw, kvtest::BuildPartFile({{120000, 0}})));
    QStringList ips;
    for (int i = 0; i < kDevices; ++i)
        ips << QStringLiteral("198.51.100.1"); // one listener answers for every device
    QVERIFY(devices_.Start({"device-ips=" + ips.join(','), QStringLiteral("media-port=%1").arg(kTcpPort),
                            "device-kind=plain", QString::fromStdString("upgrade-file=" + fw),
                            "upgrade-flash=10,20,30,40,50,60,70,80,90,100", "upgrade-flash-gap=300"},
                           kTcpPort));
    QVERIFY(startWindow());
    g_ends = UpgradeEnds();
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    g_pageUpgradeHook = hooks.upgrade;
    hooks.upgrade = CountingUpgradeHook;
    DeviceInfo::setPageHooks(hooks);

    frame_->toolBar()->m_pBtnUpgrade->click();
    UpgradeFrame* page = frame_->upgradeFrame();
    QCOMPARE(page->model()->allRecords().size(), kDevices);
    const QList<DeviceInfo*> first = page->model()->allRecords();
    CheckAll(page->model());
    page->m_pEditUserName->setText("admin");
    page->m_pEditPassword->setText("admin123");
    page->m_pEditFilePath->setText(QString::fromStdString(fw));
    page->m_pBtnUpgrade->click();
    QTRY_VERIFY_WITH_TIMEOUT(page->m_pBtnUpgrade->isEnabled() && frame_->toolBar()->m_pBtnSearch->isEnabled(), 30000);
    // Every device has started; at least one is still flashing when the search begins.
    int running = 0;
    for (DeviceInfo* r : first)
        running += r->isBusy() ? 1 : 0;
    QVERIFY2(running > 0, "the upgrades ended before the search could start");

    QSignalSpy loaded(frame_->searchFrame(), &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pBtnSearch->click(); // to the search page, which searches
    // The busy records left the list at once but live on until their upgrades end.
    QVERIFY(!DeviceInfoMng::getInstance()->retired().isEmpty());
    QVERIFY(loaded.wait(10000));
    QCOMPARE(frame_->searchFrame()->currentModel()->allRecords().size(), kDevices);
    QTRY_VERIFY_WITH_TIMEOUT(DeviceInfoMng::getInstance()->retired().isEmpty(), 60000);
    QCOMPARE(g_ends.ok.size(), kDevices);
    QCOMPARE(g_ends.other, 0);
    hooks.upgrade = g_pageUpgradeHook;
    DeviceInfo::setPageHooks(hooks);
}

QTEST_MAIN(TestDevicePagesNetns)
#include "tst_device_pages_netns.moc"
