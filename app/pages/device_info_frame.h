// Page 3 of the main window: a new search, consecutive addresses for the checked devices,
// factory information, restore of defaults and PTZ defaults; in edition 22 switching NTP on.
#pragma once

#include <QFrame>
#include <QList>
#include <QMutex>
#include <functional>

#include "KVNet.h"

class CheckBoxTableModel;
class CheckBoxTableView;
class DeviceInfo;
class QCheckBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QStackedWidget;
class ToolBarFrame;

namespace kvinfo {

struct FactoryInput {
    bool use[8] = {}; // key ID, board ID, main board, product type, device type, device name, function code, custom type
    QString text[8];
};
// The text ID of the first fault of the input (104 to 109), or 0 when it passes; block
// gets the 700 block then. focus: the row whose edit takes the focus (-1 none); clear:
// the function code edit is emptied.
int checkFactoryInput(const FactoryInput& in, int edition, KVNet_KeyBackupSet_t* block, int* focus, bool* clear);

} // namespace kvinfo

class DeviceInfoFrame : public QFrame {
    Q_OBJECT
public:
    explicit DeviceInfoFrame(QWidget* parent = nullptr);
    ~DeviceInfoFrame() override;

    void setToolBar(ToolBarFrame* toolBar) { m_pToolBar = toolBar; }
    void updateTableView(DeviceInfo* record, bool done);
    // A search has ended: controls back, table reloaded from the device list manager.
    void OnSearchDeviceDone();
    void setFilterCol(int column);
    void setFilterString(const QString& text);
    int filterCol() const { return m_nFilterCol; }
    QString filterString() const { return m_strFilter; }
    int reloadCount() const { return m_nReloads; }

    CheckBoxTableModel* model() const { return m_pModel; }
    CheckBoxTableView* view() const { return m_pDeviceTableView; }
    QList<DeviceInfo*> jobs();
    QStackedWidget* stack() const { return m_pStackWidget; }

    QPushButton* m_pBtnSearch;
    QLineEdit* m_pEditUser;
    QLineEdit* m_pEditPassword;
    QLineEdit* m_pEditStartIP;
    QLineEdit* m_pEditMediaPort;
    QLineEdit* m_pEditGateway;
    QLineEdit* m_pEditNetmask;
    QPushButton* m_pBtnModify;
    QLineEdit* m_pEdit[8];
    QCheckBox* m_pCheck[8];
    QPushButton* m_pBtnSet;
    QPushButton* m_pBtnDefault;
    QPushButton* m_pBtnPTZDefault;
    QPushButton* m_pBtnSearch_2;
    QLineEdit* m_pEditUser_2;
    QLineEdit* m_pEditPassword_2;
    QPushButton* m_pBtnEnableNTP;

public slots:
    void onClickTableView(const QModelIndex& index);
    void on_m_pBtnSearch_clicked();
    void on_m_pBtnModify_clicked();
    void on_m_pBtnSet_clicked();
    void on_m_pBtnDefault_clicked();
    void on_m_pBtnPTZDefault_clicked();
    void on_m_pBtnEnableNTP_clicked();
    void on_m_pBtnSearch_2_clicked();

protected:
    void customEvent(QEvent* event) override;

private:
    void setupForm();
    void InitText();
    void enableWidget(bool on);
    void warn(int textId);
    bool batchStart(void (*job)(void*), bool ntpPanel, const std::function<void(DeviceInfo*, int)>& input,
                    bool queueEach = false);

    QMutex m_mutex;
    QList<DeviceInfo*> m_listJobs;
    CheckBoxTableView* m_pDeviceTableView;
    QStackedWidget* m_pStackWidget;
    QList<QLabel*> m_labels;
    QList<int> m_labelTexts;
    QList<QPushButton*> m_buttons;
    QList<int> m_buttonTexts;
    CheckBoxTableModel* m_pModel = nullptr;
    ToolBarFrame* m_pToolBar = nullptr;
    KVNet_KeyBackupSet_t m_keyBackup;
    int m_nFilterCol = 0;
    QString m_strFilter;
    int m_nReloads = 0;
};
