// What the device records and tables take from the application shell (settings, text
// catalogue, message box, the process-wide list manager), in one place.
#pragma once

#include <QString>

class QObject;
class DeviceInfoMng;

namespace kvshell {

QString text(int id);
QString defaultUser();
QString defaultPassword();
int editionCode();
// Login variant byte of the edition.
int loginVariant();
void pushWindowObject(QObject* window);
void popWindowObject(QObject* window);
// Edition 16: a device of another type than the first checked one (text 125).
void showTypeMismatchMessage();
DeviceInfoMng* deviceInfoMngInstance();

} // namespace kvshell
