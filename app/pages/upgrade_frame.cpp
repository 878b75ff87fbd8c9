#include "upgrade_frame.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "BaseDialog.h"
#include "EventLoop.h"
#include "KVAppSetting.h"
#include "KVMessageBox.h"
#include "LineEdit.h"
#include "Singleton.h"
#include "ToolBarFrame.h"
#include "XmlLanguage.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info_mng.h"

namespace {

constexpr QEvent::Type kJobsDoneEvent = QEvent::Type(1004);
// Text of a batch from which records busy with another page's job were left out.
constexpr int kBusyLeftOutTextId = 151;

KVAppSetting* Setting()
{
    return Singleton<KVAppSetting>::getInstance();
}

void ReportToUpgradePage(UpgradeFrame* page, DeviceInfo* record, bool done)
{
    page->updateTableView(record, done);
}

QLabel* fieldLabel(QWidget* parent, const char* name, const char* text)
{
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFixedSize(60, 25);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const char* text)
{
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setMinimumSize(72, 25);
    return b;
}

} // namespace

UpgradeFrame::UpgradeFrame(QWidget* parent) : QFrame(parent)
{
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    hooks.upgrade = ReportToUpgradePage;
    DeviceInfo::setPageHooks(hooks);
    setupForm();
    CreateWidget();
    CreateConnection();
    InitText();
}

UpgradeFrame::~UpgradeFrame()
{
    Setting()->PopWindowObject(this);
    // Records may outlive the page (an upgrade still running): they report to nobody then.
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    for (const QList<DeviceInfo*>* list : {static_cast<const QList<DeviceInfo*>*>(&mng->m_listDeviceInfo), &mng->retired()})
        for (DeviceInfo* r : *list)
            if (r->m_pUpgradeFrame == this)
                r->m_pUpgradeFrame = nullptr;
}

void UpgradeFrame::setupForm()
{
    setObjectName(QStringLiteral("UpgradeFrame"));
    resize(1124, 404);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setWindowTitle(QStringLiteral("Frame"));
    auto* v = new QVBoxLayout(this);
    v->setObjectName(QStringLiteral("verticalLayout"));
    v->setContentsMargins(0, 0, 0, 0);
    m_pDeviceTableView = new CheckBoxTableView(this);
    m_pDeviceTableView->setObjectName(QStringLiteral("m_pDeviceTableView"));
    v->addWidget(m_pDeviceTableView);
    auto* bottom = new QFrame(this);
    bottom->setObjectName(QStringLiteral("UpgradeFrameBottom"));
    auto* h = new QHBoxLayout(bottom);
    h->setObjectName(QStringLiteral("horizontalLayout"));
    m_pLabelFile = new QLabel(QStringLiteral("File"), bottom);
    m_pLabelFile->setObjectName(QStringLiteral("m_pLabelFile"));
    m_pLabelFile->setMinimumHeight(25);
    m_pEditFilePath = new QLineEdit(bottom);
    m_pEditFilePath->setObjectName(QStringLiteral("m_pEditFilePath"));
    m_pEditFilePath->setMinimumSize(250, 25);
    m_pBtnOpenFile = button(bottom, "m_pBtnOpenFile", "Open");
    m_pLabelUserName = fieldLabel(bottom, "m_pLabelUserName", "UserName");
    m_pEditUserName = new LineEdit(bottom, 1000);
    m_pEditUserName->setObjectName(QStringLiteral("m_pEditUserName"));
    m_pEditUserName->setFixedSize(80, 25);
    m_pLabelPassword = fieldLabel(bottom, "m_pLabelPassword", "Password");
    m_pEditPassword = new LineEdit(bottom, 1000);
    m_pEditPassword->setObjectName(QStringLiteral("m_pEditPassword"));
    m_pEditPassword->setFixedSize(80, 25);
    m_pEditPassword->setEchoMode(QLineEdit::Password);
    m_pLabelVersion = fieldLabel(bottom, "m_pLabelVersion", "Version");
    m_pLabelVersion->setMinimumSize(70, 25);
    m_pEditVersion = new LineEdit(bottom, 1000);
    m_pEditVersion->setObjectName(QStringLiteral("m_pEditVersion"));
    m_pEditVersion->setFixedSize(80, 25);
    m_pBtnMatch = button(bottom, "m_pBtnMatch", "Match");
    m_pBtnUpgrade = button(bottom, "m_pBtnUpgrade", "Upgrade");
    m_pBtnQuery = button(bottom, "m_pBtnQuery", "Query");
    for (QWidget* w : std::initializer_list<QWidget*>{m_pLabelFile, m_pEditFilePath, m_pBtnOpenFile, m_pLabelUserName,
                                                      m_pEditUserName, m_pLabelPassword, m_pEditPassword,
                                                      m_pLabelVersion, m_pEditVersion})
        h->addWidget(w);
    h->addStretch(1);
    h->addWidget(m_pBtnMatch);
    h->addWidget(m_pBtnUpgrade);
    h->addWidget(m_pBtnQuery);
    v->addWidget(bottom);
    QMetaObject::connectSlotsByName(this);
}

void UpgradeFrame::CreateWidget()
{
    m_pEditUserName->setText(Setting()->m_strDefaultUser);
    m_pEditPassword->setText(Setting()->m_strDefaultPassword);
    m_pEditUserName->m_nMaxLen = 16;
    m_pEditPassword->m_nMaxLen = 16;
    m_pModel = new CheckBoxTableModel(m_pDeviceTableView, CheckBoxTableModel::UpgradeModel, 0);
    m_pDeviceTableView->setModelAndDelegate(m_pModel->getTableModel(), 0);
    const int widths[][2] = {{0, 80}, {2, 135}, {4, 130}, {5, 150}, {6, 80}, {7, 150}};
    for (const auto& w : widths)
        m_pDeviceTableView->setColumnWidth(w[0], w[1]);
    if (Setting()->m_nCompany != 13) {
        m_pDeviceTableView->hideColumn(7);
        m_pDeviceTableView->hideColumn(8);
        m_pBtnQuery->hide();
        m_pBtnMatch->hide();
        m_pLabelVersion->hide();
        m_pEditVersion->hide();
    }
}

void UpgradeFrame::CreateConnection()
{
    connect(m_pDeviceTableView, &QAbstractItemView::clicked, this, &UpgradeFrame::onClickTableView);
    connect(m_pBtnOpenFile, &QPushButton::clicked, this, &UpgradeFrame::OnClickOpenFile);
    connect(m_pBtnUpgrade, &QPushButton::clicked, this, &UpgradeFrame::OnClickUpgrade);
}

void UpgradeFrame::InitText()
{
    Setting()->PushWindowObject(this);
    m_pLabelFile->setText(LoadStringFromID(48));
    m_pBtnOpenFile->setText(LoadStringFromID(49));
    m_pLabelUserName->setText(LoadStringFromID(12));
    m_pLabelPassword->setText(LoadStringFromID(13));
    m_pLabelVersion->setText(LoadStringFromID(143));
    m_pBtnMatch->setText(LoadStringFromID(144));
    m_pBtnUpgrade->setText(LoadStringFromID(11));
    m_pBtnQuery->setText(LoadStringFromID(139));
    if (m_pDeviceTableView)
        m_pDeviceTableView->widenToHeaders();
}

QList<DeviceInfo*> UpgradeFrame::jobs()
{
    QMutexLocker lock(&m_mutex);
    return m_listJobs;
}

void UpgradeFrame::updateTableViewAll()
{
    ++m_nReloads;
    m_pModel->clearDeviceInfo();
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    mng->clearDevStatus();
    m_pModel->updateDeviceInfo(mng->m_listDeviceInfo);
}

void UpgradeFrame::setFilterCol(int column)
{
    if (m_pModel)
        m_pModel->setFilterCol(column);
}

void UpgradeFrame::setFilterString(const QString& text)
{
    if (m_pModel)
        m_pModel->setFilterString(text);
}

void UpgradeFrame::enableWidget(bool on)
{
    m_pEditFilePath->setEnabled(on);
    m_pBtnOpenFile->setEnabled(on);
    m_pBtnUpgrade->setEnabled(on);
    if (m_pToolBar)
        m_pToolBar->setWidgetEnable(on);
    m_pBtnQuery->setEnabled(on);
}

void UpgradeFrame::warn(int textId, int titleId)
{
    KVMessageBox::Show(LoadStringFromID(textId), LoadStringFromID(titleId), this, MsgBoxButtonOk, MsgBoxIconWarning);
}

bool UpgradeFrame::takeChecked(int titleId)
{
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.clear();
    }
    if (m_pDeviceTableView->getHeadCheckState() == 0) {
        warn(51, titleId);
        return false;
    }
    QList<DeviceInfo*> checked = m_pModel->checkedRecords();
    // A record still upgrading (or busy on another page) would refuse the job and never
    // report back, keeping the controls away for good.
    if (DeviceInfo::dropBusy(checked) > 0)
        warn(kBusyLeftOutTextId, titleId);
    QMutexLocker lock(&m_mutex);
    m_listJobs = checked;
    return !checked.isEmpty();
}

void UpgradeFrame::prepare(DeviceInfo* r)
{
    r->m_nStatus = DeviceInfo::StWorking;
    if (!r->m_pUpgradeFrame)
        r->m_pUpgradeFrame = this;
    r->updateUserAndPassword(m_pEditUserName->text(), m_pEditPassword->text());
}

void UpgradeFrame::OnClickOpenFile()
{
    const QString filter = LoadStringFromID(52) + QStringLiteral("(*.sw*  *.SW*)");
    m_pEditFilePath->setText(BaseDialog::getSelectFileName(this, LoadStringFromID(53), QString(), filter));
}

void UpgradeFrame::OnClickUpgrade()
{
    const QString path = m_pEditFilePath->text();
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        KVMessageBox::Show(LoadStringFromID(50), LoadStringFromID(6), this, MsgBoxButtonOkCancel,
                           MsgBoxIconInformation);
        return;
    }
    if (!takeChecked(6))
        return;
    enableWidget(false);
    const QList<DeviceInfo*> batch = jobs();
    for (DeviceInfo* r : batch) {
        prepare(r);
        r->m_strFirmwarePath = path;
        m_pModel->updateDeviceStatus(r->m_upgradeIndex, false);
    }
    for (DeviceInfo* r : batch)
        EventLoop::getLoop()->addWork(&DeviceInfo::doUpgradeWork, r);
}

void UpgradeFrame::on_m_pBtnQuery_clicked()
{
    if (!takeChecked(110))
        return;
    enableWidget(false);
    const QList<DeviceInfo*> batch = jobs();
    for (DeviceInfo* r : batch) {
        prepare(r);
        m_pModel->updateDeviceStatus(r->m_upgradeIndex, false);
    }
    for (DeviceInfo* r : batch)
        EventLoop::getLoop()->addWork(&DeviceInfo::doQueryVersionNumWork, r);
}

void UpgradeFrame::on_m_pBtnMatch_clicked()
{
    const QString wanted = m_pEditVersion->text();
    if (wanted.isEmpty()) {
        warn(148, 110);
        return;
    }
    if (!takeChecked(110))
        return;
    const QList<DeviceInfo*> batch = jobs();
    for (DeviceInfo* r : batch) {
        prepare(r);
        r->m_strWantedVersion = wanted;
        m_pModel->updateDeviceStatus(r->m_upgradeIndex, false);
    }
    for (DeviceInfo* r : batch)
        EventLoop::getLoop()->addWork(&DeviceInfo::doMatchVersionNumWork, r);
}

void UpgradeFrame::onClickTableView(const QModelIndex& index)
{
    DeviceInfo* r = m_pModel->objectPointFromIndex(index);
    if (r)
        m_pEditVersion->setText(r->m_strQueriedVersion);
    else
        m_pEditVersion->clear();
    if (index.column() == 1 && r)
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://%1:%2").arg(r->ipText()).arg(r->m_searchRsp.nWebPort)));
}

void UpgradeFrame::updateTableView(DeviceInfo* record, bool done)
{
    if (!done) {
        m_pModel->updateDeviceStatus(record->m_upgradeIndex, false);
        return;
    }
    bool empty;
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.removeAll(record);
        empty = m_listJobs.isEmpty();
    }
    m_pModel->updateDeviceStatus(record->m_upgradeIndex, false);
    if (empty)
        QCoreApplication::postEvent(this, new QEvent(kJobsDoneEvent));
}

void UpgradeFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
    else if (event->type() == kJobsDoneEvent)
        enableWidget(true);
}
