#include "device_info_mng.h"

#include "checkbox_table_model.h"
#include "device_info.h"
#include "device_shell_access.h"

DeviceInfoMng* DeviceInfoMng::getInstance()
{
    return kvshell::deviceInfoMngInstance();
}

void DeviceInfoMng::updateDeviceInfo(QList<DeviceInfo*>& list)
{
    // The tables drop the old records first, so no view can paint a freed one.
    for (CheckBoxTableModel* model : m_models)
        model->releaseRecords(m_listDeviceInfo);
    const QList<DeviceInfo*> old = m_listDeviceInfo;
    m_listDeviceInfo = list;
    for (DeviceInfo* rec : old) {
        if (!rec || list.contains(rec))
            continue;
        if (rec->isBusy()) {
            rec->m_bRetired = true;
            if (!m_retired.contains(rec))
                m_retired.append(rec);
        } else {
            delete rec;
        }
    }
}

void DeviceInfoMng::addDeviceInfo(QList<DeviceInfo*>& list)
{
    m_listDeviceInfo = list;
}

void DeviceInfoMng::clearDevStatus()
{
    for (DeviceInfo* rec : m_listDeviceInfo)
        if (rec)
            rec->m_nStatus = DeviceInfo::StNone;
}

void DeviceInfoMng::releaseRetired(DeviceInfo* record)
{
    if (!m_retired.removeOne(record))
        return;
    for (CheckBoxTableModel* model : m_models)
        model->releaseRecords({record});
    // Called from the record's own event handler: freed once it has returned.
    record->deleteLater();
}

void DeviceInfoMng::registerModel(CheckBoxTableModel* model)
{
    if (!m_models.contains(model))
        m_models.append(model);
}

void DeviceInfoMng::unregisterModel(CheckBoxTableModel* model)
{
    m_models.removeAll(model);
}
