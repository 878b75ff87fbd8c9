// Entry of the desktop tool: start-up and shutdown in a fixed order.
#include <QApplication>
#include <QFile>
#include <QTextCodec>
#include <QTranslator>
#include <QWidget>

#include "EventLoop.h"
#include "KVAppSetting.h"
#include "KVNet.h"
#include "KVOnvif.h"
#include "Singleton.h"
#include "XmlLanguage.h"

#include <memory>

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
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

    // Installed for the life of the application, also when the file did not load.
    QTranslator translator(&app);
    if (!setting->m_strQtTranslation.isEmpty()) {
        translator.load(QCoreApplication::applicationDirPath() + setting->m_strQtTranslation);
        app.installTranslator(&translator);
    }

    KVNetInit();
    KVNetSetEncription(1);
    KVOnvifInit();
    KVOnvifSetSeachTimeout(2, 2, 2);

    EventLoop* loop = EventLoop::getLoop();
    loop->startLoop();

    int code;
    {
        std::unique_ptr<QWidget> window(new QWidget);
        window->setWindowTitle(LoadStringFromID(0));
        window->show();
        code = app.exec();
    }

    KVNetRelease();
    KVOnvifRelease();
    setting->UnInitLanguage();
    loop->stopLoop();
    return code;
}
