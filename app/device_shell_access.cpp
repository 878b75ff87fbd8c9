#include "device_shell_access.h"

#include <QDebug>

#include "KVAppSetting.h"
#include "Singleton.h"
#include "XmlLanguage.h"
#include "device_info_mng.h"

namespace kvshell {

static KVAppSetting* settings()
{
    return Singleton<KVAppSetting>::getInstance();
}

QString text(int id) { return LoadStringFromID(id); }
QString defaultUser() { return settings()->m_strDefaultUser; }
QString defaultPassword() { return settings()->m_strDefaultPassword; }
int editionCode() { return settings()->m_nCompany; }
int loginVariant() { return settings()->LoginVariant(); }
void pushWindowObject(QObject* window) { settings()->PushWindowObject(window); }
void popWindowObject(QObject* window) { settings()->PopWindowObject(window); }

void showTypeMismatchMessage()
{
    qWarning().noquote() << LoadStringFromID(125);
}

DeviceInfoMng* deviceInfoMngInstance() { return Singleton<DeviceInfoMng>::getInstance(); }

} // namespace kvshell
