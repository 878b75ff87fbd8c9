// The tool end to end in a private namespace pair: 20 simulated maker devices and 5 ONVIF
// devices, the real clients underneath, a lossy link, and the tool itself closed while a
// device still answers.
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

#include "EventLoop.h"
#include "ToolBarFrame.h"
#include "app_netns.h"
#include "apptest.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "main_frame.h"
#include "search_frame.h"

using namespace apptest;

namespace {

template <class T>
T* Child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

QStringList Addresses(CheckBoxTableModel* model)
{
    QStringList out;
    for (DeviceInfo* r : model->allRecords())
        out << r->ipText();
    return out;
}

QStringList Range(int first, int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << QStringLiteral("198.51.100.%1").arg(first + i);
    return out;
}

} // namespace

class TestToolEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void rowsOfBothProtocolsInTime();
    void batchOfTwentyThenSearch();
    void lossyLinkNeverStrandsTheToolBar();
    void closingWhileADeviceAnswersLateIsClean();

private:
    bool search(int timeoutMs = 10000);
    bool modifyAll(const QString& start);

    AppFolder folder_;
    MakerDevices devices_;
    OnvifDevices onvif_;
    std::unique_ptr<MainFrame> frame_;
    SearchFrame* page_ = nullptr;
};

void TestToolEndToEnd::initTestCase()
{
    if (PairName().isEmpty())
        QSKIP("needs the client side of a private namespace pair (kvnetns.sh run --side cli)");
    QVERIFY(folder_.setConfig(configXml({"ENU.xml", "CHS.xml"}, 13, "0")));
    QVERIFY(QFile::copy(QStringLiteral(KV_SOURCE_DIR "/app/dist/Language/ENU.xml"),
                        folder_.path() + QStringLiteral("/Language/ENU.xml")));
    folder_.load();
    EventLoop::getLoop();
}

void TestToolEndToEnd::init()
{
    QVERIFY(SetLoss(0));
    QVERIFY(devices_.Start({"devices=20", "device-password=secret"}));
    QVERIFY(onvif_.Start(5));
}

void TestToolEndToEnd::cleanup()
{
    SetLoss(0);
    if (frame_) {
        frame_->quiesce(8000);
        frame_.reset();
    }
    // The last search's records go with the window that showed them.
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    devices_.Stop();
    onvif_.Stop();
}

bool TestToolEndToEnd::search(int timeoutMs)
{
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    frame_->toolBar()->m_pBtnSearch->click();
    return loaded.wait(timeoutMs);
}

bool TestToolEndToEnd::modifyAll(const QString& start)
{
    CheckBoxTableView* view = page_->currentView();
    if (view->getHeadCheckState() != 2)
        QTest::mouseClick(view->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(9, 12));
    Child<QComboBox>(page_, "m_pComNetMode")->setCurrentIndex(1);
    Child<QLineEdit>(page_, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page_, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page_, "m_pEditIP")->setText(start);
    Child<QLineEdit>(page_, "m_pEditNetMask")->setText("255.255.255.0");
    Child<QLineEdit>(page_, "m_pEditGateway")->setText("198.51.100.1");
    QSignalSpy done(page_, &SearchFrame::modifyDone);
    Child<QPushButton>(page_, "m_pBtnModify")->click();
    return done.wait(30000);
}

void TestToolEndToEnd::rowsOfBothProtocolsInTime()
{
    QElapsedTimer t;
    t.start();
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    frame_->show();
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    QVERIFY(loaded.wait(10000));
    // The search's own cap is 5 s; the table must be full well within 5.5 s of start.
    QVERIFY2(t.elapsed() < 5500, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(Addresses(page_->currentModel()), Range(64, 20));

    t.restart();
    frame_->toolBar()->m_pComboProtocol->setCurrentIndex(1);
    QVERIFY(loaded.wait(10000));
    QVERIFY2(t.elapsed() < 5500, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(page_->currentModel()->allRecords().size(), 5);
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
}

void TestToolEndToEnd::batchOfTwentyThenSearch()
{
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    frame_->show();
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(page_->currentModel()->allRecords().size(), 20);
    QVERIFY(modifyAll(QStringLiteral("198.51.100.150")));
    QCOMPARE(Addresses(page_->currentModel()), Range(150, 20));
    for (DeviceInfo* r : page_->currentModel()->allRecords())
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StDone));
    QCOMPARE(devices_.Requests(13).size(), 20);
    QVERIFY(search());
    QCOMPARE(Addresses(page_->currentModel()), Range(150, 20));
}

void TestToolEndToEnd::lossyLinkNeverStrandsTheToolBar()
{
    frame_.reset(new MainFrame(nullptr));
    page_ = frame_->searchFrame();
    frame_->show();
    QSignalSpy loaded(page_, &SearchFrame::searchLoaded);
    QVERIFY(loaded.wait(10000));
    QVERIFY(SetLoss(30));
    for (int round = 0; round < 4; ++round) {
        QVERIFY(search());
        QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
        QVERIFY(page_->currentModel()->allRecords().size() <= 20);
    }
    // A batch over the lossy link: every device reports, done or failed, and the editor
    // and tool bar come back.
    const int rows = page_->currentModel()->allRecords().size();
    if (rows > 0) {
        QVERIFY(modifyAll(QStringLiteral("198.51.100.10")));
        for (DeviceInfo* r : page_->currentModel()->allRecords())
            QVERIFY(r->m_nStatus == DeviceInfo::StDone || r->m_nStatus == DeviceInfo::StFailed);
        QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
        QVERIFY(Child<QPushButton>(page_, "m_pBtnModify")->isEnabled());
    }
    // The ONVIF search over the same link.
    frame_->toolBar()->m_pComboProtocol->setCurrentIndex(1);
    QVERIFY(loaded.wait(10000));
    QVERIFY(frame_->toolBar()->m_pBtnSearch->isEnabled());
}

void TestToolEndToEnd::closingWhileADeviceAnswersLateIsClean()
{
    // The tool itself (the sanitizer build's, under ASan), closed 100 ms after start while
    // the devices answer its search only after 200 ms.
    devices_.Stop();
    QVERIFY(devices_.Start({"devices=20", "search-delay=200"}));
    for (int run = 0; run < 3; ++run) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KVTOOL_CLOSE_AFTER_MS", "100");
        tool.setProcessEnvironment(env);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QStringLiteral(KVTOOL_DIR "/kvtool"), QStringList());
        QVERIFY(tool.waitForStarted(10000));
        QVERIFY(tool.waitForFinished(30000));
        const QByteArray out = tool.readAll();
        QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, out.constData());
        QVERIFY2(!out.contains("AddressSanitizer") && !out.contains("runtime error"), out.constData());
    }
    QVERIFY(devices_.Requests(11).size() >= 3);
}

QTEST_MAIN(TestToolEndToEnd)
#include "tst_tool_e2e_netns.moc"
