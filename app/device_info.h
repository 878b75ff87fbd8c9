// One found device: its search record, the job fields the pages fill, the status the
// tables show, and the jobs that log in to it and run one operation.
//
// Threads: job functions run on the worker pool and only start work (a login, or the
// whole address change); every field is written on the GUI thread, from the events the
// jobs and the clients' callbacks post to the record.
#pragma once

#include <QEvent>
#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QString>
#include <functional>
#include <mutex>
#include <vector>

#include "KVNet.h"

class SearchFrame;
class UpgradeFrame;
class DeviceInfoFrame;
class ImportExportFrame;

// The tool's search callbacks return whether they took the record; the clients' callback
// type has no result. searchCallbackAdapter<F> is F in the clients' type, for
// KVNetSearchDevParam::callback (both searches take it).
using ToolSearchCallback = int (*)(const SearchDevRsp*, void*);
template <ToolSearchCallback F>
void searchCallbackAdapter(const SearchDevRsp* rsp, void* user)
{
    (void)F(rsp, user);
}

// Event 1000: the final code of a connection attempt.
class QConnectEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = QEvent::Type(1000);
    explicit QConnectEvent(int code) : QEvent(kType), m_nCode(code) {}
    int m_nCode;
};

// Event 1001: an upgrade code. For a channel's progress record (code 402) value is the
// channel's percentage, extra its channel number and state its finished byte.
class QUpgradeEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = QEvent::Type(1001);
    QUpgradeEvent(int code, int value, int extra, int state = 0)
        : QEvent(kType), m_nCode(code), m_nValue(value), m_nExtra(extra), m_nState(state) {}
    int m_nCode;
    int m_nValue;
    int m_nExtra;
    int m_nState;
};

class DeviceInfo : public QObject {
    Q_OBJECT
public:
    // Pending operation codes.
    enum Operation : unsigned {
        OpModifyIP = 0, OpUpgrade = 1, OpModifyDeviceInfo = 2, OpLoadDefault = 3,
        OpPtzRestore = 4, OpExport = 5, OpImport = 6, OpEnableNTP = 7,
        OpOnvifModifyIP = 8, OpOnvifQueryIP = 9, OpQueryVersion = 10, OpMatchVersion = 11
    };
    // Device status codes (getStatus shows each by its text).
    enum Status : int {
        StNone = -1, StLoggedIn = 0, StLoginFailed = 1, StNoSuchUser = 2, StWrongPassword = 3,
        StWorking = 4, StDone = 5, StFailed = 6, StUpgradeClosed = 7, StUpgradeOK = 8,
        StUpgradeEnded = 9, StUpgradeReadFail = 10, StUpgradeInvalidFile = 11,
        StUpgrading = 12, StUpgradeVersionError = 13, StUpgradeBusy = 14, StWritingFlash = 15,
        StExported = 16, StUnused17 = 17, StImported = 18, StImportFailed = 19,
        StQueryDone = 20, StQueryFailed = 21
    };

    explicit DeviceInfo(QObject* parent = nullptr);
    // Stops what is still open (upgrade before its session); the manager only destroys
    // records that are not busy, so this is the exit path.
    ~DeviceInfo() override;

    // Setters (GUI thread; updateDeviceInfo also on the search thread before the record
    // is published).
    void updateDeviceInfo(const SearchDevRsp* rsp, bool onvif);
    void updateUserAndPassword(const QString& user, const QString& password);
    void updateSearchIPInfo(const QString& ip, unsigned short mediaPort, unsigned short webPort,
                            const QString& gateway, const QString& netmask, unsigned mode);
    void updateKeyIDAndBoardID(const QString& keyId, const QString& boardId);
    void updateKeyBackupParam(const KVNet_KeyBackupSet_t& block);

    // Getters.
    QString getStatus() const;
    QString getNetworkModeString() const;
    QString getDevP2PID() const;
    int getChannelNum() const;
    QString startMatchVersionNum() const;
    // Bounded texts of the search record.
    QString ipText() const;
    QString maskText() const;
    QString gatewayText() const;
    QString devNameText() const;
    QString versionText() const;
    QString devTypeText() const;
    QString devType2Text() const;
    QString macText() const;

    // True while anything may still reach the record: a queued or running job, an open
    // connection or upgrade, or an operation running in the GUI thread.
    bool isBusy() const;
    // Takes the busy records out of a page's batch (a job on one would be refused by the
    // record and never report back); returns how many were taken out.
    static int dropBusy(QList<DeviceInfo*>& records);

    // Job functions: queued on the worker pool with the record as argument.
    static void doModifyIPWork(void* record);
    static void doUpgradeWork(void* record);
    static void doModifyDeviceInfoWork(void* record);
    static void doLoadDefaultWork(void* record);
    static void doPtzRestoreWork(void* record);
    static void doExportWork(void* record);
    static void doImportWork(void* record);
    static void doEnableNTPWork(void* record);
    static void doOnvifModifyIPWork(void* record);
    static void doOnvifQueryIPWork(void* record);
    static void doQueryVersionNumWork(void* record);
    static void doMatchVersionNumWork(void* record);

    // Operations. loginDevice and modifyDevice run on a worker; the rest in the GUI thread,
    // where startUpgradeDevice hands the start, and the upgrade's end its stops, to a worker.
    void loginDevice(unsigned operation);
    void modifyDevice();
    void logoutDevice();
    void startUpgradeDevice();
    void stopUpgradeDevice();
    void startModifyDeviceInfo();
    int startLoadDefault();
    void startPtzRestore();
    int startExportDevice();
    void startImportDevice();
    void startEnableNTP();
    void startOnvifModifyDevice();
    void startOnvifQueryDevice();
    void startQueryVersionNum();

    // Client callbacks.
    static void connectionCallbackFun(unsigned code, void* user);
    static void upgradeCallback(unsigned code, void* data, void* user);
    static void exportBackupCallback(void* data, unsigned size, void* user);

    // How the record reaches its pages: each page installs its own function, so the record
    // needs none of the pages' classes. Calls happen in the GUI thread.
    struct PageHooks {
        void (*search)(SearchFrame* page, DeviceInfo* record, bool wholeRow, bool done) = nullptr;
        void (*upgrade)(UpgradeFrame* page, DeviceInfo* record, bool done) = nullptr;
        void (*deviceInfo)(DeviceInfoFrame* page, DeviceInfo* record, bool done) = nullptr;
        void (*importExport)(ImportExportFrame* page, DeviceInfo* record, bool done) = nullptr;
    };
    static void setPageHooks(const PageHooks& hooks);
    static PageHooks pageHooks();
    // The save-file dialog of the export (caption, default name, filter) -> path; the
    // platform's dialog unless replaced (tests).
    using SaveFileDialog = std::function<QString(const QString&, const QString&, const QString&)>;
    static void setSaveFileDialog(SaveFileDialog dialog);

    // Fields (the pages write some of them directly).
    SearchDevRsp m_searchRsp;
    unsigned m_nOperation = 0;
    int m_nStatus = StNone;
    int m_nProgress = -1;
    SearchFrame* m_pSearchFrame = nullptr;
    unsigned m_nSearchCheck = 0;
    QModelIndex m_searchIndex;
    QString m_strNewIP;
    unsigned short m_nNewMediaPort = 0;
    unsigned short m_nNewWebPort = 0;
    QString m_strUser;
    QString m_strPassword;
    QString m_strNewGateway;
    QString m_strNewNetmask;
    unsigned m_nNewNetMode = 2;
    UpgradeFrame* m_pUpgradeFrame = nullptr;
    unsigned m_nUpgradeCheck = 0;
    QModelIndex m_upgradeIndex;
    QString m_strFirmwarePath;
    void* m_hConnection = nullptr;
    DevRemoteUpgrade* m_hUpgrade = nullptr;
    QString m_strQueriedVersion;
    QString m_strWantedVersion;
    QString m_strImportPath;
    QModelIndex m_importIndex;
    unsigned m_nImportCheck = 0;
    DeviceInfoFrame* m_pDeviceInfoFrame = nullptr;
    unsigned m_nDevInfoCheck = 0;
    QModelIndex m_devInfoIndex;
    QString m_strKeyID;
    QString m_strBoardID;
    KVNet_KeyBackupSet_t m_keyBackup;
    ImportExportFrame* m_pImportExportFrame = nullptr;
    bool m_bOnvif = false;

    // Set by DeviceInfoMng when the record left the list while busy: the record asks to
    // be freed once its work has ended.
    bool m_bRetired = false;

protected:
    void customEvent(QEvent* event) override;

private:
    // StartingUpgrade and ClosingUpgrade: a worker starts the upgrade, or stops it and its
    // session, so the GUI thread never waits for the client's threads.
    enum class Phase { Idle, AwaitLogin, StartingUpgrade, Upgrading, ClosingUpgrade };
    struct UpgradeJob;
    static void doStartUpgradeJob(void* job);
    static void doCloseUpgradeJob(void* job);
    void onUpgradeStarted(void* handle);
    void closeUpgradeOnWorker(int status, bool allPages);
    void onUpgradeClosed(int status, bool allPages);
    // A worker is starting or closing the upgrade and uses the record's handles.
    bool workerHoldsHandles() const
    {
        return m_phase == Phase::StartingUpgrade || m_phase == Phase::ClosingUpgrade;
    }

    void onJobStarted(unsigned operation, void* handle);
    void onConnectionResult(int code);
    void onUpgradeEvent(const QUpgradeEvent& e);
    void onModifyResult(int result);
    void runOperation();
    void tellPages();
    void tellUpgradePage(bool done);
    void reapIfRetired();

    Phase m_phase = Phase::Idle;
    int m_nInOperation = 0;     // GUI-thread operations running (they may spin event loops)
    bool m_bExportWritten = false;
    // Orders the job's "started" event before any code of the connection it started: the
    // worker holds it across the start and its post, a callback across its post.
    std::mutex m_startMutex;
    // Upgrade codes that arrived while the worker was still starting the upgrade; they are
    // handled, in order, once its handle is here.
    std::vector<QUpgradeEvent> m_earlyUpgradeEvents;
};
