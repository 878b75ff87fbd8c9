// The tool's settings: edition, version, languages, default credentials, and the windows
// that hear about a change of language. One process-wide object (Singleton<KVAppSetting>).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

class KVAppSetting : public QObject {
    Q_OBJECT
public:
    explicit KVAppSetting(QObject* parent = nullptr);
    ~KVAppSetting() override;

    // Reads config.xml beside the executable and applies the edition. Without a readable
    // file the tool runs as edition 0 in English.
    void LoadConfig();
    // Loads the text catalogue of the current language; false when its file was not read.
    bool InitLanguage();
    // Switches to the offered language at index. An index outside the menu changes
    // nothing; a file that cannot be read keeps the current language and saves nothing.
    // Every registered window is told (event 1005) whenever the index is valid.
    bool ReloadLanguage(int index);
    // Writes the current language back into the cursel attribute of config.xml.
    bool SaveToXml();
    void PushWindowObject(QObject* window);
    void PopWindowObject(QObject* window);
    void UnInitLanguage();

    // Where config.xml and Language/ lie: the executable's folder unless set (tests).
    QString AppDir() const;
    void SetAppDir(const QString& dir) { m_strAppDir = dir; }

    // The file name of the language in use, empty when none is offered.
    QString CurrentLanguageFile() const;
    int SearchVariant() const;
    int LoginVariant() const;

    static int LanguageNameTextId(const QString& file);
    static QString QtTranslationFile(const QString& file);

    QString m_strVersion;
    int m_nCompany = 0;                  // edition code
    std::vector<int> m_vecLanguage;      // offered languages: positions in m_listLanguageFile
    std::vector<int> m_vecLanguageName;  // text ID of each language file's name
    int m_nCurLanguage = 0;              // index into m_vecLanguage
    std::vector<QPointer<QObject>> m_vecWindowObject;
    QString m_strQtTranslation;          // such as "/qt_de.qm"
    QString m_strDefaultUser = QStringLiteral("quoll");
    QString m_strDefaultPassword = QStringLiteral("quoll");
    QStringList m_listLanguageFile;      // every name attribute of config.xml, in order

private:
    void ApplyEdition(int cursel, bool curselRead);
    QString LanguagePath() const;
    QString m_strAppDir;
};

// Points resources compiled into the app library at the resource system (static linking
// drops their initialisers otherwise). Call once before the first style sheet or icon.
void KVAppInitResources();
