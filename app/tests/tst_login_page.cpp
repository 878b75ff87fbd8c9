// The login page and its configuration panel against the device simulator: login codes
// to status texts and the panel's state, the user records and default blocks the device
// receives, the reboot command (accepted, refused, unanswered), the Default page's
// offered options, events of replaced logins, and edition 8's repeated login.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <functional>

#include "device_config.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"
#include "dev_connection.h"
#include "login_frame.h"

using namespace devtest;
using kvreqtest::Received;

namespace {

QString T(int id) { return QStringLiteral("T%1").arg(id); }

// A user record as the simulator holds it, then changed by the page.
QByteArray userRecord(const QByteArray& name, const QByteArray& pwd)
{
    QByteArray r(272, '\0');
    r[0] = char(0x10);
    r[1] = char(0x01);
    r.replace(8, pwd.size(), pwd);
    r.replace(16, name.size(), name);
    r.replace(80, pwd.size(), pwd);
    r.replace(112, name.size(), name);
    return r;
}

void putField(QByteArray& r, int off, int width, const QByteArray& text)
{
    r.replace(off, width, QByteArray(width, '\0'));
    r.replace(off, qMin(width, text.size()), text.left(width));
}

struct Page {
    LoginFrame frame;
    Page() { frame.kvDevice()->setReloginDelay(1000); }
    DeviceConfig* cfg() { return frame.config(); }
    void fill(uint16_t port, const QString& user, const QString& pwd, const QString& portText = QString())
    {
        frame.findChild<QLineEdit*>("m_pEdtIP")->setText("127.0.0.1");
        frame.findChild<QLineEdit*>("m_pEdtPort")->setText(portText.isNull() ? QString::number(port) : portText);
        frame.findChild<QLineEdit*>("m_pEdtUsr")->setText(user);
        frame.findChild<QLineEdit*>("m_pEdtPwd")->setText(pwd);
    }
    bool login(uint16_t port, const QString& user = "admin", const QString& pwd = "admin123")
    {
        fill(port, user, pwd);
        frame.on_m_pBtnLogin_clicked();
        return waitFor([this] { return cfg()->status() == T(15); });
    }
};

} // namespace

class LoginPageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void loginCodes_data();
    void loginCodes();
    void passwordChange_data();
    void passwordChange();
    void passwordRefusals_data();
    void passwordRefusals();
    void restoreDefaults_data();
    void restoreDefaults();
    void rebootAwaitsTheAnswer_data();
    void rebootAwaitsTheAnswer();
    void offeredOptions_data();
    void offeredOptions();
    void showingThePage();
    void codesOfAStoppedLoginAreDropped();
    void edition8LoginsAgainPacedAndCapped();
};

void LoginPageTest::initTestCase()
{
    appFolder();
    KVNetInit();
    KVNetSetEncription(0);
    KVSessionTimings t;
    t.retryMs = 200;
    t.connectMs = 2000;
    kvnet_set_session_timings(t);
}

void LoginPageTest::init()
{
    appFolder(0);
}

void LoginPageTest::loginCodes_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("text");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("logged in (101)") << "admin" << "admin123" << QString() << 15 << true;
    QTest::newRow("wrong password (104)") << "admin" << "nope" << QString() << 18 << false;
    QTest::newRow("no such user (103)") << "ghost" << "admin123" << QString() << 16 << false;
    QTest::newRow("port not a number: port 0, code 2") << "admin" << "admin123" << "12ab" << 16 << false;
}

void LoginPageTest::loginCodes()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, portText);
    QFETCH(int, text);
    QFETCH(bool, enabled);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    Page p;
    p.fill(sim.tcp_port(), user, password, portText);
    p.frame.on_m_pBtnLogin_clicked();
    QVERIFY2(waitFor([&] { return p.cfg()->status() == T(text); }), qPrintable(p.cfg()->status()));
    QCOMPARE(p.cfg()->isEnabled(), enabled);
    if (!portText.isNull())
        QCOMPARE(p.frame.kvDevice()->port(), 0);
    QCOMPARE(p.frame.kvDevice()->lastCode() == 101, enabled);
}

void LoginPageTest::passwordChange_data()
{
    QTest::addColumn<QString>("loginUser");
    QTest::addColumn<QString>("loginPwd");
    QTest::addColumn<bool>("longLayout");
    QTest::addColumn<QString>("newPwd");
    QTest::addColumn<int>("changed");       // index of the record that changes
    QTest::addColumn<QByteArray>("pwdBytes"); // what its password field holds
    QTest::newRow("long layout, 32 characters fill the field, no terminator")
        << "admin" << "admin123" << true << QString(32, QChar('p')) << 0 << QByteArray(32, 'p');
    QTest::newRow("short layout, 4 characters then zeros")
        << "admin" << "admin123" << false << "abcd" << 0 << QByteArray("abcd");
    QTest::newRow("the login user's record, not the first")
        << "guest" << "admin123" << true << "newguest" << 1 << QByteArray("newguest");
    // 6 ASCII then a two-byte character: exactly the 8 bytes of the short field.
    QTest::newRow("short layout, 8 bytes fill the field")
        << "admin" << "admin123" << false << QString::fromUtf8("abcdef\xc3\xa9") << 0 << QByteArray("abcdef\xc3\xa9");
    QTest::newRow("UTF-8 as the login sends it")
        << "admin" << "admin123" << true << QString::fromUtf8("p\xc3\xa4ss") << 0 << QByteArray("p\xc3\xa4ss");
}

void LoginPageTest::passwordChange()
{
    QFETCH(QString, loginUser);
    QFETCH(QString, loginPwd);
    QFETCH(bool, longLayout);
    QFETCH(QString, newPwd);
    QFETCH(int, changed);
    QFETCH(QByteArray, pwdBytes);
    kvtest::SimProcess sim;
    std::vector<std::string> sc = {"user=" + loginUser.toStdString()};
    if (!longLayout)
        sc.push_back("login-byte=228:0");
    QVERIFY(startSim(sim, sc));
    Page p;
    QVERIFY(p.login(sim.tcp_port(), loginUser, loginPwd));
    p.cfg()->OnUserPage();
    p.cfg()->userPage()->newPassword()->setText(newPwd);
    p.cfg()->userPage()->confirmPassword()->setText(newPwd);
    p.cfg()->OnSet();
    QCOMPARE(p.cfg()->status(), T(77));

    QList<QByteArray> want = {userRecord("admin", "admin1"), userRecord("guest", "guest1")};
    QByteArray& r = want[changed];
    const int pwdOff = longLayout ? 80 : 8, nameOff = longLayout ? 112 : 16, width = longLayout ? 32 : 8;
    putField(r, pwdOff, width, pwdBytes);
    putField(r, nameOff, width, loginUser.toUtf8());
    r[34] = 1;
    const auto s = sets(sim);
    QCOMPARE(int(s.size()), 1);
    QCOMPARE(s[0].first, 505u);
    const QByteArray body = s[0].second;
    QVERIFY2(body.contains(want[0]), body.toHex().constData());
    QVERIFY2(body.contains(want[1]), body.toHex().constData());
    // Exactly the two records and their framing, nothing more.
    QVERIFY(body.size() <= 2 * 272 + 32);
}

void LoginPageTest::passwordRefusals_data()
{
    QTest::addColumn<QString>("newPwd");
    QTest::addColumn<QString>("confirm");
    QTest::addColumn<QString>("loginUser");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("text");
    QTest::addColumn<int>("queries");
    QTest::newRow("empty new password") << "" << "" << "admin" << "" << 80 << 0;
    QTest::newRow("confirmation differs") << "abc" << "abd" << "admin" << "" << 81 << 0;
    QTest::newRow("login user not in the list") << "abc" << "abc" << "root" << "" << 78 << 1;
    QTest::newRow("empty user list") << "abc" << "abc" << "admin" << "param-list=505:0:272" << 78 << 1;
    QTest::newRow("query answered no right") << "abc" << "abc" << "admin" << "param-ack=505:50" << 78 << 1;
    // A password that does not fit the device's field is refused, never cut: the cut
    // one would be a password nobody typed.
    QTest::newRow("long layout, 33 bytes") << QString(33, 'p') << QString(33, 'p') << "admin" << "" << 150 << 0;
    QTest::newRow("short layout, 9 bytes")
        << "abcdefghi" << "abcdefghi" << "admin" << "login-byte=228:0" << 150 << 0;
    QTest::newRow("short layout, 7 characters in 9 bytes")
        << QString::fromUtf8("abcde\xc3\xa9\xc3\xa9") << QString::fromUtf8("abcde\xc3\xa9\xc3\xa9") << "admin"
        << "login-byte=228:0" << 150 << 0;
}

void LoginPageTest::passwordRefusals()
{
    QFETCH(QString, newPwd);
    QFETCH(QString, confirm);
    QFETCH(QString, loginUser);
    QFETCH(QString, scenario);
    QFETCH(int, text);
    QFETCH(int, queries);
    kvtest::SimProcess sim;
    std::vector<std::string> sc = {"user=" + loginUser.toStdString()};
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    Page p;
    QVERIFY(p.login(sim.tcp_port(), loginUser));
    p.cfg()->OnUserPage();
    p.cfg()->userPage()->newPassword()->setText(newPwd);
    p.cfg()->userPage()->confirmPassword()->setText(confirm);
    p.cfg()->OnSet();
    QCOMPARE(p.cfg()->status(), T(text));
    QCOMPARE(int(Received(sim, 211).size()), queries);
    QCOMPARE(int(sets(sim).size()), 0);
}

void LoginPageTest::restoreDefaults_data()
{
    QTest::addColumn<QString>("boxes");    // letters: d r n a v s A i
    QTest::addColumn<int>("byte5");
    QTest::addColumn<int>("choice");       // 2: m_pChkNetWork_2, 3: m_pChkNetWork_3
    QTest::addColumn<QString>("ack");
    QTest::addColumn<int>("text");
    QTest::addColumn<QByteArray>("block");
    // Byte 416 with bit 3 makes Intel offered in every row.
    QTest::newRow("Intel and NetWork, choice 2") << "ni" << 0x44 << 2 << "" << 77
                                                 << QByteArray::fromHex("0c000000000002000000 0001");
    QTest::newRow("NetWork, choice 3") << "n" << 0x44 << 3 << "" << 77
                                       << QByteArray::fromHex("0c000000000001000000 0000");
    QTest::newRow("no choice offered: the box") << "n" << 0x46 << 2 << "" << 77
                                                << QByteArray::fromHex("0c000000000001000000 0000");
    QTest::newRow("all but NetWork") << "dravsAi" << 0x44 << 2 << "" << 77
                                     << QByteArray::fromHex("0c000000010100010101 0101");
    QTest::newRow("NetWork unchecked: byte 0") << "d" << 0x44 << 2 << "" << 77
                                               << QByteArray::fromHex("0c000000010000000000 0000");
    QTest::newRow("no right is a failure") << "d" << 0x44 << 2 << "param-ack=521:50" << 78
                                           << QByteArray::fromHex("0c000000010000000000 0000");
    QTest::newRow("nothing chosen") << "" << 0x44 << 2 << "" << 82 << QByteArray();
}

void LoginPageTest::restoreDefaults()
{
    QFETCH(QString, boxes);
    QFETCH(int, byte5);
    QFETCH(int, choice);
    QFETCH(QString, ack);
    QFETCH(int, text);
    QFETCH(QByteArray, block);
    kvtest::SimProcess sim;
    std::vector<std::string> sc = {"login-byte=5:" + std::to_string(byte5), "login-byte=416:8",
                                   "login-byte=234:0x30"};
    if (!ack.isEmpty())
        sc.push_back(ack.toStdString());
    QVERIFY(startSim(sim, sc));
    Page p;
    QVERIFY(p.login(sim.tcp_port()));
    p.cfg()->OnDefaultPage();
    DefaultPage* d = p.cfg()->defaultPage();
    const std::pair<QChar, QCheckBox*> map[] = {{'d', d->m_pChkDisplay}, {'r', d->m_pChkRecord},
        {'n', d->m_pChkNetWork}, {'a', d->m_pChkAlarm}, {'v', d->m_pChkDevice}, {'s', d->m_pChkSystem},
        {'A', d->m_pChkAdvanced}, {'i', d->m_pChkIntel}};
    for (const auto& m : map)
        if (m.second->isChecked() != boxes.contains(m.first))
            QTest::mouseClick(m.second, Qt::LeftButton, {}, QPoint(5, m.second->height() / 2));
    (choice == 2 ? d->m_pChkNetWork_2 : d->m_pChkNetWork_3)->setChecked(true);
    QCOMPARE(d->networkChoiceOffered(), boxes.contains('n') && (byte5 & 0x0F) == 4);
    p.cfg()->OnSet();
    QCOMPARE(p.cfg()->status(), T(text));
    const auto s = sets(sim);
    if (block.isEmpty()) {
        QCOMPARE(int(s.size()), 0);
        return;
    }
    QCOMPARE(int(s.size()), 1);
    QCOMPARE(s[0].first, 521u);
    QVERIFY2(s[0].second.endsWith(block), s[0].second.toHex().constData());
}

void LoginPageTest::rebootAwaitsTheAnswer_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("waitMs"); // how long the page waits for the answer
    QTest::addColumn<int>("text");
    QTest::newRow("device answers") << "" << 20000 << 75;
    QTest::newRow("device accepts, empty answer") << "reboot-refuse=0" << 20000 << 75;
    QTest::newRow("device refuses (AckFlag 1)") << "reboot-refuse=1" << 20000 << 76;
    QTest::newRow("device refuses (no right, 50)") << "reboot-refuse=50" << 20000 << 76;
    QTest::newRow("every remote test refused (AckFlag 7)") << "remote-ack=7" << 20000 << 76;
    QTest::newRow("device never answers") << "remote-silent" << 600 << 76;
}

void LoginPageTest::rebootAwaitsTheAnswer()
{
    QFETCH(QString, scenario);
    QFETCH(int, waitMs);
    QFETCH(int, text);
    kvtest::SimProcess sim;
    std::vector<std::string> sc;
    if (!scenario.isEmpty())
        sc.push_back(scenario.toStdString());
    QVERIFY(startSim(sim, sc));
    Page p;
    QVERIFY(p.login(sim.tcp_port()));
    p.cfg()->rebootPage()->setAnswerTimeoutMs(unsigned(waitMs));
    // The page's own button, which asks for no confirmation.
    QTest::mouseClick(p.cfg()->rebootPage()->button(), Qt::LeftButton);
    QCOMPARE(p.cfg()->status(), T(text));
    QVERIFY(waitFor([&] { return !Received(sim, 303).empty(); }));
    QCOMPARE(int(Received(sim, 303).size()), 1);
}

void LoginPageTest::offeredOptions_data()
{
    QTest::addColumn<int>("edition");
    QTest::addColumn<int>("byte234");
    QTest::addColumn<int>("byte416");
    QTest::addColumn<bool>("advanced");
    QTest::addColumn<bool>("intel");
    QTest::newRow("'2' in edition 12: Advanced kept") << 12 << int('2') << 8 << true << false;
    QTest::newRow("'2' in edition 1: both withdrawn") << 1 << int('2') << 8 << false << false;
    QTest::newRow("'4' in edition 0") << 0 << int('4') << 8 << false << false;
    QTest::newRow("other kind, Intel bit") << 0 << int('1') << 8 << true << true;
    QTest::newRow("other kind, no Intel bit") << 0 << int('1') << 0 << true << false;
}

void LoginPageTest::offeredOptions()
{
    QFETCH(int, edition);
    QFETCH(int, byte234);
    QFETCH(int, byte416);
    QFETCH(bool, advanced);
    QFETCH(bool, intel);
    appFolder(edition);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"login-byte=234:" + std::to_string(byte234), "login-byte=416:" + std::to_string(byte416)}));
    Page p;
    DefaultPage* d = p.cfg()->defaultPage();
    d->m_pChkAdvanced->setChecked(true);
    d->m_pChkIntel->setChecked(true);
    QVERIFY(p.login(sim.tcp_port()));
    QCOMPARE(!d->m_pChkAdvanced->isHidden(), advanced);
    QCOMPARE(!d->m_pChkIntel->isHidden(), intel);
    // A withdrawn box is never sent checked; an offered Advanced keeps its state.
    QCOMPARE(d->m_pChkAdvanced->isChecked(), advanced);
    QCOMPARE(d->m_pChkIntel->isChecked(), intel);
}

void LoginPageTest::showingThePage()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    Page p;
    p.frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&p.frame));
    // Not logged in: disabled, back on the Reboot page.
    p.cfg()->OnDefaultPage();
    p.cfg()->hide();
    p.cfg()->show();
    QVERIFY(!p.cfg()->isEnabled());
    QCOMPARE(p.cfg()->currentIndex(), 0);
    QVERIFY(p.cfg()->setButton()->isHidden());
    QVERIFY(p.cfg()->rebootButton()->isChecked());

    QVERIFY(p.login(sim.tcp_port()));
    QVERIFY(p.cfg()->isEnabled());
    p.frame.hide();
    p.frame.show();
    QCOMPARE(p.cfg()->status(), T(15)); // unchanged edits keep the line
    p.frame.hide();
    p.frame.findChild<QLineEdit*>("m_pEdtPwd")->setText("other");
    p.frame.show();
    QCOMPARE(p.cfg()->status(), QString());
}

void LoginPageTest::codesOfAStoppedLoginAreDropped()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    Page p;
    p.fill(sim.tcp_port(), "admin", "admin123");
    p.frame.on_m_pBtnLogin_clicked();
    // Let the session log in without handling its events, then replace it.
    QTest::qSleep(1500);
    p.frame.kvDevice()->Logout();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QTest::qWait(100);
    QCOMPARE(p.cfg()->status(), QString());
    QCOMPARE(p.frame.kvDevice()->lastCode(), 3);
}

void LoginPageTest::edition8LoginsAgainPacedAndCapped()
{
    appFolder(8);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    Page p;
    // The default pause is at least a second.
    QElapsedTimer t;
    t.start();
    p.fill(sim.tcp_port(), "admin", "wrong");
    p.frame.on_m_pBtnLogin_clicked();
    QVERIFY(waitFor([&] { return p.frame.kvDevice()->reloginCount() == 1; }));
    QVERIFY(t.elapsed() >= 1000);
    QCOMPARE(p.frame.kvDevice()->password(), QStringLiteral("wrong")); // same values again
    p.frame.kvDevice()->setReloginDelay(20);
    QVERIFY(waitFor([&] { return p.frame.kvDevice()->reloginCount() == KVDevice::kMaxRelogins; }));
    QVERIFY(waitFor([&] { return p.cfg()->status() == T(18); }));
    QTest::qWait(500);
    QCOMPARE(p.frame.kvDevice()->reloginCount(), KVDevice::kMaxRelogins);
    QVERIFY(!p.cfg()->isEnabled());
}

QTEST_MAIN(LoginPageTest)
#include "tst_login_page.moc"
