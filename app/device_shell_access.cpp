#include "device_shell_access.h"

#include "KVAppSetting.h"
#include "KVMessageBox.h"
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
    KVMessageBox::Show(LoadStringFromID(125), LoadStringFromID(6), nullptr, MsgBoxButtonOkCancel,
                       MsgBoxIconInformation);
}

DeviceInfoMng* deviceInfoMngInstance() { return Singleton<DeviceInfoMng>::getInstance(); }

} // namespace kvshell
