// The search page and the main window's routing against simulated devices: the real
// clients search and re-address the maker's devices (tests/sim/kvsim.py) and find ONVIF
// devices (the project's WS-Discovery responder), all inside a private namespace pair.
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "EventLoop.h"
#include "KVAppSetting.h"
#include "app_netns.h"
#include "apptest.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info_frame.h"
#include "device_info_mng.h"
#include "import_export_frame.h"
#include "login_frame.h"
#include "main_frame.h"
#include "search_frame.h"
#include "BaseDialog.h"
#include "ToolBarFrame.h"
#include "upgrade_frame.h"

using namespace apptest;

namespace {

// Catches the web pages the tool opens instead of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

using apptest::ModalCatcher;

// Page buttons of the tool bar by their stack page.
QPushButton* PageButton(ToolBarFrame* bar, int page)
{
    QPushButton* buttons[] = {bar->m_pBtnSearch, bar->m_pBtnUpgrade, bar->m_pBtnConfig, bar->m_pBtnDeviceInfo,
                              bar->m_pBtnImportExport};
    return buttons[page];
}

QStringList Addresses(CheckBoxTableModel* model)
{
    QStringList out;
    for (DeviceInfo* r : model->allRecords())
        out << r->ipText();
    return out;
}

// Clicks the check box in the header, as a user checks every row.
void ClickHeaderBox(CheckBoxTableView* view)
{
    QTest::mouseClick(view->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(9, 12));
}

template <class T>
T* Child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

} // namespace

class TestSearchPage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void searchDeliversRowsSortedByAddress();
    void searchWithoutAnswerEmptiesTheTables();
    void secondSearchIsRefusedWhileOneRuns();
    void batchFixedGivesConsecutiveAddresses();
    void batchDhcpKeepsAddresses();
    void singleDeviceChange();
    void refusedChangeTouchesNoDevice_data();
    void refusedChangeTouchesNoDevice();
    void busyRecordsAreLeftOut_data();
    void busyRecordsAreLeftOut();
    void onvifQueryLeavesBusyRecordsOut();
    void editorLayoutSwitchesAt1420();
    void protocolSwitchShowsTheOnvifView();
    void addressClickOpensTheWebPage();
    void doubleClickHandsTheDeviceToTheLoginPage();
    void filterColumnMapping_data();
    void filterColumnMapping();

private:
    // Builds the main window (which searches at once) and waits for the table.
    bool startWindow(int timeoutMs = 10000);
    bool searchAgain();
    bool modify();

    AppFolder folder_;
    MakerDevices devices_;
    OnvifDevices onvif_;
    std::unique_ptr<MainFrame> frame_;
    SearchFrame* page_ = nullptr;
};

void TestSearchPage::initTestCase()
{
    if (PairName().isEmpty())
        QSKIP("needs the client side of a private namespace pair (kvnetns.sh run --side cli)");
    // Edition 13 offers the protocol selector and the device information page.
    QVERIFY(folder_.setConfig(configXml({"ENU.xml", "CHS.xml"}, 13, "0")));
    QVERIFY(QFile::copy(QStringLiteral(KV_SOURCE_DIR "/app/dist/Language/ENU.xml"),
                        folder_.path() + QStringLiteral("/Language/ENU.xml")));
    folder_.load();
    EventLoop::getLoop();
}

void TestSearchPage::init()
{
    QVERIFY(SetLoss(0));
}

void TestSearchPage::cleanup()
{
    if (frame_) {
        frame_->quiesce(8000);
        frame_.reset();
    }
    // The last search's records go with the window that showed them.
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    page_ = nullptr;
    devices_.Stop();
    onvif_.Stop();
}

bool TestSearchPage::startWindow(int timeoutMs)
{
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    frame_->resize(1500, 800);
    frame_->show();
    if (!page_->isSearching())
        return false;
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    return loaded.wait(timeoutMs);
}

bool TestSearchPage::searchAgain()
{
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pBtnSearch->click();
    return loaded.wait(10000);
}

bool TestSearchPage::modify()
{
    QSignalSpy done(page_, &SearchFrame::modifyDone);
    Child<QPushButton>(page_, "m_pBtnModify")->click();
    return done.wait(15000);
}

void TestSearchPage::searchDeliversRowsSortedByAddress()
{
    // Answers arrive in this order; the table must sort them as numbers, not as texts.
    QVERIFY(devices_.Start({"device-ips=198.51.100.100,198.51.100.9,198.51.100.70,198.51.100.10,203.0.113.5"}));
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    // While the search runs the tool bar is off and the editor hidden.
    QVERIFY(page_->isSearching());
    QVERIFY(!frame_->toolBar()->m_pBtnSearch->isEnabled());
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    QVERIFY(loaded.wait(10000));

    const QStringList want = {"198.51.100.9", "198.51.100.10", "198.51.100.70", "198.51.100.100", "203.0.113.5"};
    QCOMPARE(Addresses(page_->currentModel()), want);
    QSortFilterProxyModel* proxy = page_->currentModel()->getTableModel();
    for (int row = 0; row < want.size(); ++row)
        QCOMPARE(proxy->index(row, 1).data().toString(), want[row]);
    QCOMPARE(DeviceInfoMng::getInstance()->m_listDeviceInfo, page_->currentModel()->allRecords());
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
    QVERIFY(!page_->isSearching());
    // The other pages are told to reload, once per search.
    QCOMPARE(frame_->upgradeFrame()->reloadCount(), 1);
    QCOMPARE(frame_->deviceInfoFrame()->reloadCount(), 1);
    QCOMPARE(frame_->importExportFrame()->reloadCount(), 1);
    QVERIFY(searchAgain());
    QCOMPARE(frame_->upgradeFrame()->reloadCount(), 2);
    QCOMPARE(Addresses(page_->currentModel()), want);
}

void TestSearchPage::searchWithoutAnswerEmptiesTheTables()
{
    QVERIFY(devices_.Start({"devices=3"}));
    QVERIFY(startWindow());
    QCOMPARE(page_->currentModel()->allRecords().size(), 3);
    devices_.Stop();
    QVERIFY(devices_.Start({"search-silent"}));
    QVERIFY(searchAgain());
    QCOMPARE(page_->currentModel()->rowCount(), 0);
    QVERIFY(DeviceInfoMng::getInstance()->m_listDeviceInfo.isEmpty());
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
    QCOMPARE(frame_->deviceInfoFrame()->reloadCount(), 2);
}

void TestSearchPage::secondSearchIsRefusedWhileOneRuns()
{
    QVERIFY(devices_.Start({"devices=2", "search-delay=100"}));
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    QVERIFY(page_->isSearching());
    // A second start (the device information page's search button, a protocol switch)
    // while the first runs sends nothing and frees nothing.
    page_->SearchOnLineDevice();
    page_->SearchOnLineDevice();
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(devices_.Requests(11).size(), 1);
    QCOMPARE(page_->currentModel()->allRecords().size(), 2);
    QTest::qWait(300); // a second end of search would show here
    QCOMPARE(loaded.count(), 1);
}

void TestSearchPage::batchFixedGivesConsecutiveAddresses()
{
    QVERIFY(devices_.Start({"device-ips=198.51.100.70,198.51.100.65,198.51.100.66", "device-password=secret"}));
    QVERIFY(startWindow());
    CheckBoxTableView* view = page_->currentView();
    ClickHeaderBox(view);
    QCOMPARE(view->getHeadCheckState(), 2);
    QVERIFY(page_->isBatchMode());
    QVERIFY(Child<QFrame>(page_, "SearchFrameBottom")->isVisible());
    QCOMPARE(Child<QLabel>(page_, "m_pLableIP")->text(), LoadStringFromID(45));
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(1); // fixed addresses
    QCOMPARE(Child<QComboBox>(page_, "m_pComNetMode")->currentData().toInt(), 2);
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditIP")->setText("198.51.100.20");
    Child<QLineEdit>(page_, "m_pEditNetMask")->setText("255.255.255.0");
    Child<QLineEdit>(page_, "m_pEditGateway")->setText("198.51.100.1");
    Child<QLineEdit>(page_, "m_pEditWebPort")->setText("8080");
    QVERIFY(modify());

    // In the order of the checked rows, which is the sorted order.
    QCOMPARE(Addresses(page_->currentModel()), (QStringList{"198.51.100.20", "198.51.100.21", "198.51.100.22"}));
    for (DeviceInfo* r : page_->currentModel()->allRecords()) {
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StDone));
        QCOMPARE(r->m_searchRsp.nWebPort, 8080u);
        QCOMPARE(r->getStatus(), LoadStringFromID(20));
    }
    QCOMPARE(devices_.Requests(13).size(), 3);
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
    QVERIFY(Child<QPushButton>(page_, "m_pBtnModify")->isEnabled());

    QVERIFY(searchAgain()); // the devices took them
    QCOMPARE(Addresses(page_->currentModel()), (QStringList{"198.51.100.20", "198.51.100.21", "198.51.100.22"}));
    for (DeviceInfo* r : page_->currentModel()->allRecords())
        QCOMPARE(r->m_searchRsp.nWebPort, 8080u);
}

void TestSearchPage::batchDhcpKeepsAddresses()
{
    QVERIFY(devices_.Start({"device-ips=198.51.100.71,198.51.100.72", "device-password=secret"}));
    QVERIFY(startWindow());
    ClickHeaderBox(page_->currentView());
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(1);
    QVERIFY(Child<QLineEdit>(page_, "m_pEditIP")->isEnabled());
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(0); // DHCP
    QVERIFY(!Child<QLineEdit>(page_, "m_pEditIP")->isEnabled());
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditPort")->setText("9100");
    QVERIFY(modify());
    QVERIFY(searchAgain());
    const QList<DeviceInfo*> records = page_->currentModel()->allRecords();
    QCOMPARE(Addresses(page_->currentModel()), (QStringList{"198.51.100.71", "198.51.100.72"}));
    for (DeviceInfo* r : records) {
        QCOMPARE(r->m_searchRsp.nNetMode, 0u);
        QCOMPARE(r->m_searchRsp.nMediaPort, 9100u);
        QCOMPARE(r->m_searchRsp.nWebPort, 80u); // an empty port keeps the device's
        QCOMPARE(r->gatewayText(), QStringLiteral("198.51.100.254"));
        QCOMPARE(r->maskText(), QStringLiteral("255.255.255.0"));
    }
}

void TestSearchPage::singleDeviceChange()
{
    QVERIFY(devices_.Start({"device-ips=198.51.100.80,198.51.100.81", "device-password=secret"}));
    QVERIFY(startWindow());
    CheckBoxTableView* view = page_->currentView();
    const QModelIndex cell = view->model()->index(1, 2);
    view->setCurrentIndex(cell);
    page_->onClickTableView(cell);
    QVERIFY(!page_->isBatchMode());
    // The editor shows the clicked device.
    QCOMPARE(Child<QLineEdit>(page_, "m_pEditIP")->text(), QStringLiteral("198.51.100.81"));
    QCOMPARE(Child<QLineEdit>(page_, "m_pEditGateway")->text(), QStringLiteral("198.51.100.254"));
    QCOMPARE(Child<QComboBox>(page_, "m_pComNetMode")->currentIndex(), 1);
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditIP")->setText("198.51.100.90");
    QVERIFY(modify());
    QCOMPARE(Addresses(page_->currentModel()), (QStringList{"198.51.100.80", "198.51.100.90"}));
    QCOMPARE(devices_.Requests(13).size(), 1);
}

void TestSearchPage::refusedChangeTouchesNoDevice_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<int>("textId");
    // Three devices checked.
    QTest::newRow("runs into the broadcast") << "198.51.100.254" << "255.255.255.0" << "198.51.100.1" << 149;
    QTest::newRow("starts on the network") << "198.51.100.0" << "255.255.255.0" << "198.51.100.1" << 149;
    QTest::newRow("runs out of a /29") << "198.51.100.5" << "255.255.255.248" << "198.51.100.1" << 149;
    QTest::newRow("start not an address") << "198.51.100.300" << "255.255.255.0" << "198.51.100.1" << 104;
    QTest::newRow("start empty") << "" << "255.255.255.0" << "198.51.100.1" << 104;
    QTest::newRow("mask not contiguous") << "198.51.100.10" << "255.255.0.255" << "198.51.100.1" << 104;
    QTest::newRow("mask empty") << "198.51.100.10" << "" << "198.51.100.1" << 104;
    QTest::newRow("gateway not an address") << "198.51.100.10" << "255.255.255.0" << "gw" << 104;
}

void TestSearchPage::refusedChangeTouchesNoDevice()
{
    QFETCH(QString, start);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(int, textId);
    QVERIFY(devices_.Start({"devices=3", "device-password=secret"}));
    QVERIFY(startWindow());
    const QStringList before = Addresses(page_->currentModel());
    ClickHeaderBox(page_->currentView());
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditIP")->setText(start);
    Child<QLineEdit>(page_, "m_pEditNetMask")->setText(mask);
    Child<QLineEdit>(page_, "m_pEditGateway")->setText(gateway);
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(1);
    ModalCatcher catcher;
    Child<QPushButton>(page_, "m_pBtnModify")->click(); // returns once the box is answered
    QCOMPARE(catcher.seen, 1);
    QVERIFY2(catcher.texts.contains(LoadStringFromID(textId)), qPrintable(catcher.texts.join(" | ")));
    QTest::qWait(200);
    QCOMPARE(devices_.Requests(13).size(), 0);
    for (DeviceInfo* r : page_->currentModel()->allRecords())
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StNone));
    QVERIFY(page_->isModifyIPDone());
    QVERIFY(Child<QPushButton>(page_, "m_pBtnModify")->isEnabled());
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
    QVERIFY(searchAgain());
    QCOMPARE(Addresses(page_->currentModel()), before);
}

void TestSearchPage::editorLayoutSwitchesAt1420()
{
    // The page alone: it searches only when told.
    SearchFrame page(nullptr);
    page.show();
    page.onHeadCheckChanged(Qt::Checked); // shows the editor
    QLabel* ip = Child<QLabel>(&page, "m_pLableIP");
    QLabel* gateway = Child<QLabel>(&page, "m_pLabelGateway");
    QLabel* mode = Child<QLabel>(&page, "m_pLabelNetWorkMode");
    QLineEdit* user = Child<QLineEdit>(&page, "m_pEditUserName");
    QLineEdit* password = Child<QLineEdit>(&page, "m_pEditPassword");

    const struct {
        int width;
        int mode;
    } steps[] = {{1419, 1}, {1420, 0}, {1419, 1}, {2000, 0}, {900, 1}};
    for (const auto& s : steps) {
        page.resize(s.width, 600);
        QTRY_COMPARE(page.width(), s.width);
        QCOMPARE(page.bottomRowMode(), s.mode);
        page.layout()->activate();
        QCoreApplication::processEvents();
        if (s.mode == 0) {
            // One row: every label on one line, the password beside the user name.
            QCOMPARE(gateway->y(), ip->y());
            QCOMPARE(mode->y(), ip->y());
            QVERIFY(gateway->x() > ip->x());
            QCOMPARE(password->y(), user->y());
        } else {
            QVERIFY(gateway->y() > ip->y());
            QCOMPARE(gateway->x(), ip->x());
            QVERIFY(password->y() > user->y());
        }
    }
}

void TestSearchPage::busyRecordsAreLeftOut_data()
{
    QTest::addColumn<int>("busy"); // of three checked devices, the first rows
    QTest::addColumn<QStringList>("after");
    QTest::newRow("one busy: the other two take the first two addresses")
        << 1 << QStringList{"198.51.100.40", "198.51.100.50", "198.51.100.51"};
    QTest::newRow("all busy: nothing is sent")
        << 3 << QStringList{"198.51.100.40", "198.51.100.41", "198.51.100.42"};
}

// A record still busy with another page's job (an upgrade keeps running after its page has
// given its controls back) is left out of the address change: the record would refuse the
// job and never report, so the page would wait for it for good.
void TestSearchPage::busyRecordsAreLeftOut()
{
    QFETCH(int, busy);
    QFETCH(QStringList, after);
    QVERIFY(devices_.Start({"device-ips=198.51.100.40,198.51.100.41,198.51.100.42", "device-password=secret"}));
    QVERIFY(startWindow());
    ClickHeaderBox(page_->currentView());
    const QList<DeviceInfo*> records = page_->currentModel()->allRecords();
    QCOMPARE(records.size(), 3);
    for (int i = 0; i < busy; ++i)
        records[i]->m_nStatus = DeviceInfo::StWorking;
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(1);
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditIP")->setText("198.51.100.50");
    Child<QLineEdit>(page_, "m_pEditNetMask")->setText("255.255.255.0");
    Child<QLineEdit>(page_, "m_pEditGateway")->setText("198.51.100.1");
    QSignalSpy done(page_, &SearchFrame::modifyDone);
    {
        ModalCatcher catcher;
        Child<QPushButton>(page_, "m_pBtnModify")->click();
        QCOMPARE(catcher.seen, 1);
        QVERIFY(catcher.texts.contains(LoadStringFromID(151)));
    }
    if (busy < 3)
        QVERIFY(done.wait(15000));
    else
        QTest::qWait(200);
    QCOMPARE(devices_.Requests(13).size(), 3 - busy);
    for (int i = 0; i < busy; ++i) {
        QCOMPARE(records[i]->m_nStatus, int(DeviceInfo::StWorking));
        QVERIFY(records[i]->m_strNewIP.isEmpty());
        records[i]->m_nStatus = DeviceInfo::StNone;
    }
    QVERIFY(page_->isModifyIPDone());
    QVERIFY(Child<QPushButton>(page_, "m_pBtnModify")->isEnabled());
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
    QVERIFY(searchAgain());
    QCOMPARE(Addresses(page_->currentModel()), after);
}

void TestSearchPage::onvifQueryLeavesBusyRecordsOut()
{
    QVERIFY(onvif_.Start(2));
    QVERIFY(startWindow());
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pComboProtocol->setCurrentIndex(1);
    QVERIFY(loaded.wait(10000));
    // The ONVIF table has no check boxes: the query takes the selected device.
    CheckBoxTableView* view = page_->currentView();
    const QModelIndex cell = view->model()->index(0, 1);
    view->setCurrentIndex(cell);
    page_->onClickTableView(cell);
    QVERIFY(!page_->isBatchMode());
    const QList<DeviceInfo*> records = {page_->currentModel()->objectPointFromIndex(cell)};
    QVERIFY(records[0]);
    records[0]->m_nStatus = DeviceInfo::StWorking;
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("someone");
    ModalCatcher catcher;
    Child<QPushButton>(page_, "m_pBtnQuery")->click();
    QVERIFY2(catcher.texts.contains(LoadStringFromID(151)), qPrintable(catcher.texts.join('|')));
    for (DeviceInfo* r : records) {
        QVERIFY(r->m_strUser != QLatin1String("someone")); // nothing prepared, nothing queued
        r->m_nStatus = DeviceInfo::StNone;
    }
    QVERIFY(Child<QPushButton>(page_, "m_pBtnQuery")->isEnabled());
    QVERIFY(page_->isModifyIPDone());
}

void TestSearchPage::protocolSwitchShowsTheOnvifView()
{
    QVERIFY(devices_.Start({"devices=4"}));
    QVERIFY(onvif_.Start(5));
    QVERIFY(startWindow());
    QCOMPARE(page_->currentModel()->allRecords().size(), 4);
    QCOMPARE(onvif_.Probes(), 0);

    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pComboProtocol->setCurrentIndex(1);
    QVERIFY(page_->isSearching()); // the ONVIF search starts at once
    QVERIFY(loaded.wait(10000));
    QCOMPARE(Child<QStackedWidget>(page_, "stackedWidget")->currentIndex(), 1);
    QCOMPARE(page_->currentView(), Child<CheckBoxTableView>(page_, "m_pOnvifView"));
    QCOMPARE(onvif_.Probes(), 1);
    QStringList got = Addresses(page_->currentModel());
    QCOMPARE(got, (QStringList{"203.0.113.1", "203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5"}));
    for (DeviceInfo* r : page_->currentModel()->allRecords())
        QVERIFY(r->m_bOnvif);
    CheckBoxTableView* view = page_->currentView();
    for (int c = 0; c < view->model()->columnCount(); ++c) {
        const bool hidden = QList<int>{2, 4, 6, 7, 8, 9, 11, 12}.contains(c);
        QVERIFY2(view->isColumnHidden(c) == hidden, qPrintable(QString::number(c)));
    }
    QVERIFY(!Child<QPushButton>(page_, "m_pBtnQuery")->isHidden());
    // The other pages have no ONVIF use: their buttons go while ONVIF is chosen.
    QVERIFY(PageButton(frame_->toolBar(), 1)->isHidden());
    QVERIFY(PageButton(frame_->toolBar(), 2)->isHidden());

    frame_->toolBar()->m_pComboProtocol->setCurrentIndex(0);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(page_->currentView(), Child<CheckBoxTableView>(page_, "m_pNormalView"));
    QCOMPARE(page_->currentModel()->allRecords().size(), 4);
    QVERIFY(Child<QPushButton>(page_, "m_pBtnQuery")->isHidden());
    QVERIFY(!PageButton(frame_->toolBar(), 1)->isHidden());
}

void TestSearchPage::addressClickOpensTheWebPage()
{
    QVERIFY(devices_.Start({"device-ips=198.51.100.77,198.51.100.76"}));
    QVERIFY(startWindow());
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    CheckBoxTableView* view = page_->currentView();
    const QModelIndex address = view->model()->index(1, 1);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(address).center());
    const QModelIndex port = view->model()->index(0, 3);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(port).center());
    // Also in batch mode.
    ClickHeaderBox(view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(0, 1)).center());
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(catcher.urls, (QList<QUrl>{QUrl("http://198.51.100.77:80"), QUrl("http://198.51.100.76:80")}));
    // In batch mode a row click leaves the start address to the user.
    QVERIFY(page_->isBatchMode());
    QCOMPARE(Child<QLineEdit>(page_, "m_pEditIP")->text(), QString());
}

void TestSearchPage::doubleClickHandsTheDeviceToTheLoginPage()
{
    QVERIFY(devices_.Start({"devices=2"}));
    QVERIFY(startWindow());
    CheckBoxTableView* view = page_->currentView();
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("installer");
    // Without a current row nothing changes.
    view->setCurrentIndex(QModelIndex());
    page_->OnDoubleClickTableView(QModelIndex());
    QCOMPARE(frame_->pageStack()->currentIndex(), 0);
    QVERIFY(!frame_->loginFrame()->device());

    const QModelIndex cell = view->model()->index(1, 4);
    view->setCurrentIndex(cell);
    page_->OnDoubleClickTableView(cell);
    QCOMPARE(frame_->pageStack()->currentIndex(), 2);
    QCOMPARE(frame_->loginFrame()->device(), page_->currentModel()->objectPointFromIndex(cell));
    QCOMPARE(frame_->loginFrame()->user(), QStringLiteral("installer"));
    QVERIFY(PageButton(frame_->toolBar(), 2)->isChecked());
}

void TestSearchPage::filterColumnMapping_data()
{
    QTest::addColumn<int>("page");     // tool bar page button
    QTest::addColumn<int>("selector"); // index of the column selector
    QTest::addColumn<int>("column");   // the page's filter column
    QTest::newRow("search, address") << 0 << 0 << 1;
    QTest::newRow("search, media port") << 0 << 1 << 2;
    QTest::newRow("search, channels") << 0 << 2 << 4; // the search table has the web port at 3
    QTest::newRow("upgrade, address") << 1 << 0 << 1;
    QTest::newRow("upgrade, channels") << 1 << 2 << 3;
    QTest::newRow("device information, channels") << 3 << 2 << 3;
    QTest::newRow("device information, media port") << 3 << 1 << 2;
}

void TestSearchPage::filterColumnMapping()
{
    QFETCH(int, page);
    QFETCH(int, selector);
    QFETCH(int, column);
    QVERIFY(devices_.Start({"devices=2"}));
    QVERIFY(startWindow());
    ToolBarFrame* bar = frame_->toolBar();
    if (page == 0) {
        QVERIFY(searchAgain()); // the checked search button searches again
    } else {
        PageButton(bar, page)->click();
    }
    bar->m_pComboFilter->setCurrentIndex(selector);
    bar->m_pEditFilter->setText(QStringLiteral("198"));
    switch (page) {
    case 0:
        QCOMPARE(page_->currentModel()->getTableModel()->filterKeyColumn(), column);
        break;
    case 1:
        QCOMPARE(frame_->upgradeFrame()->model()->getTableModel()->filterKeyColumn(), column);
        QVERIFY(frame_->upgradeFrame()->model()->getTableModel()->filterRegExp().pattern().contains(QStringLiteral("198")));
        break;
    case 3:
        QCOMPARE(frame_->deviceInfoFrame()->filterCol(), column);
        QCOMPARE(frame_->deviceInfoFrame()->filterString(), QStringLiteral("198"));
        break;
    }
    QCOMPARE(frame_->pageStack()->currentIndex(), page);
}

QTEST_MAIN(TestSearchPage)
#include "tst_search_page_netns.moc"
