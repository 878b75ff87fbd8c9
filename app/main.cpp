// The desktop tool: start-up in a fixed order, the event loop, and a shutdown that first
// quiesces everything that could still reach a window or a device record.
#include <QApplication>
#include <QFile>
#include <QTextCodec>
#include <QTranslator>
#include <memory>

#include "EventLoop.h"
#include "KVAppSetting.h"
#include "KVNet.h"
#include "KVOnvif.h"
#include "Singleton.h"
#include "XmlLanguage.h"
#include "demo_capture.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "main_frame.h"

namespace {

// How long shutdown waits for running jobs. The longest a job blocks is the
// re-addressing's wait for answers (6 s for unicast).
const int kQuiesceMs = 8000;

// Closes what the records still hold open and cuts their way back to the pages, which
// are about to go.
void StopRecords()
{
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    QList<DeviceInfo*> records = mng->m_listDeviceInfo;
    records += mng->retired();
    for (DeviceInfo* r : records) {
        r->stopUpgradeDevice();
        r->logoutDevice();
        r->m_pSearchFrame = nullptr;
        r->m_pUpgradeFrame = nullptr;
        r->m_pDeviceInfoFrame = nullptr;
        r->m_pImportExportFrame = nullptr;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);

    KVAppInitResources();
    QFile qss(QStringLiteral(":/qss/Resource/Varnook.qss"));
    if (qss.open(QIODevice::ReadOnly)) {
        app.setStyleSheet(QString::fromUtf8(qss.readAll()));
        qss.close();
    }

    KVAppSetting* setting = Singleton<KVAppSetting>::getInstance();
    setting->LoadConfig();
    setting->InitLanguage();

    QTranslator translator;
    if (!setting->m_strQtTranslation.isEmpty()) {
        // A missing file leaves Qt's own dialogs in English; the empty translator is
        // installed all the same.
        translator.load(QCoreApplication::applicationDirPath() + setting->m_strQtTranslation);
        app.installTranslator(&translator);
    }

    KVNetInit();
    KVNetSetEncription(1);
    KVOnvifInit();
    KVOnvifSetSeachTimeout(2, 2, 2);

    EventLoop* pool = EventLoop::getLoop();
    pool->startLoop();

    std::unique_ptr<MainFrame> frame(new MainFrame(nullptr));
    frame->setWindowTitle(LoadStringFromID(0));
    frame->show();
    DemoCapture::installFromEnvironment(frame.get());

    const int rc = app.exec();

    // Quiesce before tearing down: no search callback, job or client callback may reach
    // the window or a record once they are gone.
    bool idle = frame->quiesce(kQuiesceMs);
    // A job may have started a session whose handle is still in a posted event: deliver
    // it, so the record holds the handle that StopRecords closes.
    QCoreApplication::sendPostedEvents();
    StopRecords();
    if (idle) {
        // An upgrade that ended just now is being closed by a worker: let it finish and
        // deliver its report before the records go.
        idle = frame->quiesce(kQuiesceMs);
        QCoreApplication::sendPostedEvents();
    }
    if (idle) {
        frame.reset();
        // Nothing reaches the records any more: they go with the window.
        QList<DeviceInfo*> none;
        DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    } else {
        (void)frame.release(); // a job still runs against it: leave the window alive
    }
    KVNetRelease();
    KVOnvifRelease();
    setting->UnInitLanguage();
    pool->stopLoop();
    if (idle)
        pool->joinWorkers();
    return rc;
}
