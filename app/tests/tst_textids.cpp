// Every text ID the tool's code asks for exists, non-empty, in every language file that
// config.xml names (and that the edition table offers).
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include "Edition.h"
#include "KVAppSetting.h"
#include "XmlLanguage.h"

namespace {

const QString kApp = QStringLiteral(KV_SOURCE_DIR "/app");

// The integer literals inside every LoadStringFromID(...) argument of the tool's code
// (tests excluded), with the file each came from.
QMap<int, QString> idsInCode()
{
    QMap<int, QString> ids;
    QDirIterator it(kApp, {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories);
    const QRegularExpression literal(QStringLiteral("(?<![\\w.])(\\d+)(?![\\w.])"));
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains("/tests/") || path.contains("/bench/"))
            continue;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString code = QString::fromUtf8(f.readAll());
        int from = 0;
        const QString call = QStringLiteral("LoadStringFromID(");
        while ((from = code.indexOf(call, from)) >= 0) {
            int i = from + call.size(), depth = 1;
            const int begin = i;
            while (i < code.size() && depth > 0) {
                if (code.at(i) == '(')
                    ++depth;
                else if (code.at(i) == ')')
                    --depth;
                ++i;
            }
            const QString arg = code.mid(begin, i - 1 - begin);
            auto m = literal.globalMatch(arg);
            while (m.hasNext())
                ids.insert(m.next().captured(1).toInt(), QFileInfo(path).fileName());
            from = i;
        }
    }
    return ids;
}

QStringList languageFiles()
{
    QStringList names;
    // Every file an edition offers...
    for (int edition = -1; edition <= 40; ++edition)
        for (const QString& f : Edition::LanguageFiles(edition))
            if (!names.contains(f))
                names << f;
    // ...and every file the shipped config.xml lists.
    KVAppSetting s;
    s.SetAppDir(kApp + "/dist");
    s.LoadConfig();
    for (const QString& f : s.m_listLanguageFile)
        if (!names.contains(f))
            names << f;
    return names;
}

}  // namespace

class TestTextIds : public QObject {
    Q_OBJECT
private slots:
    void everyIdInEveryFile_data();
    void everyIdInEveryFile();
};

void TestTextIds::everyIdInEveryFile_data()
{
    QTest::addColumn<QString>("file");
    const QStringList files = languageFiles();
    QCOMPARE(files.size(), 21);
    for (const QString& f : files)
        QTest::newRow(qPrintable(f)) << f;
}

void TestTextIds::everyIdInEveryFile()
{
    QFETCH(QString, file);
    QMap<int, QString> ids = idsInCode();
    // The scan must see the tool's texts at all: the About and page-button IDs at least.
    for (int known : {0, 4, 5, 7, 10, 11, 83, 95, 112, 126, 128, 132, 138})
        QVERIFY2(ids.contains(known), qPrintable(QString("ID %1 not found in the code").arg(known)));
    // Language names come from the settings' table, not from a literal.
    for (const QString& f : languageFiles())
        ids.insert(KVAppSetting::LanguageNameTextId(f), QStringLiteral("KVAppSetting.cpp"));

    CXmlLanguage cat;
    QVERIFY2(cat.ReadXml(kApp + "/dist/Language/" + file), qPrintable(file + " is missing or damaged"));
    QStringList missing;
    for (auto it = ids.cbegin(); it != ids.cend(); ++it)
        if (cat.LoadStringFromID(it.key()).trimmed().isEmpty())
            missing << QString("%1 (%2)").arg(it.key()).arg(it.value());
    QVERIFY2(missing.isEmpty(), qPrintable(file + ": no text for " + missing.join(", ")));
}

QTEST_GUILESS_MAIN(TestTextIds)
#include "tst_textids.moc"
