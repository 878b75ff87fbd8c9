// Text catalogue: which texts a language file yields at which ID, and what a missing or
// damaged file leaves behind.
#include <QtTest>

#include "apptest.h"

using namespace apptest;

class TestCatalogue : public QObject {
    Q_OBJECT
private slots:
    void reader_data();
    void reader();
    void missingFileKeepsTexts();
    void globalCatalogueLifecycle();
};

void TestCatalogue::reader_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("flat") << QByteArray("<l><string>a</string><string>b</string></l>") << true
                          << QStringList{"a", "b"};
    QTest::newRow("nested in document order")
        << QByteArray("<l><string>a</string><g><h><string>b</string></h></g><string>c</string></l>") << true
        << QStringList{"a", "b", "c"};
    QTest::newRow("empty and self-closing") << QByteArray("<l><string></string><string/><string>x</string></l>")
                                            << true << QStringList{"", "", "x"};
    QTest::newRow("other elements and attributes ignored")
        << QByteArray("<l v=\"1\"><name>n</name><string id=\"9\">a</string><strings>s</strings>"
                      "<String>S</String><string>b</string></l>")
        << true << QStringList{"a", "b"};
    QTest::newRow("entities, CDATA, line breaks, CJK")
        << QByteArray("<l><string>a &amp; b &lt;c&gt;</string><string><![CDATA[<x>]]></string>"
                      "<string>one\ntwo</string><string>\xe8\xae\xbe\xe5\xa4\x87</string></l>")
        << true << QStringList{"a & b <c>", "<x>", "one\ntwo", QString::fromUtf8("设备")};
    QTest::newRow("child element ends the reading")
        << QByteArray("<l><string>a</string><string>b<i>c</i></string><string>d</string></l>") << false
        << QStringList{"a"};
    QTest::newRow("malformed after two texts")
        << QByteArray("<l><string>a</string><string>b</string><string>c</strin></l>") << false
        << QStringList{"a", "b"};
    QTest::newRow("truncated") << QByteArray("<l><string>a</string><string>b") << false << QStringList{"a"};
    QTest::newRow("not XML") << QByteArray("\x00\x01garbage", 9) << false << QStringList{};
    QTest::newRow("empty file") << QByteArray() << false << QStringList{};
    QTest::newRow("no strings") << QByteArray("<l/>") << true << QStringList{};
}

void TestCatalogue::reader()
{
    QFETCH(QByteArray, xml);
    QFETCH(bool, whole);
    QFETCH(QStringList, texts);
    QTemporaryDir dir;
    const QString path = dir.path() + "/L.xml";
    QVERIFY(writeFile(path, xml));
    CXmlLanguage cat;
    cat.m_listString = QStringList{"old"};
    QCOMPARE(cat.ReadXml(path), whole);
    QCOMPARE(cat.m_listString, texts);
    QCOMPARE(cat.m_nCount, texts.size());
    for (int i = 0; i < texts.size(); ++i)
        QCOMPARE(cat.LoadStringFromID(i), texts.at(i));
    for (int id : {-1, int(texts.size()), int(texts.size()) + 1, 1 << 30})
        QVERIFY(cat.LoadStringFromID(id).isEmpty());
}

void TestCatalogue::missingFileKeepsTexts()
{
    CXmlLanguage cat;
    cat.m_listString = QStringList{"a", "b"};
    cat.m_nCount = 2;
    QVERIFY(!cat.ReadXml("/nonexistent/dir/L.xml"));
    QCOMPARE(cat.m_listString, (QStringList{"a", "b"}));
    QCOMPARE(cat.m_nCount, 2);
}

void TestCatalogue::globalCatalogueLifecycle()
{
    QTemporaryDir dir;
    const QString en = dir.path() + "/en.xml", de = dir.path() + "/de.xml", bad = dir.path() + "/bad.xml";
    QVERIFY(writeFile(en, languageXml("en", 4)));
    QVERIFY(writeFile(de, languageXml("de", 2)));
    QVERIFY(writeFile(bad, "<l><string>x</string><string>y"));

    QVERIFY(LoadStringFromID(0).isEmpty());  // no catalogue yet
    // Missing at start: an empty catalogue, every lookup empty.
    QVERIFY(!InitXmlLanguage(dir.path() + "/missing.xml"));
    QVERIFY(LoadStringFromID(0).isEmpty());
    QVERIFY(InitXmlLanguage(en));
    QCOMPARE(LoadStringFromID(3), QStringLiteral("en3"));

    struct {
        QString path;
        bool read;
        QStringList ids0to3;
    } const reloads[] = {
        {dir.path() + "/missing.xml", false, {"en0", "en1", "en2", "en3"}},
        {bad, false, {"en0", "en1", "en2", "en3"}},  // a damaged file replaces nothing
        {de, true, {"de0", "de1", "", ""}},           // shorter file: IDs beyond it are empty
        {en, true, {"en0", "en1", "en2", "en3"}},
    };
    for (const auto& r : reloads) {
        QCOMPARE(ReloadXmlLanguage(r.path), r.read);
        QStringList got;
        for (int i = 0; i < 4; ++i)
            got << LoadStringFromID(i);
        QCOMPARE(got, r.ids0to3);
    }
    UnInitXmlLanguage();
    QVERIFY(LoadStringFromID(0).isEmpty());
    UnInitXmlLanguage();  // twice: nothing happens
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
