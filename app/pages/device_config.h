// The login page's configuration panel: reboot, password change and restore of defaults
// of the logged-in device, each a blocking call of the device protocol client.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>

class KVDevice;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace kvcfg {

constexpr int kUserRecordSize = 272;
constexpr int kUserStructSize = 48;

// The UTF-8 form of text within maxBytes, cut only between characters.
QByteArray utf8Cut(const QString& text, int maxBytes);
// Long user layout: bit 3 of the word at 228 of the device information block.
bool longUserLayout(const QByteArray& devInfo);
// The width in bytes of the password field of the layout.
int passwordFieldWidth(bool longLayout);
// Changes the record whose user name equals user: name and password rewritten in the
// layout's fields (zero-filled), byte 34 set to 1. False, and nothing changed, when no
// record holds that user or the password's UTF-8 form does not fit its field (a cut
// password would lock the user out with a password nobody typed).
bool applyPasswordChange(QList<QByteArray>& records, bool longLayout, const QString& user,
                         const QString& password);

struct DefaultChoice {
    bool display = false, record = false, network = false, alarm = false;
    bool device = false, system = false, advanced = false, intel = false;
    // Set when the device offers the two network choices; then networkChoice (0, 1, 2)
    // is sent instead of the box.
    bool networkChoiceOffered = false;
    int networkChoice = 0;
};
// The 12-byte block of parameter type 521.
QByteArray buildDefaults(const DefaultChoice& c);

} // namespace kvcfg

class RebootPage : public QWidget {
    Q_OBJECT
public:
    explicit RebootPage(QWidget* parent = nullptr);
    void setDevice(KVDevice* device) { m_pDevice = device; }
    void InitText();
    int CheckInput() const { return 79; }
    // Sends the reboot command and waits for the device's answer: true only when the
    // device answered it with AckFlag 0; a refusal, a lost session or silence is false.
    bool OnSet();
    bool OnQuery() { return true; }
    QPushButton* button() const { return m_pBtnReboot; }
    // How long the answer is awaited; 0 is the client's default (25 s). Tests shorten it.
    void setAnswerTimeoutMs(unsigned ms) { m_nAnswerTimeoutMs = ms; }
signals:
    void onReboot();
public slots:
    void OnClickReboot() { emit onReboot(); }

protected:
    void customEvent(QEvent* event) override;

private:
    KVDevice* m_pDevice = nullptr;
    QPushButton* m_pBtnReboot;
    unsigned m_nAnswerTimeoutMs = 0;
};

class UserPage : public QWidget {
    Q_OBJECT
public:
    explicit UserPage(QWidget* parent = nullptr);
    void setDevice(KVDevice* device) { m_pDevice = device; }
    void InitText();
    int CheckInput() const;
    bool OnSet();
    bool OnQuery();
    QLineEdit* newPassword() const { return m_pEdtNewPwd; }
    QLineEdit* confirmPassword() const { return m_pEdtConfirmPwd; }

protected:
    void customEvent(QEvent* event) override;

private:
    static void UserParamCallbackFun(void* item, void* user);
    static void UserListCallbackFun(void* item, void* user);

    KVDevice* m_pDevice = nullptr;
    QList<QByteArray> m_listUser;
    QByteArray m_userParam;
    QLabel* m_pLabNewPwd;
    QLineEdit* m_pEdtNewPwd;
    QLabel* m_pLabConfirmPwd;
    QLineEdit* m_pEdtConfirmPwd;
};

class DefaultPage : public QWidget {
    Q_OBJECT
public:
    explicit DefaultPage(QWidget* parent = nullptr);
    void setDevice(KVDevice* device) { m_pDevice = device; }
    void InitText();
    void InitLayout();
    int CheckInput() const;
    bool OnSet();
    bool OnQuery() { return true; }
    kvcfg::DefaultChoice choice() const;
    bool networkChoiceOffered() const { return m_bNetworkChoice; }

    QCheckBox* m_pChkDisplay;
    QCheckBox* m_pChkRecord;
    QCheckBox* m_pChkNetWork;
    QRadioButton* m_pChkNetWork_2;
    QRadioButton* m_pChkNetWork_3;
    QCheckBox* m_pChkAlarm;
    QCheckBox* m_pChkDevice;
    QCheckBox* m_pChkSystem;
    QCheckBox* m_pChkAdvanced;
    QCheckBox* m_pChkIntel;

public slots:
    void on_m_pChkNetWork_clicked(bool checked);

protected:
    void customEvent(QEvent* event) override;

private:
    bool offersNetworkChoice() const;
    void setNetworkChoiceShown(bool shown);

    KVDevice* m_pDevice = nullptr;
    // Whether the radio buttons are offered, kept here rather than read from their
    // visibility (which also depends on whether the page is on screen).
    bool m_bNetworkChoice = false;
};

class DeviceConfig : public QWidget {
    Q_OBJECT
public:
    explicit DeviceConfig(QWidget* parent = nullptr);
    ~DeviceConfig() override;
    void setDevice(KVDevice* device);
    void OnConnection();
    void ClearStatus();
    void InitText();

    int currentIndex() const { return m_nIndex; }
    QString status() const;
    RebootPage* rebootPage() const { return m_pReboot; }
    UserPage* userPage() const { return m_pUser; }
    DefaultPage* defaultPage() const { return m_pDefault; }
    QPushButton* setButton() const { return m_pBtnSet; }
    QPushButton* rebootButton() const { return m_pBtnReboot; }
    QPushButton* userButton() const { return m_pBtnModifyUser; }
    QPushButton* defaultButton() const { return m_pBtnDefault; }

public slots:
    void OnRebootPage();
    void OnUserPage();
    void OnDefaultPage();
    void OnSet();

protected:
    void showEvent(QShowEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    void showText(int id);
    void fitPageButtons();

    KVDevice* m_pDevice = nullptr;
    int m_nIndex = 0;
    DefaultPage* m_pDefault;
    UserPage* m_pUser;
    RebootPage* m_pReboot;
    QPushButton* m_pBtnReboot;
    QPushButton* m_pBtnModifyUser;
    QPushButton* m_pBtnDefault;
    QButtonGroup* m_pGroup;
    QStackedWidget* m_pStack;
    QLabel* m_pLabInfo;
    QPushButton* m_pBtnSet;
};
