// The records of the last search. A record that is still busy when a new search replaces
// the list (a session, an upgrade, an export or import, a queued job) is kept aside
// until its work has ended, then freed; every table that showed the old list lets go of
// it in the same step.
#pragma once

#include <QList>
#include <QObject>

class DeviceInfo;
class CheckBoxTableModel;

class DeviceInfoMng : public QObject {
    Q_OBJECT
public:
    DeviceInfoMng() = default;
    // At exit: frees nothing (the records may still be reached by the clients' threads).
    ~DeviceInfoMng() override = default;

    static DeviceInfoMng* getInstance();

    // Replaces the list: the old records leave every registered model, then each is freed,
    // or retired while busy.
    void updateDeviceInfo(QList<DeviceInfo*>& list);
    // Replaces the list by the search's new records, freeing nothing.
    void addDeviceInfo(QList<DeviceInfo*>& list);
    // Status -1 on every record of the list.
    void clearDevStatus();

    QList<DeviceInfo*> m_listDeviceInfo;

    // Busy records that left the list; freed by releaseRetired once idle.
    const QList<DeviceInfo*>& retired() const { return m_retired; }
    void releaseRetired(DeviceInfo* record);

    // Models that show the manager's records.
    void registerModel(CheckBoxTableModel* model);
    void unregisterModel(CheckBoxTableModel* model);

private:
    QList<DeviceInfo*> m_retired;
    QList<CheckBoxTableModel*> m_models;
};
