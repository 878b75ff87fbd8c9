// Qt's own translations beside kvtool: every file the language table names loads (with
// the module files it includes), and each language file maps to its Qt file.
#include <QFile>
#include <QTranslator>
#include <QtTest>

#include "KVAppSetting.h"

class TestTranslations : public QObject {
    Q_OBJECT
private slots:
    void qtFilesLoad_data();
    void qtFilesLoad();
};

void TestTranslations::qtFilesLoad_data()
{
    QTest::addColumn<QString>("languageFile");
    QTest::addColumn<QString>("qtFile");
    QTest::addColumn<bool>("translates");  // qt_en.qm is empty by design
    QTest::newRow("CHT") << "CHT.xml" << "/qt_zh_TW.qm" << true;
    QTest::newRow("CHS") << "CHS.xml" << "/qt_zh_CN.qm" << true;
    QTest::newRow("GER") << "GER.xml" << "/qt_de.qm" << true;
    QTest::newRow("RUS") << "RUS_E29.xml" << "/qt_ru.qm" << true;
    QTest::newRow("KOR") << "KR_E19.xml" << "/qt_ko.qm" << true;
    QTest::newRow("ENU") << "ENU_E16.xml" << "/qt_en.qm" << false;
    QTest::newRow("TUR") << "TUR_E23.xml" << "/qt_en.qm" << false;
    QTest::newRow("unknown") << "XX.xml" << "/qt_en.qm" << false;
}

void TestTranslations::qtFilesLoad()
{
    QFETCH(QString, languageFile);
    QFETCH(QString, qtFile);
    QFETCH(bool, translates);
    QCOMPARE(KVAppSetting::QtTranslationFile(languageFile), qtFile);
    // Loaded exactly as main does: the executable's folder followed by the name.
    const QString path = QStringLiteral(KVTOOL_DIR) + qtFile;
    QVERIFY2(QFile::exists(path), qPrintable(path));
    QTranslator translator;
    QVERIFY2(translator.load(path), qPrintable(path + " or a file it includes is missing"));
    QCOMPARE(!translator.isEmpty(), translates);
    if (translates)
        QVERIFY(!translator.translate("QFileDialog", "Open").isEmpty());
}

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
