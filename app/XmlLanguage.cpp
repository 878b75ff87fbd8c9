#include "XmlLanguage.h"

#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>

#include <memory>

namespace {
std::unique_ptr<CXmlLanguage> g_pLanguage;
}

bool CXmlLanguage::ReadXml(const QString& path)
{
    qDebug() << "language file" << path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    m_listString.clear();
    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("string")) {
            // A child element inside a text is damage: stop at the last complete text.
            QString text = reader.readElementText();
            if (reader.hasError())
                break;
            m_listString.append(text);
        }
    }
    m_nCount = m_listString.size();
    return !reader.hasError();
}

QString CXmlLanguage::LoadStringFromID(int id) const
{
    if (id < 0 || id >= m_listString.size())
        return QString();
    return m_listString.at(id);
}

bool InitXmlLanguage(const QString& path)
{
    g_pLanguage.reset(new CXmlLanguage);
    return g_pLanguage->ReadXml(path);
}

bool ReloadXmlLanguage(const QString& path)
{
    std::unique_ptr<CXmlLanguage> fresh(new CXmlLanguage);
    if (!fresh->ReadXml(path))
        return false;
    g_pLanguage = std::move(fresh);
    return true;
}

void UnInitXmlLanguage()
{
    g_pLanguage.reset();
}

QString LoadStringFromID(int id)
{
    return g_pLanguage ? g_pLanguage->LoadStringFromID(id) : QString();
}
