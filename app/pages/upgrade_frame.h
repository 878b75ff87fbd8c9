// Page 1 of the main window: one firmware file sent to every checked device; in edition
// 13 also the devices' versions read and compared with a typed one.
#pragma once

#include <QFrame>
#include <QList>
#include <QMutex>

class CheckBoxTableModel;
class CheckBoxTableView;
class DeviceInfo;
class LineEdit;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class ToolBarFrame;

class UpgradeFrame : public QFrame {
    Q_OBJECT
public:
    explicit UpgradeFrame(QWidget* parent = nullptr);
    ~UpgradeFrame() override;

    void setToolBar(ToolBarFrame* toolBar) { m_pToolBar = toolBar; }
    // A record's report: a row refresh, and with done the end of its job.
    void updateTableView(DeviceInfo* record, bool done);
    // A search has ended: reload the table from the device list manager.
    void updateTableViewAll();
    void setFilterCol(int column);
    void setFilterString(const QString& text);

    CheckBoxTableView* view() const { return m_pDeviceTableView; }
    CheckBoxTableModel* model() const { return m_pModel; }
    QList<DeviceInfo*> jobs();
    int reloadCount() const { return m_nReloads; }

    QLineEdit* m_pEditFilePath = nullptr;
    QPushButton* m_pBtnOpenFile = nullptr;
    LineEdit* m_pEditUserName = nullptr;
    LineEdit* m_pEditPassword = nullptr;
    LineEdit* m_pEditVersion = nullptr;
    QPushButton* m_pBtnMatch = nullptr;
    QPushButton* m_pBtnUpgrade = nullptr;
    QPushButton* m_pBtnQuery = nullptr;

public slots:
    void OnClickOpenFile();
    void OnClickUpgrade();
    void onClickTableView(const QModelIndex& index);
    void on_m_pBtnQuery_clicked();
    void on_m_pBtnMatch_clicked();

protected:
    void customEvent(QEvent* event) override;

private:
    void setupForm();
    void CreateWidget();
    void CreateConnection();
    void InitText();
    void enableWidget(bool on);
    void warn(int textId, int titleId);
    // Marks the checked records for a job and returns them; empty (after text 51) when
    // none is checked.
    bool takeChecked(int titleId);
    void prepare(DeviceInfo* record);

    QMutex m_mutex;
    QList<DeviceInfo*> m_listJobs;
    CheckBoxTableView* m_pDeviceTableView = nullptr;
    QLabel* m_pLabelFile = nullptr;
    QLabel* m_pLabelUserName = nullptr;
    QLabel* m_pLabelPassword = nullptr;
    QLabel* m_pLabelVersion = nullptr;
    CheckBoxTableModel* m_pModel = nullptr;
    ToolBarFrame* m_pToolBar = nullptr;
    int m_nReloads = 0;
};
