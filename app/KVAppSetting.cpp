#include "KVAppSetting.h"

#include "Edition.h"
#include "XmlLanguage.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

struct LanguageFileRow {
    std::initializer_list<const char*> files;
    int nameTextId;
    const char* qtTranslation;
};

const LanguageFileRow kLanguageFiles[] = {
    {{"CHT.xml"}, 92, "/qt_zh_TW.qm"},
    {{"CHS.xml"}, 93, "/qt_zh_CN.qm"},
    {{"GER.xml"}, 90, "/qt_de.qm"},
    {{"ENU.xml", "ENU_E7.xml", "ENU_E8.xml", "ENU_E10.xml", "ENU_E12.xml", "ENU_E14.xml", "ENU_E16.xml",
      "ENU_E17.xml"},
     89, "/qt_en.qm"},
    {{"RUS_E4.xml", "RUS_E5.xml", "RUS_E6.xml", "RUS_E11.xml", "RUS_E15.xml", "RUS_E29.xml"}, 91, "/qt_ru.qm"},
    {{"KOR_E18.xml", "KOR_E20.xml", "KR_E19.xml"}, 94, "/qt_ko.qm"},
    {{"TUR_E23.xml"}, 135, "/qt_en.qm"},
};
const LanguageFileRow kOtherLanguageFile = {{}, 89, "/qt_en.qm"};

const LanguageFileRow& languageRow(const QString& file)
{
    for (const LanguageFileRow& row : kLanguageFiles)
        for (const char* f : row.files)
            if (file == QLatin1String(f))
                return row;
    return kOtherLanguageFile;
}

// A decimal number, 0 when the text is not one.
int decimal(const QStringRef& text)
{
    bool ok = false;
    int v = text.toInt(&ok, 10);
    return ok ? v : 0;
}

int decimal(const QString& text)
{
    bool ok = false;
    int v = text.trimmed().toInt(&ok, 10);
    return ok ? v : 0;
}

// Finds the value of the attribute `name` inside the start tag tag[0..], which the XML
// reader has already accepted as well-formed. Returns the value's span or false.
bool findAttributeValue(const QString& tag, const QString& name, int* begin, int* end)
{
    int i = tag.indexOf(QLatin1Char('<'));
    if (i < 0)
        return false;
    ++i;
    auto isSpace = [&](int k) { return k < tag.size() && tag.at(k).isSpace(); };
    auto isNameEnd = [&](int k) {
        return k >= tag.size() || tag.at(k).isSpace() || tag.at(k) == QLatin1Char('=') ||
               tag.at(k) == QLatin1Char('>') || tag.at(k) == QLatin1Char('/');
    };
    while (!isNameEnd(i))
        ++i;  // element name
    for (;;) {
        while (isSpace(i))
            ++i;
        if (i >= tag.size() || tag.at(i) == QLatin1Char('>') || tag.at(i) == QLatin1Char('/'))
            return false;
        int nameBegin = i;
        while (!isNameEnd(i))
            ++i;
        QStringRef attr = tag.midRef(nameBegin, i - nameBegin);
        while (isSpace(i))
            ++i;
        if (i >= tag.size() || tag.at(i) != QLatin1Char('='))
            return false;
        ++i;
        while (isSpace(i))
            ++i;
        if (i >= tag.size())
            return false;
        QChar quote = tag.at(i);
        if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
            return false;
        int valueBegin = i + 1;
        int valueEnd = tag.indexOf(quote, valueBegin);
        if (valueEnd < 0)
            return false;
        if (attr == name) {
            *begin = valueBegin;
            *end = valueEnd;
            return true;
        }
        i = valueEnd + 1;
    }
}

}  // namespace

KVAppSetting::KVAppSetting(QObject* parent) : QObject(parent) {}

KVAppSetting::~KVAppSetting() = default;

QString KVAppSetting::AppDir() const
{
    return m_strAppDir.isEmpty() ? QCoreApplication::applicationDirPath() : m_strAppDir;
}

int KVAppSetting::LanguageNameTextId(const QString& file)
{
    return languageRow(file).nameTextId;
}

QString KVAppSetting::QtTranslationFile(const QString& file)
{
    return QString::fromLatin1(languageRow(file).qtTranslation);
}

void KVAppSetting::LoadConfig()
{
    m_strVersion.clear();
    m_nCompany = 0;
    m_listLanguageFile.clear();
    m_vecLanguageName.clear();
    int cursel = 0;
    bool curselRead = false;

    QFile file(AppDir() + QStringLiteral("/config.xml"));
    if (file.open(QIODevice::ReadOnly)) {
        QXmlStreamReader reader(&file);
        while (!reader.atEnd()) {
            reader.readNext();
            if (!reader.isStartElement())
                continue;
            const QXmlStreamAttributes attrs = reader.attributes();
            if (attrs.hasAttribute(QLatin1String("cursel"))) {
                cursel = decimal(attrs.value(QLatin1String("cursel")));
                curselRead = true;
            } else if (attrs.hasAttribute(QLatin1String("name"))) {
                QString name = attrs.value(QLatin1String("name")).toString();
                m_listLanguageFile.append(name);
                m_vecLanguageName.push_back(LanguageNameTextId(name));
            }
            if (reader.name() == QLatin1String("Company"))
                m_nCompany = decimal(reader.readElementText());
            else if (reader.name() == QLatin1String("Version"))
                m_strVersion = reader.readElementText();
        }
        // A damaged document keeps what was read before the damage.
    }
    ApplyEdition(cursel, curselRead);
}

void KVAppSetting::ApplyEdition(int cursel, bool curselRead)
{
    m_vecLanguage.clear();
    // Offered files that config.xml does not list are left out of the menu.
    for (const QString& f : Edition::LanguageFiles(m_nCompany)) {
        int pos = m_listLanguageFile.indexOf(f);
        if (pos >= 0)
            m_vecLanguage.push_back(pos);
    }
    if (m_vecLanguage.empty()) {
        // Nothing the edition offers is listed: English, so every index stays valid.
        const QString english = QStringLiteral("ENU.xml");
        int pos = m_listLanguageFile.indexOf(english);
        if (pos < 0) {
            m_listLanguageFile.append(english);
            m_vecLanguageName.push_back(LanguageNameTextId(english));
            pos = m_listLanguageFile.size() - 1;
        }
        m_vecLanguage.push_back(pos);
    }

    m_strDefaultPassword = QStringLiteral("quoll");
    QString password = Edition::DefaultPassword(m_nCompany);
    if (!password.isEmpty())
        m_strDefaultPassword = password;

    m_nCurLanguage = 0;
    if (curselRead)
        for (size_t i = 0; i < m_vecLanguage.size(); ++i)
            if (m_vecLanguage[i] == cursel)
                m_nCurLanguage = static_cast<int>(i);

    m_strQtTranslation = QtTranslationFile(CurrentLanguageFile());
}

QString KVAppSetting::CurrentLanguageFile() const
{
    if (m_nCurLanguage < 0 || static_cast<size_t>(m_nCurLanguage) >= m_vecLanguage.size())
        return QString();
    int pos = m_vecLanguage[static_cast<size_t>(m_nCurLanguage)];
    return pos >= 0 && pos < m_listLanguageFile.size() ? m_listLanguageFile.at(pos) : QString();
}

int KVAppSetting::SearchVariant() const
{
    return Edition::SearchVariant(m_nCompany);
}

int KVAppSetting::LoginVariant() const
{
    return Edition::LoginVariant(m_nCompany);
}

QString KVAppSetting::LanguagePath() const
{
    return AppDir() + QStringLiteral("/Language/") + CurrentLanguageFile();
}

bool KVAppSetting::InitLanguage()
{
    return InitXmlLanguage(LanguagePath());
}

bool KVAppSetting::ReloadLanguage(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= m_vecLanguage.size())
        return false;
    bool changed = false;
    if (index != m_nCurLanguage) {
        int previous = m_nCurLanguage;
        m_nCurLanguage = index;
        if (ReloadXmlLanguage(LanguagePath())) {
            SaveToXml();
            changed = true;
        } else {
            m_nCurLanguage = previous;
        }
    }
    for (const QPointer<QObject>& w : m_vecWindowObject)
        if (w)
            QCoreApplication::postEvent(w, new QEvent(static_cast<QEvent::Type>(kLanguageChangedEvent)));
    return changed;
}

bool KVAppSetting::SaveToXml()
{
    if (m_nCurLanguage < 0 || static_cast<size_t>(m_nCurLanguage) >= m_vecLanguage.size())
        return false;
    const QString path = AppDir() + QStringLiteral("/config.xml");
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = in.readAll();
    in.close();

    // Offsets of the reader are in characters; the file is UTF-8, so map them to bytes
    // through the decoded text (and refuse anything that does not decode back unchanged).
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes)
        return false;
    QXmlStreamReader reader(text);
    int valueBegin = -1, valueEnd = -1;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.attributes().hasAttribute(QLatin1String("cursel"))) {
            // The reader stands just past the tag; a '<' cannot occur inside it, so the last
            // one before is where it begins. The last cursel wins when the file is read, so
            // it is the one rewritten.
            const int tagEnd = static_cast<int>(reader.characterOffset());
            const int tagBegin = text.lastIndexOf(QLatin1Char('<'), tagEnd - 1);
            int b, e;
            if (tagBegin >= 0 && findAttributeValue(text.mid(tagBegin, tagEnd - tagBegin), QStringLiteral("cursel"), &b, &e)) {
                valueBegin = tagBegin + b;
                valueEnd = tagBegin + e;
            }
        }
    }
    if (reader.hasError() || valueBegin < 0)
        return false;

    const int position = m_vecLanguage[static_cast<size_t>(m_nCurLanguage)];
    const int byteBegin = text.leftRef(valueBegin).toUtf8().size();
    const int byteEnd = text.leftRef(valueEnd).toUtf8().size();
    QByteArray out = bytes.left(byteBegin) + QByteArray::number(position) + bytes.mid(byteEnd);

    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    save.write(out);
    return save.commit();
}

void KVAppSetting::PushWindowObject(QObject* window)
{
    if (!window)
        return;
    for (const QPointer<QObject>& w : m_vecWindowObject)
        if (w == window)
            return;
    // Windows destroyed without unregistering leave null entries: drop them here.
    m_vecWindowObject.erase(std::remove_if(m_vecWindowObject.begin(), m_vecWindowObject.end(),
                                           [](const QPointer<QObject>& w) { return w.isNull(); }),
                            m_vecWindowObject.end());
    m_vecWindowObject.emplace_back(window);
}

void KVAppSetting::PopWindowObject(QObject* window)
{
    auto it = std::find_if(m_vecWindowObject.begin(), m_vecWindowObject.end(),
                           [window](const QPointer<QObject>& w) { return w.data() == window; });
    if (it != m_vecWindowObject.end())
        m_vecWindowObject.erase(it);
}

void KVAppSetting::UnInitLanguage()
{
    UnInitXmlLanguage();
}

void KVAppInitResources()
{
#ifdef KVAPP_HAS_RESOURCES
    Q_INIT_RESOURCE(kvtool);
#endif
}
