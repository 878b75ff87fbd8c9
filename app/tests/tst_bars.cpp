// Title bar and tool bar: what each edition shows, the About box it opens, and the
// renewal of every registered window when the language changes.
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#include "BaseDialog.h"
#include "KVMessageBox.h"
#include "TitleBarFrame.h"
#include "ToolBarFrame.h"
#include "apptest.h"

#include <memory>

using namespace apptest;

namespace {

const QStringList kAllNames{"CHS.xml", "ENU.xml", "GER.xml", "ENU_E10.xml", "ENU_E16.xml", "ENU_E17.xml",
                            "KOR_E20.xml"};

// The main window's share until it exists: both bars in one shown widget.
struct Bars {
    QWidget host;
    TitleBarFrame* title;
    ToolBarFrame* tool;
    Bars()
    {
        title = new TitleBarFrame(&host, true);
        tool = new ToolBarFrame(&host);
        auto* l = new QVBoxLayout(&host);
        l->addWidget(title);
        l->addWidget(tool);
        // As the main window does: the other page buttons only with the maker's protocol.
        QObject::connect(tool, &ToolBarFrame::ProtocolIndexChangedRequest, tool, [t = tool] {
            if (t->m_pBtnSearch->isChecked())
                t->showOtherButton(t->protocolIndex() == 0);
        });
        host.resize(1400, 200);
        host.show();
    }
};

struct AboutSeen {
    bool shown = false;
    QString title, text;
    bool buttons = true, logo = false, closeShown = false;
    int titleWidth = 0;
    int result = 0;
};

AboutSeen openAbout(TitleBarFrame* bar)
{
    AboutSeen seen;
    BaseDialog::setModalHook([&](QDialog* d) {
        seen.shown = true;
        if (auto* dlg = qobject_cast<BaseDialog*>(d)) {
            seen.title = dlg->titleBar()->m_pTitleLabel->text();
            seen.titleWidth = dlg->titleBar()->m_pTitleLabel->width();
            seen.closeShown = dlg->titleBar()->m_pBtnClose->isVisible();
            if (auto* box = qobject_cast<KVMessageBox*>(dlg->content())) {
                seen.text = box->m_pLabelText->text();
                seen.buttons = box->m_pBtnOk || box->m_pBtnCancel || box->m_pButtonBar;
                seen.logo = box->m_pLabelIcon && !box->m_pLabelIcon->pixmap(Qt::ReturnByValue).isNull();
            }
            QObject::connect(dlg, &QDialog::finished, [&seen](int r) { seen.result = r; });
            QTest::mouseClick(dlg->titleBar()->m_pBtnClose, Qt::LeftButton);
        }
        if (d->isVisible())
            d->done(-99);
    });
    bar->m_pActionAbout->trigger();
    BaseDialog::setModalHook(nullptr);
    return seen;
}

// Position of w in the bar row of the title bar, -1 when absent.
int barIndex(TitleBarFrame* bar, QWidget* w, QLayout** row)
{
    auto* column = qobject_cast<QVBoxLayout*>(bar->layout());
    *row = column->itemAt(column->count() - 1)->layout();
    return (*row)->indexOf(w);
}

}  // namespace

class TestBars : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void editions_data();
    void editions();
    void dialogModeBar();
    void protocolSwitch_data();
    void protocolSwitch();
    void signalsAndEnable();
    void languageSwitchRenewsEveryWindow();

private:
    void loadEdition(int edition);
    std::unique_ptr<AppFolder> app;
};

void TestBars::initTestCase()
{
    KVAppInitResources();
}

void TestBars::loadEdition(int edition)
{
    app.reset(new AppFolder);
    QVERIFY(app->setConfig(configXml(kAllNames, edition, "1", "3.2.1")));
    for (const QString& n : kAllNames)
        QVERIFY(app->addLanguage(n, languageXml(n.left(3).toLower(), 140)));
    app->load();
}

void TestBars::editions_data()
{
    QTest::addColumn<int>("edition");
    QTest::addColumn<bool>("logo");
    QTest::addColumn<bool>("upperLogo");
    QTest::addColumn<bool>("barLogo");
    QTest::addColumn<bool>("stretchAfterBarLogo");
    QTest::addColumn<bool>("deviceInfo");
    QTest::addColumn<bool>("importExport");
    QTest::addColumn<bool>("protocol");
    QTest::addColumn<bool>("objectNames");
    QTest::addColumn<QString>("aboutTitle");
    QTest::addColumn<QString>("about");

    // Texts come from the edition's current file; each file's texts begin with the first
    // three letters of its name. cursel 1 names ENU.xml, so editions offering it use it.
    //                               logo  upper  bar    stretch devinfo impexp proto  names
    QTest::newRow("0") << 0 << true << false << false << true << false << false << false << false << "enu7"
                       << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("2") << 2 << true << true << false << true << false << false << false << false << "ger7"
                       << QStringLiteral("ger2ger0\n\nger33.2.1");
    QTest::newRow("3") << 3 << true << false << true << true << false << false << false << false << "enu7"
                       << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("10") << 10 << true << false << false << true << false << false << false << true << "enu7"
                        << QStringLiteral("Harbourline Security Systems Ltd.\n\nenu2 enu0\n\nenu3 3.2.1");
    QTest::newRow("13") << 13 << true << false << false << true << true << false << true << false << "enu7"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("16") << 16 << true << false << false << true << false << true << false << false << "enu126"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1\n\n2026 Northfield Vision GmbH");
    QTest::newRow("17") << 17 << true << false << true << true << false << false << false << false << "enu7"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("20") << 20 << false << false << true << true << false << false << true << false << "enu7"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("22") << 22 << true << false << false << true << true << false << false << false << "enu7"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("26") << 26 << true << false << false << true << false << false << true << false << "enu7"
                        << QStringLiteral("enu2enu0\n\nenu33.2.1");
    QTest::newRow("27") << 27 << true << false << true << false << false << false << false << false << "enu7"
                        << QStringLiteral("enu2 enu0\nenu3 3.2.1\nKestrel Optics B.V.\nHavenstraat 12\n"
                                          "3011 AB Rotterdam\nE-mail: support@kestrel-optics.example");
}

void TestBars::editions()
{
    QFETCH(int, edition);
    loadEdition(edition);
    Bars bars;
    TitleBarFrame* t = bars.title;
    ToolBarFrame* b = bars.tool;

    QCOMPARE(t->objectName(), QStringLiteral("TitleBarFrame"));
    QTEST(t->m_pLogo != nullptr, "logo");
    QTEST(t->m_pUpperLogo != nullptr, "upperLogo");
    QTEST(t->m_pBarLogo != nullptr, "barLogo");
    for (QLabel* logo : {t->m_pLogo, t->m_pUpperLogo, t->m_pBarLogo})
        if (logo) {
            QVERIFY(!logo->pixmap(Qt::ReturnByValue).isNull());
            QVERIFY(logo->isVisible());
        }
    QCOMPARE(t->m_pBtnAbout->objectName(), QStringLiteral("aboutbutton"));
    QCOMPARE(t->m_pBtnMin->objectName(), QStringLiteral("minbutton"));
    QCOMPARE(t->m_pBtnClose->objectName(), QStringLiteral("closebutton"));
    QVERIFY(t->m_pBtnAbout->isVisible());
    QVERIFY(!t->m_pBtnMin->isVisible());
    QVERIFY(!t->m_pBtnClose->isVisible());
    if (t->m_pBarLogo) {
        QLayout* row;
        int at = barIndex(t, t->m_pBarLogo, &row);
        QVERIFY(at >= 0);
        QFETCH(bool, stretchAfterBarLogo);
        QCOMPARE(row->itemAt(at + 1)->widget() == nullptr, stretchAfterBarLogo);
    }

    QTEST(b->m_pBtnDeviceInfo->isVisible(), "deviceInfo");
    QTEST(b->m_pBtnImportExport->isVisible(), "importExport");
    QTEST(b->m_pComboProtocol->isVisible(), "protocol");
    QTEST(b->m_pLabelProtocol->isVisible(), "protocol");
    QFETCH(bool, objectNames);
    QCOMPARE(b->m_pEditFilter->objectName(), objectNames ? QStringLiteral("ToolBarEdit") : QString());
    QCOMPARE(b->m_pComboFilter->objectName(), objectNames ? QStringLiteral("ToolBarCombox") : QString());
    for (QPushButton* p : {b->m_pBtnSearch, b->m_pBtnUpgrade, b->m_pBtnConfig, b->m_pBtnDeviceInfo,
                           b->m_pBtnImportExport}) {
        QCOMPARE(p->objectName(), QStringLiteral("PageTabButton"));
        QCOMPARE(p->size(), QSize(120, 38));
        QVERIFY(p->isCheckable());
    }
    QVERIFY(b->m_pBtnSearch->isChecked());
    QVERIFY(b->m_pBtnUpgrade->isVisible());
    QVERIFY(b->m_pBtnConfig->isVisible());
    QCOMPARE(b->m_pComboFilter->count(), 3);
    QCOMPARE(b->m_pComboProtocol->count(), 2);

    const AboutSeen about = openAbout(t);
    QVERIFY(about.shown);
    QTEST(about.title, "aboutTitle");
    QTEST(about.text, "about");
    QVERIFY(!about.buttons);
    QVERIFY(about.logo);
    QVERIFY(about.closeShown);
    QCOMPARE(about.result, -1);  // only the title bar's close button ends it
    QVERIFY(about.titleWidth >= (edition == 16 ? 120 : 100));
}

void TestBars::dialogModeBar()
{
    loadEdition(0);
    TitleBarFrame bar(nullptr, false);
    bar.SetTitle(QStringLiteral("A long dialog title that a default label would cut"));
    bar.show();
    QVERIFY(bar.m_pTitleLabel);
    QVERIFY(!bar.m_pLogo && !bar.m_pBtnAbout && !bar.m_pMenuAbout);
    QVERIFY(bar.m_pBtnClose->isVisible());
    QVERIFY(bar.m_pTitleLabel->width() >= bar.m_pTitleLabel->sizeHint().width());
    QCOMPARE(bar.m_pBtnClose->toolTip(), QStringLiteral("enu9"));
    QCOMPARE(bar.m_pTitleLabel->palette().color(QPalette::Active, QPalette::WindowText), QColor(Qt::white));
    QSignalSpy close(&bar, &TitleBarFrame::CloseRequest);
    QTest::mouseClick(bar.m_pBtnClose, Qt::LeftButton);
    QCOMPARE(close.count(), 1);
    QCOMPARE(close.at(0).at(0).toInt(), -1);
    TitleBarFrame main(nullptr, true);
    main.SetTitle(QStringLiteral("ignored"));  // main mode has no title label
    QVERIFY(!main.m_pTitleLabel);
}

void TestBars::protocolSwitch_data()
{
    QTest::addColumn<int>("edition");
    QTest::addColumn<bool>("deviceInfo");
    QTest::addColumn<bool>("importExport");
    QTest::newRow("13") << 13 << true << false;
    QTest::newRow("16") << 16 << false << true;
    QTest::newRow("20") << 20 << false << false;
}

void TestBars::protocolSwitch()
{
    QFETCH(int, edition);
    QFETCH(bool, deviceInfo);
    QFETCH(bool, importExport);
    loadEdition(edition);
    Bars bars;
    ToolBarFrame* b = bars.tool;
    b->m_pComboFilter->setCurrentIndex(2);
    QSignalSpy protocol(b, &ToolBarFrame::ProtocolIndexChangedRequest);
    b->m_pComboProtocol->setCurrentIndex(1);  // ONVIF
    QCOMPARE(protocol.count(), 1);
    QCOMPARE(b->m_pComboFilter->count(), 1);
    QCOMPARE(b->m_pComboFilter->itemText(0), b->m_pComboFilter->itemText(0));
    QVERIFY(b->m_pComboFilter->itemText(0).endsWith("32"));
    for (QPushButton* p : {b->m_pBtnUpgrade, b->m_pBtnConfig, b->m_pBtnDeviceInfo, b->m_pBtnImportExport})
        QVERIFY(!p->isVisible());
    QVERIFY(b->m_pBtnSearch->isVisible());
    b->m_pComboProtocol->setCurrentIndex(0);
    QCOMPARE(b->m_pComboFilter->count(), 3);
    QVERIFY(b->m_pComboFilter->itemText(2).endsWith("34"));
    QVERIFY(b->m_pBtnUpgrade->isVisible());
    QVERIFY(b->m_pBtnConfig->isVisible());
    QCOMPARE(b->m_pBtnDeviceInfo->isVisible(), deviceInfo);
    QCOMPARE(b->m_pBtnImportExport->isVisible(), importExport);
}

void TestBars::signalsAndEnable()
{
    loadEdition(16);
    Bars bars;
    ToolBarFrame* b = bars.tool;
    b->showOtherButton(true);
    const struct {
        QPushButton* button;
        void (ToolBarFrame::*signal)();
    } pages[] = {{b->m_pBtnUpgrade, &ToolBarFrame::UpgradeRequest},
                 {b->m_pBtnConfig, &ToolBarFrame::ConfigRequest},
                 {b->m_pBtnImportExport, &ToolBarFrame::ImportExportRequest},
                 {b->m_pBtnSearch, &ToolBarFrame::SearchRequest}};
    for (const auto& p : pages) {
        QSignalSpy spy(b, p.signal);
        QTest::mouseClick(p.button, Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QVERIFY(p.button->isChecked());  // one checked page button at a time
        QCOMPARE(b->m_pButtonGroup->checkedButton(), p.button);
    }
    QSignalSpy device(b, &ToolBarFrame::DeviceInfoRequest);
    b->m_pBtnDeviceInfo->click();
    QCOMPARE(device.count(), 1);
    b->SetManualClickConfig();
    QVERIFY(b->m_pBtnConfig->isChecked());

    QSignalSpy text(b, &ToolBarFrame::FilterTextChangedRequest);
    QSignalSpy column(b, &ToolBarFrame::FilterIndexChangedRequest);
    b->m_pEditFilter->setText("198.51");
    b->m_pComboFilter->setCurrentIndex(1);
    QCOMPARE(text.count(), 1);
    QCOMPARE(column.count(), 1);
    QCOMPARE(b->filterText(), QStringLiteral("198.51"));
    QCOMPARE(b->filterColumn(), 1);

    const QList<QWidget*> switched{b->m_pBtnSearch,       b->m_pBtnUpgrade, b->m_pBtnConfig,
                                   b->m_pBtnDeviceInfo,   b->m_pBtnImportExport, b->m_pEditFilter,
                                   b->m_pComboFilter,     b->m_pComboProtocol};
    for (bool on : {false, true}) {
        b->setWidgetEnable(on);
        for (QWidget* w : switched)
            QCOMPARE(w->isEnabled(), on);
    }
}

void TestBars::languageSwitchRenewsEveryWindow()
{
    loadEdition(13);  // offers CHS.xml and ENU.xml; cursel 1 names ENU.xml
    KVAppSetting* s = Singleton<KVAppSetting>::getInstance();
    QCOMPARE(s->CurrentLanguageFile(), QStringLiteral("ENU.xml"));
    Bars bars;
    TitleBarFrame dialogBar(nullptr, false);
    EventCounter other;
    s->PushWindowObject(&other);
    TitleBarFrame* t = bars.title;
    ToolBarFrame* b = bars.tool;
    b->m_pComboFilter->setCurrentIndex(2);
    QCOMPARE(t->m_listLanguageAction.size(), 2);
    QCOMPARE(t->m_listLanguageAction.at(0)->text(), QStringLiteral("enu93"));  // names in the file at start
    QCOMPARE(t->m_listLanguageAction.at(1)->text(), QStringLiteral("enu89"));
    QVERIFY(t->m_listLanguageAction.at(1)->isChecked());

    QSignalSpy columnChanged(b, &ToolBarFrame::FilterIndexChangedRequest);
    QSignalSpy protocolChanged(b, &ToolBarFrame::ProtocolIndexChangedRequest);
    struct {
        int action;
        const char* prefix;
        const char* cursel;
        int otherEvents;
    } const steps[] = {{0, "chs", "0", 1}, {0, "chs", "0", 2}, {1, "enu", "1", 3}};
    for (const auto& st : steps) {
        t->m_pMenuLanguage->triggered(t->m_listLanguageAction.at(st.action));
        QCoreApplication::sendPostedEvents();
        const QString p = QString::fromLatin1(st.prefix);
        QCOMPARE(b->m_pBtnSearch->text(), p + "10");
        QCOMPARE(b->m_pBtnSearch->toolTip(), p + "10");
        QCOMPARE(b->m_pBtnUpgrade->text(), p + "11");
        QCOMPARE(b->m_pBtnConfig->text(), p + "83");
        QCOMPARE(b->m_pBtnDeviceInfo->text(), p + "95");
        QCOMPARE(b->m_pBtnImportExport->text(), p + "112");
        QCOMPARE(b->m_pLabelFilter->text(), p + "14");
        QCOMPARE(b->m_pLabelProtocol->text(), p + "136");
        QCOMPARE(b->m_pComboFilter->itemText(2), p + "34");
        QCOMPARE(b->m_pComboFilter->currentIndex(), 2);  // the chosen column stays
        QCOMPARE(b->m_pComboProtocol->itemText(1), p + "138");
        QCOMPARE(b->m_pComboProtocol->currentIndex(), 0);
        QCOMPARE(t->m_pActionAbout->text(), p + "7");
        QCOMPARE(t->m_pActionLanguage->text(), p + "88");
        QCOMPARE(t->m_pBtnMin->toolTip(), p + "8");
        QCOMPARE(dialogBar.m_pBtnClose->toolTip(), p + "9");
        QCOMPARE(other.count, st.otherEvents);
        QVERIFY(readFile(app->config()).contains(QByteArray("cursel=\"") + st.cursel + "\""));
        for (int i = 0; i < 2; ++i)
            QCOMPARE(t->m_listLanguageAction.at(i)->isChecked(), i == st.action);
        QCOMPARE(t->m_listLanguageAction.at(0)->text(), QStringLiteral("enu93"));  // names stay
    }
    // Renewal does not count as the user changing the column or the protocol.
    QCOMPARE(columnChanged.count(), 0);
    QCOMPARE(protocolChanged.count(), 0);

    // A language whose file has gone: the mark stays on the language in use.
    QVERIFY(QFile::remove(app->path() + "/Language/CHS.xml"));
    t->m_pMenuLanguage->triggered(t->m_listLanguageAction.at(0));
    QCoreApplication::sendPostedEvents();
    QVERIFY(t->m_listLanguageAction.at(1)->isChecked());
    QVERIFY(!t->m_listLanguageAction.at(0)->isChecked());
    QCOMPARE(b->m_pBtnSearch->text(), QStringLiteral("enu10"));
    s->PopWindowObject(&other);
}

QTEST_MAIN(TestBars)
#include "tst_bars.moc"
