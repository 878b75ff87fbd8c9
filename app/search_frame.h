// Page 0 of the main window: the search for devices over the maker's protocol or ONVIF,
// the device table, and the editor that changes the network settings of one device or
// gives the checked devices consecutive addresses.
#pragma once

#include <QFrame>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <memory>

#include "KVOnvif.h"
#include "KVNetTypes.h"

class QComboBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class QModelIndex;

class CheckBoxTableModel;
class CheckBoxTableView;
class DeviceInfo;
class DeviceInfoFrame;
class ImportExportFrame;
class LineEdit;
class ToolBarFrame;
class UpgradeFrame;

// Where the callbacks of one search deliver. The page detaches itself when it goes, so a
// search that outlives the page (the maker's search has no stop) finds nobody to fill.
struct SearchSink;

// The callback of both searches (in the clients' type through searchCallbackAdapter).
int KVNetSearchDevCallbackFun(const SearchDevRsp* record, void* user);

// Event types of this page (the tool's custom event numbers).
enum SearchFrameEvent {
    kSearchDoneEvent = 1002,
    kModifyDoneEvent = 1003,
};

class SearchFrame : public QFrame {
    Q_OBJECT

public:
    explicit SearchFrame(QWidget* parent = nullptr);
    ~SearchFrame() override;

    void SetUpgradeAndDeviceInfoFrame(UpgradeFrame* upgrade, DeviceInfoFrame* deviceInfo,
                                      ImportExportFrame* importExport);
    void SetToolBar(ToolBarFrame* toolBar) { m_pToolBar = toolBar; }

    void SearchOnLineDevice();
    void clearDeviceInfo();
    void OnProtocolTypeChangedResponce(int index);
    void setFilterCol(int column);
    void setFilterString(const QString& text);
    DeviceInfo* GetCurrentSelDevice();
    void GetUserAndPassword(QString& user, QString& password);

    // Reports of the device records: a row refresh, and with done the end of a job.
    // Callable from any thread; the model is touched in the GUI thread only.
    void updateTableView(DeviceInfo* record, bool wholeRow, bool done);
    bool isModifyIPDone();

    // Called by the search callback on the search's own thread.
    void addDeviceInfo(const SearchDevRsp* record);

    // Shutdown: stops the ONVIF search and detaches the page from any search still
    // running, so no callback reaches it afterwards.
    void quiesce();

    bool isSearching() const { return m_bSearching; }
    CheckBoxTableView* currentView() const { return m_pCurrentView; }
    CheckBoxTableModel* currentModel() const { return m_pCurrentModel; }
    int bottomRowMode() const { return m_nBottomRowMode; }
    bool isBatchMode() const { return m_bBatchMode; }

    static QString getNextIP(const QString& ip);

signals:
    void SearchFrameDoubleClick();
    // The table of a finished search is loaded (after event 1002 was handled).
    void searchLoaded();
    // The address jobs of the last Modify or Query have all reported (after event 1003).
    void modifyDone();

public slots:
    void onClickTableView(const QModelIndex& index);
    void onHeadCheckChanged(Qt::CheckState state);
    void OnBtnModifyClicked();
    void OnNetModeChanged(int nIndex);
    void OnDoubleClickTableView(const QModelIndex& index);
    void on_m_pBtnQuery_clicked();

protected:
    void customEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refreshRow(DeviceInfo* record, bool wholeRow);
    void setupForm();
    void CreateWidget();
    void CreateLayout();
    void CreateConnection();
    void InitText();

    void refreshDeviceInfo();
    void showOrHideBottomFrame(bool show);
    void ShowOneRowBottomFrame();
    void ShowTwoRowBottomFrame();
    void enterBatchMode();
    void leaveBatchMode();
    void clearEditor();
    void fillEditor(DeviceInfo* record, bool touchMode);
    void enableWidget(bool on);
    bool isOnvifProtocol() const;
    bool startJobs(QList<DeviceInfo*> records);
    void showWarning(int textId);

    // The form, object names as the page's form gives them.
    QVBoxLayout* m_pHBoxLayout = nullptr;
    QStackedWidget* m_pStackedWidget = nullptr;
    CheckBoxTableView* m_pNormalView = nullptr;
    CheckBoxTableView* m_pOnvifView = nullptr;
    QFrame* m_pBottomFrame = nullptr;
    QGroupBox* m_pGroupUserInfo = nullptr;
    QGroupBox* m_pGroupDevInfo = nullptr;
    QLabel* m_pLabelUserName = nullptr;
    QLabel* m_pLabelPassword = nullptr;
    LineEdit* m_pEditUserName = nullptr;
    LineEdit* m_pEditPassword = nullptr;
    QLabel* m_pLableIP = nullptr;
    QLineEdit* m_pEditIP = nullptr;
    QLabel* m_pLabelMediaPort = nullptr;
    QLineEdit* m_pEditPort = nullptr;
    QLabel* m_pLabelWebPort = nullptr;
    QLineEdit* m_pEditWebPort = nullptr;
    QLabel* m_pLabelGateway = nullptr;
    QLineEdit* m_pEditGateway = nullptr;
    QLabel* m_pLabelNetMask = nullptr;
    QLineEdit* m_pEditNetMask = nullptr;
    QLabel* m_pLabelNetWorkMode = nullptr;
    QComboBox* m_pComNetMode = nullptr;
    QPushButton* m_pBtnQuery = nullptr;
    QPushButton* m_pBtnModify = nullptr;
    QHBoxLayout* m_pBottomLayout = nullptr;

    CheckBoxTableModel* m_pSearchModel = nullptr;
    CheckBoxTableModel* m_pOnvifModel = nullptr;
    CheckBoxTableView* m_pCurrentView = nullptr;
    CheckBoxTableModel* m_pCurrentModel = nullptr;

    QList<DeviceInfo*> m_pendingRecords; // under m_mutex
    QList<DeviceInfo*> m_runningRecords; // under m_mutex
    QMutex m_mutex;

    bool m_bBottomShown = true;
    bool m_bBatchMode = false;
    int m_nBottomRowMode = 2;
    bool m_bSearching = false;
    bool m_bSearchOnvif = false; // protocol of the running search

    QHBoxLayout* m_pUserRowLayout = nullptr;
    QHBoxLayout* m_pDevRowLayout = nullptr;
    QGridLayout* m_pUserGridLayout = nullptr;
    QGridLayout* m_pDevGridLayout = nullptr;

    ToolBarFrame* m_pToolBar = nullptr;
    UpgradeFrame* m_pUpgradeFrame = nullptr;
    DeviceInfoFrame* m_pDeviceInfoFrame = nullptr;
    ImportExportFrame* m_pImportExportFrame = nullptr;

    KVOnvifSearchHandle m_onvifSearch = nullptr;
    std::shared_ptr<SearchSink> m_sink; // of the running (or last) search
};
