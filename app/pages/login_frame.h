// The login page: one device reached by address, port and credentials with the maker's
// protocol, and the configuration panel below the login row.
#pragma once

#include <QByteArray>
#include <QFrame>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>

#include "KVNet.h"

class DeviceInfo;
class DeviceConfig;
class QLabel;
class QLineEdit;
class QPushButton;
class ToolBarFrame;

// The page's session: login values, handle, last code and the login reply's information
// block. Codes reach the page as events 1000.
class KVDevice : public QObject {
public:
    static constexpr int kDevInfoSize = 1232;
    // Edition 8 logs in again after a failed login: at most this many times in a row.
    static constexpr int kMaxRelogins = 5;

    KVDevice();
    ~KVDevice() override;

    void Login(QString& address, int port, QString& user, QString& password);
    void Logout();
    static void connectionCallbackFun(unsigned code, void* user);

    void setEventTarget(QObject* target) { m_pTarget = target; }
    int lastCode() const { return m_nLastCode; }
    DevConnection* handle() const { return m_hSession; }
    const QByteArray& devInfo() const { return m_devInfo; }
    QString address() const { return m_strAddress; }
    int port() const { return m_nPort; }
    QString user() const { return m_strUser; }
    QString password() const { return m_strPassword; }
    // Pause before edition 8's next login: 1 s unless a test shortens it.
    void setReloginDelay(int ms) { m_relogin.setInterval(ms); }
    int reloginCount() const { return m_nRelogins; }

protected:
    void customEvent(QEvent* event) override;

private:
    struct Session;
    void start();
    void relogin();

    QString m_strAddress;
    int m_nPort = 0;
    QString m_strUser;
    QString m_strPassword;
    int m_nLastCode = 3;
    QByteArray m_devInfo;
    DevConnection* m_hSession = nullptr;
    QObject* m_pTarget = nullptr;
    // Each login has its own context: events of an earlier login carry an older number
    // and are dropped.
    std::unique_ptr<Session> m_session;
    unsigned m_nGeneration = 0;
    QTimer m_relogin;
    int m_nRelogins = 0;
};

class LoginFrame : public QFrame {
    Q_OBJECT
public:
    explicit LoginFrame(QWidget* parent = nullptr);
    ~LoginFrame() override;

    void InitText();
    void UpdateDeviceInfo(DeviceInfo* device);
    void SetUserAndPassword(QString& user, QString& password);
    void clear_login_status();

    // What the main window's double click gave (tests and the search page's checks).
    DeviceInfo* device() const;
    QString user() const;
    QString password() const;
    KVDevice* kvDevice() { return &m_device; }
    DeviceConfig* config() const { return m_pConfig; }

public slots:
    void on_m_pBtnLogin_clicked();

protected:
    void showEvent(QShowEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    KVDevice m_device;
    QPointer<DeviceInfo> m_pRecord;
    QLabel* m_pLabIP;
    QLineEdit* m_pEdtIP;
    QLabel* m_pLabPort;
    QLineEdit* m_pEdtPort;
    QLabel* m_pLabUser;
    QLineEdit* m_pEdtUsr;
    QLabel* m_pLabPwd;
    QLineEdit* m_pEdtPwd;
    QPushButton* m_pBtnLogin;
    DeviceConfig* m_pConfig;
};
