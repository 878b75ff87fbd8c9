// Settings and editions: what config.xml and the edition code make of the settings,
// how the language choice is written back, and who hears about a switch.
#include <QCoreApplication>
#include <QtTest>

#include "Edition.h"
#include "apptest.h"

using namespace apptest;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void editions_data();
    void editions();
    void missingConfigFallsBackToEnglish();
    void damagedConfigKeepsWhatWasRead();
    void laterCurselWins();
    void variantBytes();
    void saveToXml_data();
    void saveToXml();
    void saveToXmlMissingFileCreatesNothing();
    void reloadLanguage();
    void reloadLanguageWithUnreadableFileKeepsChoice();
    void windowRegistration();
};

void TestSettings::editions_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("edition");
    QTest::addColumn<QString>("cursel");  // null: no cursel element
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("qtFile");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QList<int>>("nameIds");

    const QStringList enuChs{"ENU.xml", "CHS.xml"};
    QTest::newRow("13: Chinese first, English chosen") << enuChs << 13 << "0" << QStringList{"CHS.xml", "ENU.xml"}
                                                       << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("13: cursel names no entry") << enuChs << 13 << "5" << QStringList{"CHS.xml", "ENU.xml"}
                                               << "CHS.xml" << "/qt_zh_CN.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("13: no cursel") << enuChs << 13 << QString() << QStringList{"CHS.xml", "ENU.xml"} << "CHS.xml"
                                   << "/qt_zh_CN.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("13: cursel not a number, 0") << enuChs << 13 << "x1" << QStringList{"CHS.xml", "ENU.xml"}
                                             << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("13: negative cursel") << enuChs << 13 << "-1" << QStringList{"CHS.xml", "ENU.xml"} << "CHS.xml"
                                         << "/qt_zh_CN.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("22 as 13") << enuChs << 22 << "1" << QStringList{"CHS.xml", "ENU.xml"} << "CHS.xml"
                              << "/qt_zh_CN.qm" << "quoll" << QList<int>{89, 93};
    QTest::newRow("4: Russian password") << QStringList{"RUS_E4.xml", "ENU.xml"} << 4 << "0"
                                         << QStringList{"RUS_E4.xml", "ENU.xml"} << "RUS_E4.xml" << "/qt_ru.qm"
                                         << "90517236" << QList<int>{91, 89};
    QTest::newRow("5 keeps the password") << QStringList{"RUS_E5.xml", "ENU.xml"} << 5 << "1"
                                          << QStringList{"RUS_E5.xml", "ENU.xml"} << "ENU.xml" << "/qt_en.qm"
                                          << "quoll" << QList<int>{91, 89};
    QTest::newRow("8: own password") << QStringList{"ENU.xml", "ENU_E8.xml"} << 8 << "1"
                                     << QStringList{"ENU_E8.xml"} << "ENU_E8.xml" << "/qt_en.qm" << "480296"
                                     << QList<int>{89, 89};
    QTest::newRow("1: traditional Chinese") << QStringList{"CHT.xml"} << 1 << "0" << QStringList{"CHT.xml"}
                                            << "CHT.xml" << "/qt_zh_TW.qm" << "quoll" << QList<int>{92};
    QTest::newRow("2: German") << QStringList{"ENU.xml", "GER.xml"} << 2 << "0" << QStringList{"GER.xml"}
                               << "GER.xml" << "/qt_de.qm" << "quoll" << QList<int>{89, 90};
    QTest::newRow("18: Korean chosen") << QStringList{"ENU.xml", "KOR_E18.xml"} << 18 << "1"
                                       << QStringList{"KOR_E18.xml", "ENU.xml"} << "KOR_E18.xml" << "/qt_ko.qm"
                                       << "quoll" << QList<int>{89, 94};
    QTest::newRow("19: KR file") << QStringList{"KR_E19.xml"} << 19 << "0" << QStringList{"KR_E19.xml"}
                                 << "KR_E19.xml" << "/qt_ko.qm" << "quoll" << QList<int>{94};
    QTest::newRow("23: Turkish, English Qt file") << QStringList{"TUR_E23.xml"} << 23 << "0"
                                                  << QStringList{"TUR_E23.xml"} << "TUR_E23.xml" << "/qt_en.qm"
                                                  << "quoll" << QList<int>{135};
    QTest::newRow("29: Russian and English") << QStringList{"ENU.xml", "RUS_E29.xml"} << 29 << "1"
                                             << QStringList{"RUS_E29.xml", "ENU.xml"} << "RUS_E29.xml"
                                             << "/qt_ru.qm" << "quoll" << QList<int>{89, 91};
    QTest::newRow("27: English") << QStringList{"CHS.xml", "ENU.xml"} << 27 << "1" << QStringList{"ENU.xml"}
                                 << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{93, 89};
    QTest::newRow("above the table") << QStringList{"ENU.xml"} << 31 << "0" << QStringList{"ENU.xml"} << "ENU.xml"
                                     << "/qt_en.qm" << "quoll" << QList<int>{89};
    QTest::newRow("negative edition") << QStringList{"ENU.xml"} << -3 << "0" << QStringList{"ENU.xml"}
                                      << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{89};
    // Offered files that config.xml does not list are skipped, never indexed.
    QTest::newRow("13 without CHS listed") << QStringList{"ENU.xml"} << 13 << "0" << QStringList{"ENU.xml"}
                                           << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{89};
    QTest::newRow("0 with only German listed") << QStringList{"GER.xml"} << 0 << "0" << QStringList{"ENU.xml"}
                                               << "ENU.xml" << "/qt_en.qm" << "quoll" << QList<int>{90, 89};
    QTest::newRow("unknown name counts as English") << QStringList{"XYZ.xml", "ENU.xml"} << 0 << "1"
                                                    << QStringList{"ENU.xml"} << "ENU.xml" << "/qt_en.qm"
                                                    << "quoll" << QList<int>{89, 89};
}

void TestSettings::editions()
{
    QFETCH(QStringList, names);
    QFETCH(int, edition);
    QFETCH(QString, cursel);
    AppFolder app;
    QByteArray cur = cursel.toUtf8();
    QVERIFY(app.setConfig(configXml(names, edition, cursel.isNull() ? nullptr : cur.constData())));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();

    QFETCH(QStringList, offered);
    QStringList got;
    for (int pos : s.m_vecLanguage) {
        QVERIFY(pos >= 0 && pos < s.m_listLanguageFile.size());
        got << s.m_listLanguageFile.at(pos);
    }
    QCOMPARE(got, offered);
    QFETCH(QString, current);
    QCOMPARE(s.CurrentLanguageFile(), current);
    QFETCH(QString, qtFile);
    QCOMPARE(s.m_strQtTranslation, qtFile);
    QFETCH(QString, password);
    QCOMPARE(s.m_strDefaultPassword, password);
    QCOMPARE(s.m_strDefaultUser, QStringLiteral("quoll"));
    QCOMPARE(s.m_nCompany, edition);
    QCOMPARE(s.m_strVersion, QStringLiteral("2.4.1"));
    QFETCH(QList<int>, nameIds);
    QCOMPARE(QList<int>(s.m_vecLanguageName.begin(), s.m_vecLanguageName.end()), nameIds);
}

void TestSettings::missingConfigFallsBackToEnglish()
{
    AppFolder app;
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QCOMPARE(s.m_nCompany, 0);
    QCOMPARE(s.CurrentLanguageFile(), QStringLiteral("ENU.xml"));
    QCOMPARE(s.m_vecLanguage.size(), size_t(1));
    QCOMPARE(s.m_strQtTranslation, QStringLiteral("/qt_en.qm"));
    QVERIFY(!s.SaveToXml());  // nothing to write into
    QVERIFY(!QFile::exists(app.config()));
    QVERIFY(!s.ReloadLanguage(1));
}

void TestSettings::damagedConfigKeepsWhatWasRead()
{
    AppFolder app;
    QVERIFY(app.setConfig("<config><L cursel=\"1\"/><F name=\"CHS.xml\"/><F name=\"ENU.xml\"/>"
                          "<Company>13</Company><Version>9</Ver"));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QCOMPARE(s.m_nCompany, 13);
    QCOMPARE(s.CurrentLanguageFile(), QStringLiteral("ENU.xml"));
}

void TestSettings::laterCurselWins()
{
    AppFolder app;
    QVERIFY(app.setConfig("<config><a cursel=\"0\"/><F name=\"CHS.xml\"/><F name=\"ENU.xml\"/>"
                          "<b cursel=\"1\" name=\"ignored.xml\"/><Company> 13 </Company></config>"));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QCOMPARE(s.m_listLanguageFile, (QStringList{"CHS.xml", "ENU.xml"}));  // cursel beats name
    QCOMPARE(s.m_nCompany, 13);
    QCOMPARE(s.CurrentLanguageFile(), QStringLiteral("ENU.xml"));
}

void TestSettings::variantBytes()
{
    struct {
        int edition, search, login;
    } const rows[] = {{0, 0, 0},  {1, 3, 3},  {8, 2, 2},  {9, 4, 4},   {11, 6, 6}, {20, 7, 7}, {21, 4, 4},
                      {24, 1, 1}, {25, 0, 5}, {28, 8, 8}, {13, 0, 0},  {-1, 0, 0}, {99, 0, 0}};
    for (const auto& r : rows) {
        QCOMPARE(Edition::SearchVariant(r.edition), r.search);
        QCOMPARE(Edition::LoginVariant(r.edition), r.login);
    }
}

// (file before, offered languages, new current index, file after). Each file lists
// the names in the order given by `names` below.
void TestSettings::saveToXml_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("edition");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QByteArray>("after");

    // Eleven names: positions 0..10, so "10" and "2" test a shrinking number.
    QByteArray names;
    const char* const files[] = {"CHS.xml", "A.xml", "ENU.xml", "B.xml", "C.xml", "D.xml",
                                 "E.xml",   "F.xml", "G.xml",   "H.xml", "I.xml"};
    for (const char* f : files)
        names += QByteArray("<F name=\"") + f + "\"/>";
    auto doc = [&](const QByteArray& head, const QByteArray& tail = QByteArray()) {
        return QByteArray("<?xml version=\"1.0\"?>\n") + head + "<c>" + names + "<Company>13</Company>" + tail +
               "</c>\n";
    };
    // Edition 13 offers CHS.xml (position 0) and ENU.xml (position 2).
    QTest::newRow("plain") << doc("<!-- a -->", "<L cursel=\"0\"/>") << 13 << 1 << true
                           << doc("<!-- a -->", "<L cursel=\"2\"/>");
    // Entries at ten and more: a shorter number leaves no stale digit behind.
    QByteArray tenNames = names;
    tenNames.replace("I.xml", "CHS.xml").replace("<F name=\"CHS.xml\"/><F name=\"A.xml\"/>",
                                                 "<F name=\"Z.xml\"/><F name=\"A.xml\"/>");
    QByteArray ten = QByteArray("<c>") + tenNames + "<L cursel=\"10\"/><Company>13</Company></c>";
    QByteArray tenAfter = QByteArray("<c>") + tenNames + "<L cursel=\"2\"/><Company>13</Company></c>";
    QTest::newRow("10 to 2") << ten << 13 << 1 << true << tenAfter;
    QTest::newRow("comment holds the word first")
        << doc("<!-- cursel=\"7\" was the old way -->", "<L cursel=\"0\"/>") << 13 << 1 << true
        << doc("<!-- cursel=\"7\" was the old way -->", "<L cursel=\"2\"/>");
    QTest::newRow("another attribute's value holds it")
        << doc("", "<L note='cursel=\"5\"' cursel=\"0\"/>") << 13 << 1 << true
        << doc("", "<L note='cursel=\"5\"' cursel=\"2\"/>");
    QTest::newRow("single quotes and spaces") << doc("", "<L cursel = '0' />") << 13 << 1 << true
                                              << doc("", "<L cursel = '2' />");
    QTest::newRow("empty value") << doc("", "<L cursel=\"\"/>") << 13 << 1 << true << doc("", "<L cursel=\"2\"/>");
    QTest::newRow("text before is not ASCII")
        << doc("<!-- 语言 Sprache -->", "<T>Größe</T><L cursel=\"0\"/>") << 13 << 1 << true
        << doc("<!-- 语言 Sprache -->", "<T>Größe</T><L cursel=\"2\"/>");
    QTest::newRow("last of two is the one read") << doc("", "<L cursel=\"2\"/><M cursel=\"0\"/>") << 13 << 1
                                                 << true << doc("", "<L cursel=\"2\"/><M cursel=\"2\"/>");
    QTest::newRow("element named cursel is no attribute") << doc("", "<cursel>0</cursel>") << 13 << 1 << false
                                                          << doc("", "<cursel>0</cursel>");
    QByteArray broken = doc("", "<L cursel=\"0\"/>");
    broken.chop(6);
    QTest::newRow("damaged file left alone") << broken << 13 << 1 << false << broken;
    // Read as far as the damage (the cursel before it counts), but never rewritten.
    QByteArray latin1 = QByteArray("<c>") + names + "<Company>13</Company><L cursel=\"0\"/><!-- Gr\xf6\xdf" "e --></c>";
    QTest::newRow("not UTF-8 left alone") << latin1 << 13 << 0 << false << latin1;
}

void TestSettings::saveToXml()
{
    QFETCH(QByteArray, before);
    QFETCH(int, index);
    QFETCH(bool, written);
    QFETCH(QByteArray, after);
    AppFolder app;
    QVERIFY(app.setConfig(before));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QVERIFY(static_cast<size_t>(index) < s.m_vecLanguage.size());
    s.m_nCurLanguage = index;
    QCOMPARE(s.SaveToXml(), written);
    QCOMPARE(readFile(app.config()), after);
    // No leftovers of the atomic write beside the file.
    QCOMPARE(QDir(app.path()).entryList(QDir::Files), QStringList{"config.xml"});
}

void TestSettings::saveToXmlMissingFileCreatesNothing()
{
    AppFolder app;
    QVERIFY(app.setConfig(configXml({"CHS.xml", "ENU.xml"}, 13, "0")));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QVERIFY(QFile::remove(app.config()));
    QVERIFY(!s.SaveToXml());
    QVERIFY(!QFile::exists(app.config()));
}

void TestSettings::reloadLanguage()
{
    AppFolder app;
    QVERIFY(app.setConfig(configXml({"ENU.xml", "CHS.xml"}, 13, "0")));
    QVERIFY(app.addLanguage("ENU.xml", languageXml("en", 3)));
    QVERIFY(app.addLanguage("CHS.xml", languageXml("zh", 3)));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QVERIFY(s.InitLanguage());
    QCOMPARE(LoadStringFromID(2), QStringLiteral("en2"));
    EventCounter a, b;
    s.PushWindowObject(&a);
    s.PushWindowObject(&b);
    const QByteArray untouched = readFile(app.config());

    struct Step {
        int index;
        bool changed;
        int events;  // delivered to each window
        const char* text2;
        const char* cursel;  // in the file afterwards
    } const steps[] = {
        {1, false, 1, "en2", "0"},   // already current: texts renewed, file untouched
        {2, false, 0, "en2", "0"},   // beyond the menu: nothing at all
        {-1, false, 0, "en2", "0"},  // negative: nothing at all
        {0, true, 1, "zh2", "1"},    // Chinese: read, saved, told
        {1, true, 1, "en2", "0"},
    };
    for (const Step& st : steps) {
        a.count = b.count = 0;
        QCOMPARE(s.ReloadLanguage(st.index), st.changed);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(a.count, st.events);
        QCOMPARE(b.count, st.events);
        QCOMPARE(LoadStringFromID(2), QString::fromLatin1(st.text2));
        QVERIFY(readFile(app.config()).contains(QByteArray("cursel=\"") + st.cursel + "\""));
        if (!st.changed)
            QCOMPARE(readFile(app.config()), untouched);
    }
    UnInitXmlLanguage();
}

void TestSettings::reloadLanguageWithUnreadableFileKeepsChoice()
{
    AppFolder app;
    QVERIFY(app.setConfig(configXml({"ENU.xml", "CHS.xml"}, 13, "0")));
    QVERIFY(app.addLanguage("ENU.xml", languageXml("en", 3)));
    KVAppSetting s;
    s.SetAppDir(app.path());
    s.LoadConfig();
    QVERIFY(s.InitLanguage());
    const QByteArray before = readFile(app.config());
    QVERIFY(!s.ReloadLanguage(0));  // CHS.xml missing
    QCOMPARE(s.CurrentLanguageFile(), QStringLiteral("ENU.xml"));
    QCOMPARE(LoadStringFromID(1), QStringLiteral("en1"));
    QCOMPARE(readFile(app.config()), before);
    QVERIFY(app.addLanguage("CHS.xml", "<l><string>zh0</string><string>zh1<b/></string></l>"));  // damaged
    QVERIFY(!s.ReloadLanguage(0));
    QCOMPARE(LoadStringFromID(1), QStringLiteral("en1"));
    QCOMPARE(readFile(app.config()), before);
    UnInitXmlLanguage();
}

void TestSettings::windowRegistration()
{
    KVAppSetting s;
    auto* gone = new EventCounter;
    EventCounter a, b;
    s.PushWindowObject(&a);
    s.PushWindowObject(&a);  // kept once
    s.PushWindowObject(gone);
    s.PushWindowObject(&b);
    QCOMPARE(s.m_vecWindowObject.size(), size_t(3));
    delete gone;  // destroyed without unregistering: must not be posted to
    s.m_vecLanguage = {0};
    s.ReloadLanguage(0);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(a.count, 1);
    QCOMPARE(b.count, 1);
    s.PopWindowObject(&a);
    s.PopWindowObject(&a);  // not registered any more: nothing changes
    s.ReloadLanguage(0);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(a.count, 1);
    QCOMPARE(b.count, 2);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
