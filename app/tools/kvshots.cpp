// Renders the tool's title bar and tool bar, the About box and a warning box for one
// edition and language, and grabs them from the X screen with ImageMagick's import.
// Run under Xvfb (scripts/screenshots.sh); it touches no network.
//
//   kvshots <edition> <language file> <bars|about|warning> <out.png>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

#include "BaseDialog.h"
#include "Edition.h"
#include "KVAppSetting.h"
#include "KVMessageBox.h"
#include "Singleton.h"
#include "TitleBarFrame.h"
#include "ToolBarFrame.h"
#include "XmlLanguage.h"

namespace {

// Grabs a screen rectangle into a PNG; false when import failed.
bool grab(const QRect& r, const QString& out)
{
    const QString crop = QString("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
    return QProcess::execute("import", {"-window", "root", "-crop", crop, "+repage", out}) == 0;
}

// Settings of the edition with the wanted language current (also where the edition
// would not offer it: the picture is about how the texts render).
bool prepareSettings(const QString& toolDir, QTemporaryDir& scratch, int edition, const QString& language)
{
    QFile shipped(toolDir + "/config.xml");
    if (!shipped.open(QIODevice::ReadOnly))
        return false;
    QByteArray config = shipped.readAll();
    config.replace(QByteArray("<Company>0</Company>"), "<Company>" + QByteArray::number(edition) + "</Company>");
    QFile own(scratch.path() + "/config.xml");
    if (!own.open(QIODevice::WriteOnly) || own.write(config) != config.size())
        return false;
    own.close();
    if (!QFile::link(toolDir + "/Language", scratch.path() + "/Language"))
        return false;

    KVAppSetting* s = Singleton<KVAppSetting>::getInstance();
    s->SetAppDir(scratch.path());
    s->LoadConfig();
    const int pos = s->m_listLanguageFile.indexOf(language);
    if (pos < 0)
        return false;
    auto it = std::find(s->m_vecLanguage.begin(), s->m_vecLanguage.end(), pos);
    if (it == s->m_vecLanguage.end()) {
        s->m_vecLanguage.push_back(pos);
        it = s->m_vecLanguage.end() - 1;
    }
    s->m_nCurLanguage = static_cast<int>(it - s->m_vecLanguage.begin());
    return s->InitLanguage();
}

}  // namespace

int main(int argc, char* argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    QApplication app(argc, argv);
    KVAppInitResources();
    if (argc != 5) {
        std::fprintf(stderr, "usage: kvshots <edition> <language file> <bars|about|warning> <out.png>\n");
        return 2;
    }
    const int edition = QString(argv[1]).toInt();
    const QString language = QString::fromLocal8Bit(argv[2]);
    const QString view = QString::fromLocal8Bit(argv[3]);
    const QString out = QFileInfo(QString::fromLocal8Bit(argv[4])).absoluteFilePath();

    QFile qss(":/qss/Resource/Varnook.qss");
    if (qss.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(qss.readAll()));
    QTemporaryDir scratch;
    if (!prepareSettings(QCoreApplication::applicationDirPath(), scratch, edition, language)) {
        std::fprintf(stderr, "kvshots: settings or language file not found\n");
        return 1;
    }

    // The main window's top as it will be: title bar, tool bar, a strip of the page below.
    QWidget window;
    window.setObjectName("MainFrame");
    window.setWindowFlags(Qt::FramelessWindowHint);
    auto* title = new TitleBarFrame(&window, true);
    const int titleHeight = Edition::Has(EditionSwitch::TallTitleBar, edition) ? 150 : 50;
    title->setFixedHeight(titleHeight);
    auto* tool = new ToolBarFrame(&window);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(title);
    layout->addWidget(tool);
    layout->addStretch();
    window.setGeometry(0, 0, 1280, titleHeight + 48 + 12);
    window.show();

    int code = 0;
    if (view == "bars") {
        QTimer::singleShot(800, [&] {
            code = grab(window.geometry(), out) ? 0 : 1;
            app.quit();
        });
        app.exec();
        return code;
    }

    BaseDialog::setModalHook([&](QDialog* d) {
        QTimer::singleShot(1000, d, [&, d] {
            code = grab(d->frameGeometry(), out) ? 0 : 1;
            d->done(-1);
        });
    });
    QTimer::singleShot(200, [&] {
        if (view == "about")
            title->ShowAboutWindow();
        else
            KVMessageBox::Show(LoadStringFromID(25), LoadStringFromID(6), &window, MsgBoxButtonOk,
                               MsgBoxIconWarning);
        app.quit();
    });
    app.exec();
    return code;
}
