// The text catalogue: every visible text is found by its position in a language file.
#pragma once

#include <QString>
#include <QStringList>

class CXmlLanguage {
public:
    // Reads every <string> element of the file, in document order. False when the file
    // cannot be opened (the texts stay as they were) or the document is damaged (the texts
    // read before the damage stay).
    bool ReadXml(const QString& path);
    // Empty text for an ID outside the catalogue.
    QString LoadStringFromID(int id) const;

    int m_nCount = 0;
    QStringList m_listString;
};

// Creates the catalogue from the file (an empty one when the file cannot be read).
bool InitXmlLanguage(const QString& path);
// Replaces the catalogue only when the new file was read whole; otherwise the previous
// language's texts stay in place and the result is false.
bool ReloadXmlLanguage(const QString& path);
void UnInitXmlLanguage();
// The text with that ID from the current catalogue; empty without one or out of range.
QString LoadStringFromID(int id);

// Language-changed event, posted to every registered window.
constexpr int kLanguageChangedEvent = 1005;
