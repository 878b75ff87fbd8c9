// Dialog frame and message box: what exec() returns for each way out, what each box type
// holds, and the file-open dialog's labels.
#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include "BaseDialog.h"
#include "KVMessageBox.h"
#include "TitleBarFrame.h"
#include "apptest.h"

using namespace apptest;

namespace {

enum class Way { Ok, Cancel, Close, Nothing };

// Ends the dialog the way a user would, recording what the box looked like first. If the
// wanted way is not there, the dialog is ended with -99 so the test fails instead of hanging.
struct Seen {
    bool shown = false;
    bool hasOk = false, hasCancel = false, hasBar = false, hasIcon = false;
    QString okText, cancelText, text, title;
    Qt::Alignment alignment;
    int spacing = -1;
    bool frameless = false, translucent = false, frameNamed = false;
    int titleBarHeight = 0;
};

void endWith(QDialog* d, Way way, Seen* seen)
{
    auto* dlg = qobject_cast<BaseDialog*>(d);
    seen->shown = true;
    if (!dlg) {
        d->done(-99);
        return;
    }
    auto* box = qobject_cast<KVMessageBox*>(dlg->content());
    if (box) {
        seen->hasOk = box->m_pBtnOk;
        seen->hasCancel = box->m_pBtnCancel;
        seen->hasBar = box->m_pButtonBar;
        seen->hasIcon = box->m_pLabelIcon && !box->m_pLabelIcon->pixmap(Qt::ReturnByValue).isNull();
        seen->okText = box->m_pBtnOk ? box->m_pBtnOk->text() : QString();
        seen->cancelText = box->m_pBtnCancel ? box->m_pBtnCancel->text() : QString();
        seen->text = box->m_pLabelText->text();
        seen->alignment = box->m_pLabelText->alignment();
        // The icon-and-text row is the box's layout, or the first part of it over a button bar.
        QLayout* row = box->layout();
        if (qobject_cast<QVBoxLayout*>(row))
            row = row->itemAt(0)->layout();
        if (row)
            seen->spacing = row->spacing();
    }
    seen->title = dlg->titleBar()->m_pTitleLabel->text();
    seen->frameless = dlg->windowFlags().testFlag(Qt::FramelessWindowHint);
    seen->translucent = dlg->testAttribute(Qt::WA_TranslucentBackground);
    seen->frameNamed = dlg->findChild<QWidget*>(QStringLiteral("DialogFrame")) != nullptr;
    seen->titleBarHeight = dlg->titleBar()->height();

    QAbstractButton* target = nullptr;
    if (way == Way::Ok && box)
        target = box->m_pBtnOk;
    else if (way == Way::Cancel && box)
        target = box->m_pBtnCancel;
    else if (way == Way::Close)
        target = dlg->titleBar()->m_pBtnClose;
    if (target && target->isVisible())
        QTest::mouseClick(target, Qt::LeftButton);
    if (dlg->isVisible())
        dlg->done(-99);
}

}  // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void messageBox_data();
    void messageBox();
    void leftAlignedEdition();
    void languageEventRenewsButtons();
    void fileDialog_data();
    void fileDialog();

private:
    AppFolder app;
};

void TestDialogs::initTestCase()
{
    KVAppInitResources();
    QVERIFY(app.setConfig(configXml({"ENU.xml"}, 0, "0")));
    QVERIFY(app.addLanguage("ENU.xml", languageXml("t", 140)));
    app.load();
}

void TestDialogs::cleanup()
{
    BaseDialog::setModalHook(nullptr);
    Singleton<KVAppSetting>::getInstance()->m_nCompany = 0;
}

Q_DECLARE_METATYPE(Way)

void TestDialogs::messageBox_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("icon");
    QTest::addColumn<Way>("way");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("cancel");

    QTest::newRow("OK box, OK") << 0 << 2 << Way::Ok << 0 << true << false;
    QTest::newRow("OK box, close") << 0 << 2 << Way::Close << -1 << true << false;
    QTest::newRow("OK-Cancel, OK") << 1 << 0 << Way::Ok << 0 << true << true;
    QTest::newRow("OK-Cancel, Cancel") << 1 << 0 << Way::Cancel << -1 << true << true;
    QTest::newRow("OK-Cancel, close") << 1 << 0 << Way::Close << -1 << true << true;
    QTest::newRow("no buttons, close") << -1 << 1 << Way::Close << -1 << false << false;
    QTest::newRow("no buttons, no OK to press") << -1 << 1 << Way::Ok << -99 << false << false;
    QTest::newRow("other button type, no icon") << 7 << 9 << Way::Close << -1 << false << false;
}

void TestDialogs::messageBox()
{
    QFETCH(int, buttons);
    QFETCH(int, icon);
    QFETCH(Way, way);
    Seen seen;
    BaseDialog::setModalHook([&](QDialog* d) { endWith(d, way, &seen); });
    QWidget parent;
    parent.show();
    int result = KVMessageBox::Show(QStringLiteral("Ask me"), QStringLiteral("Title here"), &parent,
                                    static_cast<MsgBoxButtonType>(buttons), static_cast<MsgBoxIconType>(icon));
    QVERIFY(seen.shown);
    QTEST(result, "result");
    QTEST(seen.hasOk, "ok");
    QTEST(seen.hasCancel, "cancel");
    QCOMPARE(seen.hasBar, seen.hasOk);
    QCOMPARE(seen.hasIcon, icon >= 0 && icon <= 2);
    QCOMPARE(seen.okText, seen.hasOk ? QStringLiteral("t4") : QString());
    QCOMPARE(seen.cancelText, seen.hasCancel ? QStringLiteral("t5") : QString());
    QCOMPARE(seen.text, QStringLiteral("Ask me"));
    QCOMPARE(seen.title, QStringLiteral("Title here"));
    QCOMPARE(seen.alignment, Qt::Alignment(Qt::AlignCenter));
    QCOMPARE(seen.spacing, 0);
    QVERIFY(seen.frameless);
    QVERIFY(seen.translucent);
    QVERIFY(seen.frameNamed);
    QCOMPARE(seen.titleBarHeight, 25);
}

void TestDialogs::leftAlignedEdition()
{
    Singleton<KVAppSetting>::getInstance()->m_nCompany = 27;
    Seen seen;
    BaseDialog::setModalHook([&](QDialog* d) { endWith(d, Way::Ok, &seen); });
    QCOMPARE(KVMessageBox::Show("x", "y", nullptr, MsgBoxButtonOk, MsgBoxIconWarning), 0);
    QCOMPARE(seen.alignment, Qt::AlignLeft | Qt::AlignVCenter);
    QCOMPARE(seen.spacing, 40);
}

void TestDialogs::languageEventRenewsButtons()
{
    KVMessageBox box("x", nullptr, MsgBoxButtonOkCancel, MsgBoxIconInformation);
    QCOMPARE(box.m_pBtnOk->text(), QStringLiteral("t4"));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.path() + "/de.xml", languageXml("de", 10)));
    QVERIFY(ReloadXmlLanguage(dir.path() + "/de.xml"));
    QCoreApplication::postEvent(&box, new QEvent(static_cast<QEvent::Type>(kLanguageChangedEvent)));
    QCoreApplication::sendPostedEvents(&box);
    QCOMPARE(box.m_pBtnOk->text(), QStringLiteral("de4"));
    QCOMPARE(box.m_pBtnCancel->text(), QStringLiteral("de5"));
    Singleton<KVAppSetting>::getInstance()->InitLanguage();
}

void TestDialogs::fileDialog_data()
{
    QTest::addColumn<int>("edition");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("ownLabels");
    QTest::newRow("edition 0, chosen") << 0 << true << false;
    QTest::newRow("edition 0, cancelled") << 0 << false << false;
    QTest::newRow("edition 19, chosen") << 19 << true << true;
}

void TestDialogs::fileDialog()
{
    QFETCH(int, edition);
    QFETCH(bool, accept);
    QFETCH(bool, ownLabels);
    Singleton<KVAppSetting>::getInstance()->m_nCompany = edition;
    QTemporaryDir dir;
    const QString file = dir.path() + "/firmware.bin";
    QVERIFY(writeFile(file, "x"));
    QStringList labels;
    BaseDialog::setModalHook([&](QDialog* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        if (!fd) {
            d->done(-99);
            return;
        }
        for (auto l : {QFileDialog::LookIn, QFileDialog::FileName, QFileDialog::FileType, QFileDialog::Accept,
                       QFileDialog::Reject})
            labels << fd->labelText(l);
        if (accept) {
            fd->selectFile(file);
            static_cast<QDialog*>(fd)->accept();  // as the Open button does
        } else {
            fd->reject();
        }
    });
    const QString got = BaseDialog::getSelectFileName(nullptr, "Firmware", dir.path(), "Firmware (*.bin)");
    QCOMPARE(got, accept ? file : QString());
    QCOMPARE(labels.size(), 5);
    if (ownLabels)
        QCOMPARE(labels, (QStringList{"t128", "t129", "t130", "t131", "t132"}));
    else
        QVERIFY(!labels.contains("t128"));
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
