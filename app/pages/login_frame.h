// Placeholder of the login page: it takes the device and credentials of a double click.
#pragma once

#include "placeholder_page.h"

class DeviceInfo;

class LoginFrame : public PlaceholderPage {
    Q_OBJECT
public:
    explicit LoginFrame(QWidget* parent = nullptr) : PlaceholderPage(QStringLiteral("LoginFrame"), parent) {}
    void UpdateDeviceInfo(DeviceInfo* device) { m_pDevice = device; }
    void SetUserAndPassword(QString& user, QString& password)
    {
        m_strUser = user;
        m_strPassword = password;
    }
    DeviceInfo* device() const { return m_pDevice; }
    QString user() const { return m_strUser; }
    QString password() const { return m_strPassword; }

private:
    DeviceInfo* m_pDevice = nullptr;
    QString m_strUser;
    QString m_strPassword;
};
