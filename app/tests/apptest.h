// Fixtures shared by the tool's widget tests: a scratch application folder with its own
// config.xml and Language/ files, and a counter of language-changed events.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <QDialog>
#include <QLabel>

#include "BaseDialog.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "XmlLanguage.h"

namespace apptest {

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// config.xml text: one cursel element (unless cursel is null), the names, edition, version.
inline QByteArray configXml(const QStringList& names, int edition, const char* cursel,
                            const char* version = "2.4.1")
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n";
    if (cursel)
        x += QByteArray("  <Language cursel=\"") + cursel + "\"/>\n";
    for (const QString& n : names)
        x += "  <LanguageFile name=\"" + n.toUtf8() + "\"/>\n";
    x += "  <Company>" + QByteArray::number(edition) + "</Company>\n";
    x += QByteArray("  <Version>") + version + "</Version>\n</config>\n";
    return x;
}

// A language file whose text at ID i is prefix + i, up to count texts.
inline QByteArray languageXml(const QString& prefix, int count)
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<language>\n";
    for (int i = 0; i < count; ++i)
        x += "  <string>" + (prefix + QString::number(i)).toUtf8() + "</string>\n";
    x += "</language>\n";
    return x;
}

class AppFolder {
public:
    AppFolder() { QDir(dir.path()).mkpath(QStringLiteral("Language")); }
    QString path() const { return dir.path(); }
    QString config() const { return dir.path() + QStringLiteral("/config.xml"); }
    bool setConfig(const QByteArray& bytes) const { return writeFile(config(), bytes); }
    bool addLanguage(const QString& file, const QByteArray& bytes) const
    {
        return writeFile(dir.path() + QStringLiteral("/Language/") + file, bytes);
    }
    // Points the settings singleton here and loads config and catalogue.
    KVAppSetting* load() const
    {
        KVAppSetting* s = Singleton<KVAppSetting>::getInstance();
        s->SetAppDir(path());
        s->LoadConfig();
        s->InitLanguage();
        return s;
    }

private:
    QTemporaryDir dir;
};

class EventCounter : public QObject {
public:
    int count = 0;

protected:
    void customEvent(QEvent* e) override
    {
        if (e->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
            ++count;
    }
};

// Answers every modal box of the tool while it lives: notes its texts and confirms it.
class ModalCatcher {
public:
    QStringList texts;
    int seen = 0;
    ModalCatcher()
    {
        BaseDialog::setModalHook([this](QDialog* d) {
            for (QLabel* l : d->findChildren<QLabel*>())
                if (!l->text().isEmpty())
                    texts << l->text();
            ++seen;
            d->done(0);
        });
    }
    ~ModalCatcher() { BaseDialog::setModalHook(nullptr); }
};

}  // namespace apptest
