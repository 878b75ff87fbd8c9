#include "import_export_frame.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
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
#include "device_info_blocks.h"
#include "device_info_mng.h"

namespace {

ImportExportFrame::OpenFileDialog g_openDialog;

constexpr QEvent::Type kJobsDoneEvent = QEvent::Type(1004);
// Text of a batch from which records busy with another page's job were left out.
constexpr int kBusyLeftOutTextId = 151;

void ReportToImportExportPage(ImportExportFrame* page, DeviceInfo* record, bool done)
{
    page->updateTableView(record, done);
}

KVAppSetting* Setting()
{
    return Singleton<KVAppSetting>::getInstance();
}

QLabel* fieldLabel(QWidget* parent, const char* name, const char* text)
{
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFixedSize(60, 25);
    return l;
}

} // namespace

void ImportExportFrame::setOpenFileDialog(OpenFileDialog dialog)
{
    g_openDialog = std::move(dialog);
}

ImportExportFrame::ImportExportFrame(QWidget* parent) : QFrame(parent)
{
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    hooks.importExport = ReportToImportExportPage;
    DeviceInfo::setPageHooks(hooks);
    setupForm();
    CreateWidget();
    CreateConnection();
    InitText();
}

ImportExportFrame::~ImportExportFrame()
{
    Setting()->PopWindowObject(this);
    // Records may outlive the page (a job still running): they report to nobody then.
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    for (const QList<DeviceInfo*>* list : {static_cast<const QList<DeviceInfo*>*>(&mng->m_listDeviceInfo), &mng->retired()})
        for (DeviceInfo* r : *list)
            if (r->m_pImportExportFrame == this)
                r->m_pImportExportFrame = nullptr;
}

void ImportExportFrame::setupForm()
{
    setObjectName(QStringLiteral("ImportExportFrame"));
    resize(834, 404);
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
    m_pLabelUserName = fieldLabel(bottom, "m_pLabelUserName", "UserName");
    m_pEditUserName = new LineEdit(bottom, 1000);
    m_pEditUserName->setObjectName(QStringLiteral("m_pEditUserName"));
    m_pEditUserName->setFixedSize(80, 25);
    m_pLabelPassword = fieldLabel(bottom, "m_pLabelPassword", "Password");
    m_pEditPassword = new LineEdit(bottom, 1000);
    m_pEditPassword->setObjectName(QStringLiteral("m_pEditPassword"));
    m_pEditPassword->setFixedSize(80, 25);
    m_pEditPassword->setEchoMode(QLineEdit::Password);
    m_pBtnExport = new QPushButton(QStringLiteral("Export"), bottom);
    m_pBtnExport->setObjectName(QStringLiteral("m_pBtnExport"));
    m_pBtnExport->setMinimumSize(72, 25);
    m_pBtnImport = new QPushButton(QStringLiteral("Import"), bottom);
    m_pBtnImport->setObjectName(QStringLiteral("m_pBtnImport"));
    m_pBtnImport->setMinimumSize(72, 25);
    h->addWidget(m_pLabelUserName);
    h->addWidget(m_pEditUserName);
    h->addWidget(m_pLabelPassword);
    h->addWidget(m_pEditPassword);
    h->addStretch(1);
    h->addWidget(m_pBtnExport);
    h->addWidget(m_pBtnImport);
    v->addWidget(bottom);
    QMetaObject::connectSlotsByName(this);
}

void ImportExportFrame::CreateWidget()
{
    m_pEditUserName->setText(Setting()->m_strDefaultUser);
    m_pEditPassword->setText(Setting()->m_strDefaultPassword);
    m_pEditUserName->m_nMaxLen = 16;
    m_pEditPassword->m_nMaxLen = 16;
    m_pModel = new CheckBoxTableModel(m_pDeviceTableView, CheckBoxTableModel::ImportExportModel, 0);
    m_pDeviceTableView->setModelAndDelegate(m_pModel->getTableModel(), 0);
    m_pDeviceTableView->setColumnWidth(0, 80);
    m_pDeviceTableView->setColumnWidth(2, 135);
    m_pDeviceTableView->setColumnWidth(4, 130);
    m_pDeviceTableView->setColumnWidth(5, 150);
}

void ImportExportFrame::CreateConnection()
{
    connect(m_pDeviceTableView, &QAbstractItemView::clicked, this, &ImportExportFrame::onClickTableView);
    connect(m_pBtnExport, &QPushButton::clicked, this, &ImportExportFrame::OnClickExport);
    connect(m_pBtnImport, &QPushButton::clicked, this, &ImportExportFrame::OnClickImport);
}

void ImportExportFrame::InitText()
{
    Setting()->PushWindowObject(this);
    m_pLabelUserName->setText(LoadStringFromID(12));
    m_pLabelPassword->setText(LoadStringFromID(13));
    m_pBtnExport->setText(LoadStringFromID(113));
    m_pBtnImport->setText(LoadStringFromID(114));
    if (m_pDeviceTableView)
        m_pDeviceTableView->widenToHeaders();
}

void ImportExportFrame::updateTableViewAll()
{
    ++m_nReloads;
    m_pModel->clearDeviceInfo();
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    mng->clearDevStatus();
    m_pModel->updateDeviceInfo(mng->m_listDeviceInfo);
}

void ImportExportFrame::setFilterCol(int column)
{
    if (m_pModel)
        m_pModel->setFilterCol(column);
}

void ImportExportFrame::setFilterString(const QString& text)
{
    if (m_pModel)
        m_pModel->setFilterString(text);
}

void ImportExportFrame::enableWidget(bool on)
{
    m_pBtnExport->setEnabled(on);
    m_pBtnImport->setEnabled(on);
    if (m_pToolBar)
        m_pToolBar->setWidgetEnable(on);
}

void ImportExportFrame::message(int textId, int buttons, int icon)
{
    KVMessageBox::Show(LoadStringFromID(textId), LoadStringFromID(6), this, MsgBoxButtonType(buttons),
                       MsgBoxIconType(icon));
}

void ImportExportFrame::OnClickExport()
{
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.clear();
    }
    if (m_pDeviceTableView->getHeadCheckState() == 0) {
        message(51, MsgBoxButtonOk, MsgBoxIconWarning);
        return;
    }
    QList<DeviceInfo*> checked = m_pModel->checkedRecords();
    if (checked.size() >= 2) {
        message(120, MsgBoxButtonOk, MsgBoxIconWarning);
        return;
    }
    if (DeviceInfo::dropBusy(checked) > 0)
        message(kBusyLeftOutTextId, MsgBoxButtonOk, MsgBoxIconWarning);
    if (checked.isEmpty())
        return;
    // The controls and the tool bar stay off until the export has ended: a second page
    // could otherwise start a job on the same record, or a search free it.
    enableWidget(false);
    DeviceInfo* r = checked.first();
    r->m_nStatus = DeviceInfo::StWorking;
    r->m_pImportExportFrame = this;
    r->updateUserAndPassword(m_pEditUserName->text(), m_pEditPassword->text());
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs = checked;
    }
    m_pModel->updateDeviceStatus(r, true);
    EventLoop::getLoop()->addWork(&DeviceInfo::doExportWork, r);
}

void ImportExportFrame::OnClickImport()
{
    const QString caption = LoadStringFromID(117);
    const QString path = g_openDialog ? g_openDialog(this, caption)
                                      : BaseDialog::getSelectFileName(this, caption, QDir::currentPath(), QString());
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return;
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.clear();
    }
    if (m_pDeviceTableView->getHeadCheckState() == 0) {
        message(51, MsgBoxButtonOk, MsgBoxIconWarning);
        return;
    }
    QList<DeviceInfo*> checked = m_pModel->checkedRecords();
    const QString user = m_pEditUserName->text();
    const QString password = m_pEditPassword->text();
    const QString name = QFileInfo(path).fileName();
    const QString stem = name.size() >= 4 ? name.left(name.size() - 4) : name;
    // Every device is checked before any is marked: a mismatch leaves no row half set up.
    for (DeviceInfo* r : checked) {
        if (r->devTypeText() != stem) {
            message(119, MsgBoxButtonOkCancel, MsgBoxIconInformation);
            return;
        }
    }
    // A file the device record would refuse (too big, or a name that does not fit the
    // record) fails every row at once rather than logging in to each device for nothing.
    if (DeviceInfo::dropBusy(checked) > 0)
        message(kBusyLeftOutTextId, MsgBoxButtonOk, MsgBoxIconWarning);
    if (checked.isEmpty())
        return;
    QByteArray recordName;
    const bool fits = kvdev::importRecordName(path, &recordName) && QFileInfo(path).size() <= kvdev::kImportMaxData;
    for (DeviceInfo* r : checked) {
        r->updateUserAndPassword(user, password);
        r->m_strImportPath = path;
        r->m_nStatus = fits ? DeviceInfo::StWorking : DeviceInfo::StImportFailed;
    }
    for (DeviceInfo* r : checked)
        m_pModel->updateDeviceStatus(r, true);
    if (!fits)
        return;
    enableWidget(false);
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs = checked;
    }
    for (DeviceInfo* r : checked) {
        r->m_pImportExportFrame = this;
        EventLoop::getLoop()->addWork(&DeviceInfo::doImportWork, r);
    }
}

void ImportExportFrame::updateTableView(DeviceInfo* record, bool done)
{
    if (done) {
        bool empty;
        {
            QMutexLocker lock(&m_mutex);
            if (!m_listJobs.contains(record))
                return;
            m_listJobs.removeAll(record);
            empty = m_listJobs.isEmpty();
        }
        if (empty)
            QCoreApplication::postEvent(this, new QEvent(kJobsDoneEvent));
    }
    m_pModel->updateDeviceStatus(record, true);
}

bool ImportExportFrame::isRunning()
{
    QMutexLocker lock(&m_mutex);
    return !m_listJobs.isEmpty();
}

void ImportExportFrame::onClickTableView(const QModelIndex& index)
{
    if (index.column() != 1)
        return;
    DeviceInfo* r = m_pModel->objectPointFromIndex(index);
    if (r)
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://%1:%2").arg(r->ipText()).arg(r->m_searchRsp.nWebPort)));
}

void ImportExportFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
    else if (event->type() == kJobsDoneEvent)
        enableWidget(true);
}
