#include "device_info.h"

#include <QCoreApplication>
#include <algorithm>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "EventLoop.h"
#include "KVOnvif.h"
#include "device_info_blocks.h"
#include "device_info_mng.h"
#include "device_shell_access.h"

namespace {

// Internal events of the record (not among the tool's numbered ones).
const QEvent::Type kJobStartedEvent = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kModifyResultEvent = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kUpgradeStartedEvent = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kUpgradeClosedEvent = QEvent::Type(QEvent::registerEventType());

class JobStartedEvent : public QEvent {
public:
    JobStartedEvent(unsigned op, void* h) : QEvent(kJobStartedEvent), operation(op), handle(h) {}
    unsigned operation;
    void* handle;
};

class ModifyResultEvent : public QEvent {
public:
    explicit ModifyResultEvent(int r) : QEvent(kModifyResultEvent), result(r) {}
    int result;
};

class UpgradeStartedEvent : public QEvent {
public:
    explicit UpgradeStartedEvent(void* h) : QEvent(kUpgradeStartedEvent), handle(h) {}
    void* handle;
};

class UpgradeClosedEvent : public QEvent {
public:
    UpgradeClosedEvent(int s, bool all) : QEvent(kUpgradeClosedEvent), status(s), allPages(all) {}
    int status;
    bool allPages;
};

std::mutex g_hookMutex;
DeviceInfo::PageHooks g_hooks;
DeviceInfo::SaveFileDialog g_saveDialog;

// Upgrade codes of the client's upgrade callback.
enum : int {
    kUpgradeClosed = 390, kUpgradeOK = 391, kUpgradeReadFileFail = 392, kUpgradeInvalidFile = 393,
    kUpgradePercent = 394, kUpgradeVerError = 395, kUpgrading = 396, kUpgradeIPCPercent = 402,
    kWriteFlashInProgress = 764
};

// Capability word of the device information block: bit 1 = the newer upgrade type.
constexpr int kDevInfoSize = 1232;
constexpr int kCapabilityOffset = 572;

} // namespace

DeviceInfo::DeviceInfo(QObject* parent) : QObject(parent)
{
    std::memset(&m_searchRsp, 0, sizeof m_searchRsp);
    std::memset(&m_keyBackup, 0, sizeof m_keyBackup);
    m_strUser = kvshell::defaultUser();
    m_strPassword = kvshell::defaultPassword();
}

DeviceInfo::~DeviceInfo()
{
    stopUpgradeDevice();
    logoutDevice();
}

// ---- setters and getters ----

void DeviceInfo::updateDeviceInfo(const SearchDevRsp* rsp, bool onvif)
{
    if (!rsp)
        return;
    std::memcpy(&m_searchRsp, rsp, sizeof m_searchRsp);
    m_bOnvif = onvif;
    if (onvif) {
        // The ONVIF search fills none of these; whatever it left there is not the device's.
        auto* bytes = reinterpret_cast<uint8_t*>(&m_searchRsp);
        std::memset(bytes + offsetof(SearchDevRsp, szP2PID), 0,
                    sizeof m_searchRsp - offsetof(SearchDevRsp, szP2PID));
        m_searchRsp.nNetMode = 2;
        m_searchRsp.nMediaPort = 0;
    }
}

void DeviceInfo::updateUserAndPassword(const QString& user, const QString& password)
{
    m_strUser = user.isEmpty() ? kvshell::defaultUser() : user;
    m_strPassword = password.isEmpty() ? kvshell::defaultPassword() : password;
}

void DeviceInfo::updateSearchIPInfo(const QString& ip, unsigned short mediaPort, unsigned short webPort,
                                    const QString& gateway, const QString& netmask, unsigned mode)
{
    m_strNewIP = ip.isEmpty() ? ipText() : ip;
    m_nNewMediaPort = mediaPort ? mediaPort : static_cast<unsigned short>(m_searchRsp.nMediaPort);
    m_nNewWebPort = webPort ? webPort : static_cast<unsigned short>(m_searchRsp.nWebPort);
    m_strNewGateway = gateway.isEmpty() ? gatewayText() : gateway;
    m_strNewNetmask = netmask.isEmpty() ? maskText() : netmask;
    m_nNewNetMode = mode;
}

void DeviceInfo::updateKeyIDAndBoardID(const QString& keyId, const QString& boardId)
{
    m_strKeyID = keyId;
    m_strBoardID = boardId;
}

void DeviceInfo::updateKeyBackupParam(const KVNet_KeyBackupSet_t& block)
{
    std::memcpy(&m_keyBackup, &block, sizeof m_keyBackup);
}

QString DeviceInfo::getStatus() const
{
    static const int kTextOf[] = {15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                                  26, 27, 28, 29, 30, 121, 122, 123, 124, 140, 141};
    if (m_nStatus < 0 || m_nStatus >= int(sizeof kTextOf / sizeof kTextOf[0]))
        return QString();
    const QString text = kvshell::text(kTextOf[m_nStatus]);
    if (m_nStatus == StUpgrading)
        return QStringLiteral("%1%2").arg(text).arg(m_nProgress);
    return text;
}

QString DeviceInfo::getNetworkModeString() const
{
    switch (m_searchRsp.nNetMode) {
    case 0: return kvshell::text(56);
    case 1: return kvshell::text(57);
    case 2: return kvshell::text(58);
    default: return kvshell::text(55);
    }
}

QString DeviceInfo::getDevP2PID() const
{
    const char c = m_searchRsp.szP2PID[0];
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return alnum ? kvdev::fieldText(m_searchRsp.szP2PID) : QString();
}

int DeviceInfo::getChannelNum() const
{
    if (m_searchRsp.nChannelCount8 > 0)
        return m_searchRsp.nChannelCount8;
    return int(m_searchRsp.nChannelCount);
}

QString DeviceInfo::startMatchVersionNum() const
{
    if (m_strWantedVersion.isEmpty() || m_strQueriedVersion.isEmpty())
        return QString();
    return kvshell::text(m_strWantedVersion == m_strQueriedVersion ? 146 : 147);
}

QString DeviceInfo::ipText() const { return kvdev::fieldText(m_searchRsp.szIP); }
QString DeviceInfo::maskText() const { return kvdev::fieldText(m_searchRsp.szMask); }
QString DeviceInfo::gatewayText() const { return kvdev::fieldText(m_searchRsp.szGateway); }
QString DeviceInfo::devNameText() const { return kvdev::fieldText(m_searchRsp.szDevName); }
QString DeviceInfo::versionText() const { return kvdev::fieldText(m_searchRsp.szVersion); }
QString DeviceInfo::devTypeText() const { return kvdev::fieldText(m_searchRsp.szDevType); }
QString DeviceInfo::devType2Text() const { return kvdev::fieldText(m_searchRsp.szDevType2); }
QString DeviceInfo::macText() const { return kvdev::fieldText(m_searchRsp.szMac); }

bool DeviceInfo::isBusy() const
{
    return m_nStatus == StWorking || m_hConnection || m_hUpgrade || m_phase != Phase::Idle ||
           m_nInOperation > 0;
}

int DeviceInfo::dropBusy(QList<DeviceInfo*>& records)
{
    const int before = records.size();
    records.erase(std::remove_if(records.begin(), records.end(), [](DeviceInfo* r) { return r->isBusy(); }),
                  records.end());
    return before - records.size();
}

// ---- hooks ----

void DeviceInfo::setPageHooks(const PageHooks& hooks)
{
    std::lock_guard<std::mutex> lk(g_hookMutex);
    g_hooks = hooks;
}

DeviceInfo::PageHooks DeviceInfo::pageHooks()
{
    std::lock_guard<std::mutex> lk(g_hookMutex);
    return g_hooks;
}

void DeviceInfo::setSaveFileDialog(SaveFileDialog dialog)
{
    std::lock_guard<std::mutex> lk(g_hookMutex);
    g_saveDialog = std::move(dialog);
}

// ---- job functions (worker pool) ----

void DeviceInfo::doModifyIPWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->modifyDevice(); }
void DeviceInfo::doUpgradeWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpUpgrade); }
void DeviceInfo::doModifyDeviceInfoWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpModifyDeviceInfo); }
void DeviceInfo::doLoadDefaultWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpLoadDefault); }
void DeviceInfo::doPtzRestoreWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpPtzRestore); }
void DeviceInfo::doExportWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpExport); }
void DeviceInfo::doImportWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpImport); }
void DeviceInfo::doEnableNTPWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpEnableNTP); }
void DeviceInfo::doOnvifModifyIPWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpOnvifModifyIP); }
void DeviceInfo::doOnvifQueryIPWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpOnvifQueryIP); }
void DeviceInfo::doQueryVersionNumWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpQueryVersion); }
void DeviceInfo::doMatchVersionNumWork(void* r) { if (r) static_cast<DeviceInfo*>(r)->loginDevice(OpMatchVersion); }

void DeviceInfo::loginDevice(unsigned operation)
{
    // The page wrote these before it queued the job and leaves them alone while it runs.
    const QByteArray addr = ipText().toLatin1();
    const QByteArray user = m_strUser.toUtf8();
    const QByteArray pwd = m_strPassword.toUtf8();
    KVNetConnectionParam p;
    std::memset(&p, 0, sizeof p);
    p.szAddr = addr.constData();
    p.nPort = m_bOnvif ? m_searchRsp.nWebPort : m_searchRsp.nMediaPort;
    p.szUser = user.constData();
    p.szPwd = pwd.constData();
    p.pUser = this;
    p.msgCallback = &DeviceInfo::connectionCallbackFun;
    p.nLoginVariant = static_cast<uint8_t>(kvshell::loginVariant());
    // Never the password.
    qDebug().noquote() << (m_bOnvif ? "===onvif connect device:" : "connect device:") << addr << p.nPort
                       << m_strUser;

    std::lock_guard<std::mutex> lk(m_startMutex);
    void* handle = m_bOnvif ? KVOnvifConnectionStart(&p) : static_cast<void*>(KVNetConnectionStartEx(&p));
    QCoreApplication::postEvent(this, new JobStartedEvent(operation, handle));
}

void DeviceInfo::modifyDevice()
{
    kvdev::ReaddressInput in;
    in.user = m_strUser;
    in.password = m_strPassword;
    in.newIP = m_strNewIP;
    in.newMask = m_strNewNetmask;
    in.newGateway = m_strNewGateway;
    in.mediaPort = m_nNewMediaPort;
    in.webPort = m_nNewWebPort;
    in.netMode = m_nNewNetMode;
    const KVNetSetNewDevInfoExParam req = kvdev::buildReaddressRequest(m_searchRsp, in);
    const int result = KVNetSetNewDevInfoEx(&req);
    // The GUI thread stores the outcome: the tables read these fields there.
    QCoreApplication::postEvent(this, new ModifyResultEvent(result));
}

// ---- client callbacks ----

void DeviceInfo::connectionCallbackFun(unsigned code, void* user)
{
    auto* rec = static_cast<DeviceInfo*>(user);
    if (!rec)
        return;
    const bool final = code == KVNetMsgConnectFail || code == KVNetMsgLoginSuccess ||
                       (code >= 102 && code <= 112) || code == KVNetMsgAdminIsLogin;
    if (!final)
        return;
    std::lock_guard<std::mutex> lk(rec->m_startMutex);
    QCoreApplication::postEvent(rec, new QConnectEvent(int(code)));
}

void DeviceInfo::upgradeCallback(unsigned code, void* data, void* user)
{
    auto* rec = static_cast<DeviceInfo*>(user);
    if (!rec)
        return;
    if (int(code) == kUpgradeIPCPercent) {
        if (!data)
            return;
        KVNetUpgradeIPCProgress item;
        std::memcpy(&item, data, sizeof item); // the device's bytes need not be aligned
        QCoreApplication::postEvent(rec, new QUpgradeEvent(kUpgradeIPCPercent, int(int8_t(item.progress)),
                                                           int(item.channel), int(int8_t(item.state))));
        return;
    }
    QCoreApplication::postEvent(rec, new QUpgradeEvent(int(code), int(reinterpret_cast<intptr_t>(data)), -1));
}

void DeviceInfo::exportBackupCallback(void* data, unsigned size, void* user)
{
    auto* rec = static_cast<DeviceInfo*>(user);
    if (!rec || !kvdev::exportRecordValid(data, size))
        return;
    KVNetBackupRecord head;
    std::memcpy(&head, data, sizeof head);
    const QString caption = kvshell::text(115);
    const QString defaultName = rec->devTypeText() + QStringLiteral(".txt");
    const QString filter = QObject::tr("Export File (*.txt)");
    SaveFileDialog dialog;
    {
        std::lock_guard<std::mutex> lk(g_hookMutex);
        dialog = g_saveDialog;
    }
    const QString path = dialog ? dialog(caption, defaultName, filter)
                                : QFileDialog::getSaveFileName(nullptr, caption, defaultName, filter);
    if (path.isEmpty())
        return;
    // A half-written backup must never replace a good one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const char* bytes = static_cast<const char*>(data) + KVNET_BACKUP_HEAD_SIZE;
    if (file.write(bytes, qint64(head.DataLen)) != qint64(head.DataLen) || !file.commit())
        return;
    rec->m_bExportWritten = true;
    rec->m_nStatus = StExported;
}

// ---- the dispatcher (GUI thread) ----

void DeviceInfo::customEvent(QEvent* event)
{
    const QEvent::Type t = event->type();
    if (t == kJobStartedEvent) {
        auto* e = static_cast<JobStartedEvent*>(event);
        onJobStarted(e->operation, e->handle);
    } else if (t == QConnectEvent::kType) {
        onConnectionResult(static_cast<QConnectEvent*>(event)->m_nCode);
    } else if (t == QUpgradeEvent::kType) {
        onUpgradeEvent(*static_cast<QUpgradeEvent*>(event));
    } else if (t == kUpgradeStartedEvent) {
        onUpgradeStarted(static_cast<UpgradeStartedEvent*>(event)->handle);
    } else if (t == kUpgradeClosedEvent) {
        auto* e = static_cast<UpgradeClosedEvent*>(event);
        onUpgradeClosed(e->status, e->allPages);
    } else if (t == kModifyResultEvent) {
        onModifyResult(static_cast<ModifyResultEvent*>(event)->result);
    } else {
        return;
    }
    reapIfRetired();
}

void DeviceInfo::onJobStarted(unsigned operation, void* handle)
{
    if (m_phase != Phase::Idle || m_hConnection) {
        // A job while another still holds the record: its connection would be lost, so
        // it is closed at once and does not disturb the running one.
        qWarning() << "device job refused: another job is running for" << ipText();
        if (handle) {
            if (m_bOnvif)
                KVOnvifConnectionStop(&handle);
            else {
                auto* h = static_cast<DevConnection*>(handle);
                KVNetConnectionStop(&h);
            }
        }
        return;
    }
    m_nOperation = operation;
    m_hConnection = handle;
    m_phase = Phase::AwaitLogin;
    if (!handle)
        onConnectionResult(KVNetMsgConnectFail); // nothing will ever call back
}

void DeviceInfo::onConnectionResult(int code)
{
    // Only the first result of a job counts; a later one (a second round of the session,
    // or codes posted before the stop) finds the record idle.
    if (m_phase != Phase::AwaitLogin)
        return;
    m_phase = Phase::Idle;
    if (code == KVNetMsgLoginSuccess) {
        m_nStatus = StLoggedIn;
        ++m_nInOperation;
        runOperation();
        --m_nInOperation;
        // The pages hear of an upgrade's login once the worker has started it (or failed).
        if (m_phase == Phase::StartingUpgrade)
            return;
        if (m_phase != Phase::Upgrading)
            logoutDevice();
    } else {
        m_nStatus = code == KVNetMsgLoginNoUserName ? StNoSuchUser
                  : code == KVNetMsgLoginPasswordError ? StWrongPassword : StLoginFailed;
        logoutDevice();
    }
    tellPages();
}

void DeviceInfo::runOperation()
{
    // A handle of one client never goes to the other's calls: an ONVIF session can only
    // read or change the network settings, a maker's session cannot do that over ONVIF.
    const bool onvifOp = m_nOperation == OpOnvifModifyIP || m_nOperation == OpOnvifQueryIP;
    if (m_nOperation != OpMatchVersion && m_nOperation != OpModifyIP && onvifOp != m_bOnvif) {
        m_nStatus = m_nOperation == OpImport ? StImportFailed
                  : (m_nOperation == OpQueryVersion || m_nOperation == OpOnvifQueryIP) ? StQueryFailed
                  : StFailed;
        return;
    }
    switch (m_nOperation) {
    case OpUpgrade: startUpgradeDevice(); break;
    case OpModifyDeviceInfo: startModifyDeviceInfo(); break;
    case OpLoadDefault: startLoadDefault(); break;
    case OpPtzRestore: startPtzRestore(); break;
    case OpExport: startExportDevice(); break;
    case OpImport: startImportDevice(); break;
    case OpEnableNTP: startEnableNTP(); break;
    case OpOnvifModifyIP: startOnvifModifyDevice(); break;
    case OpOnvifQueryIP: startOnvifQueryDevice(); break;
    case OpQueryVersion: startQueryVersionNum(); break;
    default: break; // 0 never logs in; 11 only compares texts
    }
}

void DeviceInfo::onUpgradeEvent(const QUpgradeEvent& e)
{
    // Codes can overtake the worker's report that the upgrade started: kept until then.
    if (m_phase == Phase::StartingUpgrade) {
        m_earlyUpgradeEvents.push_back(e);
        return;
    }
    // Events posted before the upgrade was stopped may still arrive: they are stale.
    if (m_phase != Phase::Upgrading)
        return;
    switch (e.m_nCode) {
    case kUpgradePercent:
        m_nProgress = e.m_nValue;
        m_nStatus = StUpgrading;
        tellUpgradePage(false);
        return;
    case kUpgradeIPCPercent:
        // One channel's progress: shown, never the end of the upgrade (the client reports
        // the end with its own final code).
        m_nProgress = e.m_nValue;
        m_nStatus = StUpgrading;
        tellUpgradePage(false);
        return;
    case kWriteFlashInProgress:
        m_nStatus = StWritingFlash;
        tellUpgradePage(false);
        return;
    default:
        break;
    }
    int status;
    switch (e.m_nCode) {
    case kUpgradeClosed: status = StUpgradeClosed; break;
    case kUpgradeOK: status = StUpgradeOK; break;
    case kUpgradeReadFileFail: status = StUpgradeReadFail; break;
    case kUpgradeInvalidFile: status = StUpgradeInvalidFile; break;
    case kUpgradeVerError: status = StUpgradeVersionError; break;
    case kUpgrading: status = StUpgradeBusy; break;
    default: status = StUpgradeEnded; break;
    }
    closeUpgradeOnWorker(status, false);
}

void DeviceInfo::onModifyResult(int result)
{
    if (result) {
        // The whole address field is cleared: only its first 16 bytes take the new text.
        std::memset(m_searchRsp.szIP, 0, sizeof m_searchRsp.szIP);
        kvdev::copyText16(m_searchRsp.szIP, m_strNewIP);
        kvdev::copyText16(m_searchRsp.szGateway, m_strNewGateway);
        kvdev::copyText16(m_searchRsp.szMask, m_strNewNetmask);
        m_searchRsp.nMediaPort = m_nNewMediaPort;
        m_searchRsp.nWebPort = m_nNewWebPort;
        m_searchRsp.nNetMode = m_nNewNetMode;
    }
    m_nStatus = result ? StDone : StFailed;
    const PageHooks h = pageHooks();
    if (m_pSearchFrame && h.search)
        h.search(m_pSearchFrame, this, result != 0, true);
    if (m_pDeviceInfoFrame && h.deviceInfo)
        h.deviceInfo(m_pDeviceInfoFrame, this, true);
}

void DeviceInfo::tellPages()
{
    const PageHooks h = pageHooks();
    if (m_pSearchFrame && h.search)
        h.search(m_pSearchFrame, this, true, true);
    if (m_pUpgradeFrame && h.upgrade)
        h.upgrade(m_pUpgradeFrame, this, true);
    if (m_pDeviceInfoFrame && h.deviceInfo)
        h.deviceInfo(m_pDeviceInfoFrame, this, true);
    if (m_pImportExportFrame && h.importExport)
        h.importExport(m_pImportExportFrame, this, true);
}

void DeviceInfo::tellUpgradePage(bool done)
{
    const PageHooks h = pageHooks();
    if (m_pUpgradeFrame && h.upgrade)
        h.upgrade(m_pUpgradeFrame, this, done);
}

void DeviceInfo::reapIfRetired()
{
    if (m_bRetired && !isBusy())
        DeviceInfoMng::getInstance()->releaseRetired(this);
}

// ---- operations (GUI thread after the login; the upgrade's start and stop on a worker) ----

void DeviceInfo::logoutDevice()
{
    if (!m_hConnection || workerHoldsHandles())
        return;
    if (m_bOnvif) {
        KVOnvifConnectionStop(&m_hConnection);
    } else {
        auto* h = static_cast<DevConnection*>(m_hConnection);
        KVNetConnectionStop(&h);
    }
    m_hConnection = nullptr;
}

// What a worker needs to start or to close one record's upgrade. The record stays alive
// meanwhile: its phase keeps it busy, and the manager frees no busy record.
struct DeviceInfo::UpgradeJob {
    DeviceInfo* record = nullptr;
    DevConnection* conn = nullptr;
    DevRemoteUpgrade* upgrade = nullptr;
    QByteArray path;
    int status = StNone;
    bool allPages = false;
};

namespace {

void runOnPool(WorkFunc fn, void* job)
{
    EventLoop* pool = EventLoop::getLoop();
    if (!pool || !pool->addWork(fn, job))
        fn(job); // a stopped pool (shutdown): done here rather than never
}

} // namespace

void DeviceInfo::startUpgradeDevice()
{
    m_nProgress = 0;
    auto* job = new UpgradeJob;
    job->record = this;
    job->conn = static_cast<DevConnection*>(m_hConnection);
    job->path = m_strFirmwarePath.toUtf8();
    m_earlyUpgradeEvents.clear();
    m_phase = Phase::StartingUpgrade;
    runOnPool(&DeviceInfo::doStartUpgradeJob, job);
}

// Worker: reading the device information and starting the upgrade task both wait on the
// client; the record's fields are left to the GUI thread, which gets the handle by event.
void DeviceInfo::doStartUpgradeJob(void* p)
{
    std::unique_ptr<UpgradeJob> job(static_cast<UpgradeJob*>(p));
    std::vector<uint8_t> info(kDevInfoSize, 0);
    uint32_t type = 3;
    if (KVNetGetDevInfo(job->conn, info.data(), kDevInfoSize)) {
        uint32_t caps;
        std::memcpy(&caps, info.data() + kCapabilityOffset, 4);
        if (caps & 0x2u)
            type = 7;
    }
    KVNetRemoteUpgradeParam up;
    std::memset(&up, 0, sizeof up);
    up.path = job->path.isEmpty() ? nullptr : job->path.constData(); // no file chosen: nothing to send
    up.callback = &DeviceInfo::upgradeCallback;
    up.user = job->record;
    up.type = type;
    DevRemoteUpgrade* h = KVNetStartRemoteUpgrade(job->conn, &up);
    QCoreApplication::postEvent(job->record, new UpgradeStartedEvent(h));
}

void DeviceInfo::onUpgradeStarted(void* handle)
{
    if (m_phase != Phase::StartingUpgrade)
        return;
    std::vector<QUpgradeEvent> early;
    early.swap(m_earlyUpgradeEvents);
    m_hUpgrade = static_cast<DevRemoteUpgrade*>(handle);
    if (!m_hUpgrade) {
        // No upgrade will ever report its end: fail now and close the session.
        closeUpgradeOnWorker(StFailed, true);
        return;
    }
    m_phase = Phase::Upgrading;
    tellPages();
    for (const QUpgradeEvent& e : early)
        onUpgradeEvent(e); // after a final code the rest find the record closing
}

void DeviceInfo::closeUpgradeOnWorker(int status, bool allPages)
{
    auto* job = new UpgradeJob;
    job->record = this;
    job->conn = static_cast<DevConnection*>(m_hConnection);
    job->upgrade = m_hUpgrade;
    job->status = status;
    job->allPages = allPages;
    // The handles stay in the record (busy) until the worker has stopped them.
    m_phase = Phase::ClosingUpgrade;
    runOnPool(&DeviceInfo::doCloseUpgradeJob, job);
}

// Worker: both stops wait for the client's threads.
void DeviceInfo::doCloseUpgradeJob(void* p)
{
    std::unique_ptr<UpgradeJob> job(static_cast<UpgradeJob*>(p));
    if (job->upgrade)
        KVNetStopRemoteUpgrade(&job->upgrade);
    if (job->conn)
        KVNetConnectionStop(&job->conn);
    QCoreApplication::postEvent(job->record, new UpgradeClosedEvent(job->status, job->allPages));
}

void DeviceInfo::onUpgradeClosed(int status, bool allPages)
{
    if (m_phase != Phase::ClosingUpgrade)
        return;
    m_hUpgrade = nullptr;
    m_hConnection = nullptr;
    m_nProgress = 0;
    m_phase = Phase::Idle;
    m_nStatus = status;
    if (allPages)
        tellPages();
    else
        tellUpgradePage(true);
}

void DeviceInfo::stopUpgradeDevice()
{
    if (workerHoldsHandles())
        return;
    if (m_hUpgrade)
        KVNetStopRemoteUpgrade(&m_hUpgrade);
    m_hUpgrade = nullptr;
    m_nProgress = 0;
    // Whatever the stopped upgrade posted is stale now, a final code included: it must not
    // hand a worker the closing of handles that are gone.
    if (m_phase == Phase::Upgrading)
        m_phase = Phase::Idle;
}

static int setParamEx(void* conn, uint16_t subtype, const void* block, uint32_t size)
{
    KVNetSetParamExParam p;
    std::memset(&p, 0, sizeof p);
    p.MsgType = 216;
    p.MsgSubType = subtype;
    p.pData = block;
    p.nDataSize = size;
    p.bWrap = 1;
    return KVNetSetParamEx(static_cast<DevConnection*>(conn), &p);
}

void DeviceInfo::startModifyDeviceInfo()
{
    // "No right" (2) is a refusal: the device changed nothing.
    if (setParamEx(m_hConnection, 700, &m_keyBackup, sizeof m_keyBackup) != 1) {
        m_nStatus = StFailed;
        return;
    }
    if (m_strKeyID.trimmed().isEmpty() && m_strBoardID.trimmed().isEmpty()) {
        m_nStatus = StDone;
        return;
    }
    m_strKeyID = m_strKeyID.trimmed();
    m_strBoardID = m_strBoardID.trimmed();
    KVNet_KeyBoardID_t block;
    if (!kvdev::buildKeyBoardId(m_strKeyID, m_strBoardID, &block)) {
        m_nStatus = StFailed;
        return;
    }
    m_nStatus = setParamEx(m_hConnection, 582, &block, sizeof block) == 1 ? StDone : StFailed;
}

int DeviceInfo::startLoadDefault()
{
    const KVNet_RestoreDefault_t block = kvdev::buildRestoreDefaults();
    KVNetSetParamParam p;
    std::memset(&p, 0, sizeof p);
    p.nParamType = 521;
    p.pStruct = &block;
    m_nStatus = KVNetSetParam(static_cast<DevConnection*>(m_hConnection), &p) == 1 ? StDone : StFailed;
    return m_nStatus;
}

void DeviceInfo::startPtzRestore()
{
    uint8_t block[44] = {};
    m_nStatus = KVNetPTZControl(static_cast<DevConnection*>(m_hConnection), 100, block) == 1 ? StDone : StFailed;
}

int DeviceInfo::startExportDevice()
{
    KVNetExportBackupParam p;
    std::memset(&p, 0, sizeof p);
    p.pUser = this;
    p.callback = &DeviceInfo::exportBackupCallback;
    m_bExportWritten = false;
    const int result = KVNetExportBackupNew(static_cast<DevConnection*>(m_hConnection), &p);
    // Cancelled, refused or unwritten: the export did not happen.
    if (result != 1 || !m_bExportWritten)
        m_nStatus = StFailed;
    return result;
}

void DeviceInfo::startImportDevice()
{
    QFile file(m_strImportPath);
    QByteArray name;
    if (!kvdev::importRecordName(m_strImportPath, &name) || !file.open(QIODevice::ReadOnly) ||
        file.size() > kvdev::kImportMaxData) {
        m_nStatus = StImportFailed;
        return;
    }
    std::vector<uint8_t> buf(KVNET_BACKUP_HEAD_SIZE + KVNET_BACKUP_TOOL_DATA, 0);
    // Read one byte more than fits: a file that grew since its size was checked is refused.
    const qint64 n = file.read(reinterpret_cast<char*>(buf.data()) + KVNET_BACKUP_HEAD_SIZE,
                               kvdev::kImportMaxData);
    const bool grew = n == kvdev::kImportMaxData && !file.atEnd();
    file.close();
    if (n < 0 || grew) {
        m_nStatus = StImportFailed;
        return;
    }
    KVNetBackupRecord head;
    std::memset(&head, 0, sizeof head);
    head.StructSize = uint32_t(buf.size());
    head.DataLen = uint32_t(n);
    std::memcpy(head.szName, name.constData(), size_t(name.size()));
    std::memcpy(buf.data(), &head, sizeof head);
    const int r = KVNetRemoteParamImportNew(static_cast<DevConnection*>(m_hConnection),
                                            reinterpret_cast<const KVNetBackupRecord*>(buf.data()));
    m_nStatus = r == 1 ? StImported : StImportFailed;
}

void DeviceInfo::startEnableNTP()
{
    auto* conn = static_cast<DevConnection*>(m_hConnection);
    KVNet_NTPSet_t block;
    std::memset(&block, 0, sizeof block);
    block.StructSize = sizeof block;
    KVNetQueryParamParamEx q;
    std::memset(&q, 0, sizeof q);
    q.nParamType = 524;
    q.pStruct = &block;
    q.nStructSize = sizeof block;
    if (KVNetQueryParamEx(conn, &q) != 1) {
        m_nStatus = StFailed;
        return;
    }
    block.NtpEnable = 1;
    KVNetSetParamParam s;
    std::memset(&s, 0, sizeof s);
    s.nParamType = 524;
    s.pStruct = &block;
    m_nStatus = KVNetSetParam(conn, &s) == 1 ? StDone : StFailed;
}

void DeviceInfo::startOnvifModifyDevice()
{
    const KVNet_NetworkBaseSet_t block =
        kvdev::buildOnvifNetwork(m_strNewIP, m_strNewNetmask, m_strNewGateway, m_nNewWebPort, m_nNewNetMode);
    KVNetSetParamParam p;
    std::memset(&p, 0, sizeof p);
    p.nParamType = 511;
    p.pStruct = &block;
    if (KVOnvifSetParam(m_hConnection, &p) != 1) {
        m_nStatus = StFailed;
        return;
    }
    if (!m_strNewIP.isEmpty()) {
        std::memset(m_searchRsp.szIP, 0, sizeof m_searchRsp.szIP);
        kvdev::copyText16(m_searchRsp.szIP, m_strNewIP);
    }
    if (!m_strNewGateway.isEmpty())
        kvdev::copyText16(m_searchRsp.szGateway, m_strNewGateway);
    if (!m_strNewNetmask.isEmpty())
        kvdev::copyText16(m_searchRsp.szMask, m_strNewNetmask);
    if (m_nNewWebPort)
        m_searchRsp.nWebPort = m_nNewWebPort;
    m_searchRsp.nNetMode = m_nNewNetMode;
    m_nStatus = StDone;
}

void DeviceInfo::startOnvifQueryDevice()
{
    KVNet_NetworkBaseSet_t block;
    std::memset(&block, 0, sizeof block);
    block.StructSize = sizeof block;
    KVNetQueryParamParamEx q;
    std::memset(&q, 0, sizeof q);
    q.nParamType = 511;
    q.pStruct = &block;
    q.nStructSize = sizeof block;
    if (KVOnvifQueryParamEx(m_hConnection, &q) != 1) {
        m_nStatus = StQueryFailed;
        return;
    }
    const QString ip = kvdev::dottedText(block.IPAddr);
    const QString mask = kvdev::dottedText(block.NetMask);
    const QString gw = kvdev::dottedText(block.Gateway);
    if (ip.size() <= 15) {
        std::memset(m_searchRsp.szIP, 0, sizeof m_searchRsp.szIP);
        kvdev::copyText16(m_searchRsp.szIP, ip);
    }
    if (mask.size() <= 15)
        kvdev::copyText16(m_searchRsp.szMask, mask);
    if (gw.size() <= 15)
        kvdev::copyText16(m_searchRsp.szGateway, gw);
    m_searchRsp.nWebPort = block.HttpPort;
    m_searchRsp.nNetMode = block.AddrMode;
    m_nStatus = StQueryDone;
}

void DeviceInfo::startQueryVersionNum()
{
    KVNet_SoftVersion_t block;
    std::memset(&block, 0, sizeof block);
    block.StructSize = sizeof block;
    KVNetQueryParamParamEx q;
    std::memset(&q, 0, sizeof q);
    q.nParamType = 502;
    q.pStruct = &block;
    q.nStructSize = sizeof block;
    if (KVNetQueryParamEx(static_cast<DevConnection*>(m_hConnection), &q) != 1) {
        m_nStatus = StQueryFailed;
        return;
    }
    m_strQueriedVersion = kvdev::fieldText(block.szFirmwareVersion);
    m_nStatus = StQueryDone;
}
