// Entry of the desktop tool: start-up and shutdown in a fixed order.
#include <QApplication>
#include <QPushButton>
#include <QFile>
#include <QTextCodec>
#include <QTranslator>
#include <QVBoxLayout>
#include <QWidget>

#include "Edition.h"
#include "EventLoop.h"
#include "KVAppSetting.h"
#include "KVNet.h"
#include "KVOnvif.h"
#include "Singleton.h"
#include "TitleBarFrame.h"
#include "ToolBarFrame.h"
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
        // Until the main window with its pages exists: the title bar and the tool bar.
        std::unique_ptr<QWidget> window(new QWidget);
        window->setObjectName(QStringLiteral("MainFrame"));
        auto* titleBar = new TitleBarFrame(window.get(), true);
        titleBar->setFixedHeight(Edition::Has(EditionSwitch::TallTitleBar, setting->m_nCompany) ? 150 : 50);
        auto* toolBar = new ToolBarFrame(window.get());
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        layout->addWidget(titleBar);
        layout->addWidget(toolBar);
        layout->addStretch();
        QObject::connect(titleBar, &TitleBarFrame::CloseRequest, window.get(), &QWidget::close);
        QObject::connect(titleBar, &TitleBarFrame::MinReqest, window.get(), &QWidget::showMinimized);
        QObject::connect(toolBar, &ToolBarFrame::ProtocolIndexChangedRequest, toolBar, [toolBar] {
            if (toolBar->m_pBtnSearch->isChecked())
                toolBar->showOtherButton(toolBar->protocolIndex() == 0);
        });
        window->resize(1280, 720);
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
