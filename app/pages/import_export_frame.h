// Page 4 of the main window: export the configuration of one checked device into a file,
// import a configuration file into every checked device of the file's type.
#pragma once

#include <QFrame>
#include <QList>
#include <QMutex>
#include <functional>

class CheckBoxTableModel;
class CheckBoxTableView;
class DeviceInfo;
class LineEdit;
class QLabel;
class QModelIndex;
class QPushButton;
class ToolBarFrame;

class ImportExportFrame : public QFrame {
    Q_OBJECT
public:
    explicit ImportExportFrame(QWidget* parent = nullptr);
    ~ImportExportFrame() override;

    void setToolBar(ToolBarFrame* toolBar) { m_pToolBar = toolBar; }
    // A search has ended: reload the table from the device list manager.
    void updateTableViewAll();
    void setFilterCol(int column);
    void setFilterString(const QString& text);
    // A record of the running batch reports: its row is refreshed; the controls and the
    // tool bar come back once every record of the batch has ended.
    void updateTableView(DeviceInfo* record, bool done);
    // True while a batch of this page still runs.
    bool isRunning();

    // The open-file dialog of the import (parent, caption) -> path; the tool's dialog
    // unless replaced (tests).
    using OpenFileDialog = std::function<QString(QWidget*, const QString&)>;
    static void setOpenFileDialog(OpenFileDialog dialog);

    CheckBoxTableView* view() const { return m_pDeviceTableView; }
    CheckBoxTableModel* model() const { return m_pModel; }
    const QList<DeviceInfo*>& jobs() const { return m_listJobs; }
    // How often a finished search asked the page to reload its table.
    int reloadCount() const { return m_nReloads; }
    QPushButton* exportButton() const { return m_pBtnExport; }
    QPushButton* importButton() const { return m_pBtnImport; }
    LineEdit* userEdit() const { return m_pEditUserName; }
    LineEdit* passwordEdit() const { return m_pEditPassword; }

public slots:
    void OnClickExport();
    void OnClickImport();
    void onClickTableView(const QModelIndex& index);

protected:
    void customEvent(QEvent* event) override;

private:
    void setupForm();
    void CreateWidget();
    void CreateConnection();
    void InitText();
    void enableWidget(bool on);
    void message(int textId, int buttons, int icon);

    QMutex m_mutex;
    QList<DeviceInfo*> m_listJobs;
    CheckBoxTableView* m_pDeviceTableView = nullptr;
    QLabel* m_pLabelUserName = nullptr;
    LineEdit* m_pEditUserName = nullptr;
    QLabel* m_pLabelPassword = nullptr;
    LineEdit* m_pEditPassword = nullptr;
    QPushButton* m_pBtnExport = nullptr;
    QPushButton* m_pBtnImport = nullptr;
    CheckBoxTableModel* m_pModel = nullptr;
    ToolBarFrame* m_pToolBar = nullptr;
    int m_nReloads = 0;
};
