// LineEdit: typing, pasting and dropping stay within the byte limit, in whole characters,
// and the cursor ends where the kept part of the edit ends.
#include <QApplication>
#include <QClipboard>
#include <QtTest>

#include "LineEdit.h"

namespace {
// Types each character as a key press carrying it as text (any script, unlike keyClicks).
void typeText(QWidget* w, const QString& text)
{
    for (uint cp : text.toUcs4()) {
        const QString ch = QString::fromUcs4(&cp, 1);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, ch);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, ch);
        QApplication::sendEvent(w, &press);
        QApplication::sendEvent(w, &release);
    }
}
}  // namespace

class TestLineEdit : public QObject {
    Q_OBJECT
private slots:
    void edits_data();
    void edits();
    void programmaticTextIsLeftAlone();
    void loweredLimitStillAllowsDeleting();
};

void TestLineEdit::edits_data()
{
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QString>("typed");   // typed key by key
    QTest::addColumn<QString>("pasted");  // then pasted with Ctrl+V
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("cursorAfter");

    const QString none;
    QTest::newRow("typing at the end of a full field") << 3 << "abc" << 3 << false << "d" << none << "abc" << 3;
    QTest::newRow("typing in the middle") << 3 << "abc" << 1 << false << "z" << none << "abc" << 1;
    QTest::newRow("typing a letter next to its twin") << 3 << "abc" << 1 << false << "b" << none << "abc" << 1;
    QTest::newRow("typing up to the limit") << 5 << "" << 0 << false << "abcdefg" << none << "abcde" << 5;
    QTest::newRow("paste cut to the room left") << 5 << "ab" << 2 << false << none << "cdefgh" << "abcde" << 5;
    QTest::newRow("paste in the middle") << 5 << "ab" << 1 << false << none << "XYZW" << "aXYZb" << 4;
    QTest::newRow("paste over a selection") << 6 << "abcdef" << 0 << true << none << "123456789" << "123456" << 6;
    QTest::newRow("two-byte letters") << 5 << "" << 0 << false << QString::fromUtf8("üüü") << none
                                      << QString::fromUtf8("üü") << 2;
    QTest::newRow("three-byte letters do not fit") << 4 << "ab" << 2 << false << none << QString::fromUtf8("中文")
                                                   << "ab" << 2;
    QTest::newRow("three-byte letters, one fits") << 5 << "ab" << 2 << false << none << QString::fromUtf8("中文")
                                                  << QString::fromUtf8("ab中") << 3;
    QTest::newRow("four-byte letter kept whole") << 5 << "a" << 1 << false << none << QString::fromUtf8("😀😀")
                                                 << QString::fromUtf8("a😀") << 3;
    QTest::newRow("four-byte letter, no room for it") << 4 << "a" << 1 << false << none << QString::fromUtf8("😀")
                                                      << "a" << 1;
    QTest::newRow("typing then pasting") << 6 << "" << 0 << false << "abcd" << "efgh" << "abcdef" << 6;
    QTest::newRow("a paste that fits is untouched") << 16 << "user" << 4 << false << none << "name"
                                                    << "username" << 8;
}

void TestLineEdit::edits()
{
    QFETCH(int, max);
    QFETCH(QString, start);
    QFETCH(int, cursor);
    QFETCH(bool, selectAll);
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    LineEdit edit(nullptr, max);
    edit.setText(start);
    edit.show();
    edit.setFocus();
    edit.setCursorPosition(cursor);
    if (selectAll)
        edit.selectAll();
    typeText(&edit, typed);
    if (!pasted.isNull()) {
        QApplication::clipboard()->setText(pasted);
        QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
    }
    QTEST(edit.text(), "result");
    QVERIFY(edit.text().toUtf8().size() <= max);
    QTEST(edit.cursorPosition(), "cursorAfter");
}

void TestLineEdit::programmaticTextIsLeftAlone()
{
    LineEdit edit(nullptr, 3);
    edit.setText("abcdef");  // the owner's own text is not a user edit
    QCOMPARE(edit.text(), QStringLiteral("abcdef"));
}

void TestLineEdit::loweredLimitStillAllowsDeleting()
{
    LineEdit edit(nullptr, 16);
    edit.setText("abcd");
    edit.m_nMaxLen = 2;
    edit.show();
    edit.setFocus();
    edit.setCursorPosition(4);
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QCOMPARE(edit.text(), QStringLiteral("abc"));
    typeText(&edit, "x");
    QCOMPARE(edit.text(), QStringLiteral("abc"));
}

QTEST_MAIN(TestLineEdit)
#include "tst_lineedit.moc"
