#include "search_frame.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QResizeEvent>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "KVNet.h"
#include "address_rules.h"
#include "EventLoop.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "XmlLanguage.h"
#include "checkbox_table_model.h"
#include "checkbox_table_sortproxy.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info_frame.h"
#include "device_info_mng.h"
#include "import_export_frame.h"
#include "upgrade_frame.h"
#include "KVMessageBox.h"
#include "LineEdit.h"
#include "ToolBarFrame.h"

// One search's delivery point. The search holds a reference through its user pointer
// until its last call; the page holds one until it goes and detaches first.
struct SearchSink {
    QMutex mutex;
    SearchFrame* page = nullptr; // null once the page has detached
};

namespace {
// The user pointer of a search: a reference of its own to the sink.
using SinkRef = std::shared_ptr<SearchSink>;

} // namespace

// The callback of both searches. Its user pointer is a reference to the search's sink
// rather than the page, so a search that ends after the page has gone touches nothing.
// 0 without a user pointer, else 1.
int KVNetSearchDevCallbackFun(const SearchDevRsp* record, void* user)
{
    SinkRef* ref = static_cast<SinkRef*>(user);
    if (!ref)
        return 0;
    {
        QMutexLocker lock(&(*ref)->mutex);
        if ((*ref)->page)
            (*ref)->page->addDeviceInfo(record);
    }
    if (!record)
        delete ref; // the last call of this search
    return 1;
}

namespace {

KVAppSetting* Setting()
{
    return Singleton<KVAppSetting>::getInstance();
}

// The device records report to this page through a hook, so they need not know it.
void ReportToSearchPage(SearchFrame* page, DeviceInfo* record, bool wholeRow, bool done)
{
    page->updateTableView(record, wholeRow, done);
}

const int kOneRowWidth = 1420;

// Text of the refusal of a batch that would leave the subnet's host addresses.
const int kBatchRefusedTextId = 149;
// Text of a missing or malformed address, mask, gateway or port.
const int kFormFaultTextId = 104;
// Text of a batch from which records busy with another page's job were left out.
const int kBusyLeftOutTextId = 151;

} // namespace

SearchFrame::SearchFrame(QWidget* parent)
    : QFrame(parent)
{
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    hooks.search = ReportToSearchPage;
    DeviceInfo::setPageHooks(hooks);

    setupForm();
    CreateWidget();
    CreateLayout();
    CreateConnection();
    InitText();
}

SearchFrame::~SearchFrame()
{
    quiesce();
    // A job that ends after the page has gone must not report to it: the records outlive
    // the page (the manager keeps them until the next search, busy ones longer).
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    QList<DeviceInfo*> records = mng->m_listDeviceInfo;
    records += mng->retired();
    for (DeviceInfo* r : records)
        if (r->m_pSearchFrame == this)
            r->m_pSearchFrame = nullptr;
}

void SearchFrame::quiesce()
{
    if (m_sink) {
        QMutexLocker lock(&m_sink->mutex); // waits for a callback under way
        m_sink->page = nullptr;
    }
    if (m_onvifSearch)
        KVOnvifSearchDevStop(&m_onvifSearch); // waits for its callbacks
}

// ---- form --------------------------------------------------------------------------

void SearchFrame::setupForm()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("SearchFrame"));
    resize(826, 448);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setWindowTitle(QStringLiteral("Frame"));

    m_pHBoxLayout = new QVBoxLayout(this);
    m_pHBoxLayout->setObjectName(QStringLiteral("m_pHBoxLayout"));
    m_pHBoxLayout->setContentsMargins(0, 0, 0, 0);

    m_pStackedWidget = new QStackedWidget(this);
    m_pStackedWidget->setObjectName(QStringLiteral("stackedWidget"));
    QWidget* page = new QWidget();
    page->setObjectName(QStringLiteral("page"));
    QHBoxLayout* h1 = new QHBoxLayout(page);
    h1->setObjectName(QStringLiteral("horizontalLayout"));
    h1->setSpacing(0);
    h1->setContentsMargins(0, 0, 0, 0);
    m_pNormalView = new CheckBoxTableView(page);
    m_pNormalView->setObjectName(QStringLiteral("m_pNormalView"));
    h1->addWidget(m_pNormalView);
    m_pStackedWidget->addWidget(page);
    QWidget* page2 = new QWidget();
    page2->setObjectName(QStringLiteral("page_2"));
    QHBoxLayout* h2 = new QHBoxLayout(page2);
    h2->setObjectName(QStringLiteral("horizontalLayout_2"));
    h2->setSpacing(0);
    h2->setContentsMargins(0, 0, 0, 0);
    m_pOnvifView = new CheckBoxTableView(page2);
    m_pOnvifView->setObjectName(QStringLiteral("m_pOnvifView"));
    h2->addWidget(m_pOnvifView);
    m_pStackedWidget->addWidget(page2);
    m_pHBoxLayout->addWidget(m_pStackedWidget);

    m_pBottomFrame = new QFrame(this);
    m_pBottomFrame->setObjectName(QStringLiteral("SearchFrameBottom"));
    m_pBottomLayout = new QHBoxLayout(m_pBottomFrame);
    m_pBottomLayout->setObjectName(QStringLiteral("horizontalLayout_3"));
    m_pBottomLayout->setContentsMargins(6, 6, 6, 6);

    auto label = [](QWidget* parent, const char* name, const char* text, QPoint at, Qt::Alignment align) {
        QLabel* l = new QLabel(parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(QRect(at, QSize(60, 25)));
        l->setMinimumSize(60, 25);
        l->setAlignment(align);
        l->setText(QString::fromLatin1(text));
        return l;
    };
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;

    m_pGroupUserInfo = new QGroupBox(m_pBottomFrame);
    m_pGroupUserInfo->setObjectName(QStringLiteral("m_pGroupUserInfo"));
    m_pGroupUserInfo->setTitle(QStringLiteral("GroupBox"));
    m_pLabelUserName = label(m_pGroupUserInfo, "m_pLabelUserName", "UserName", {11, 20}, right);
    m_pLabelPassword = label(m_pGroupUserInfo, "m_pLabelPassword", "Password", {11, 51}, right);
    m_pEditUserName = new LineEdit(m_pGroupUserInfo, 1000);
    m_pEditUserName->setObjectName(QStringLiteral("m_pEditUserName"));
    m_pEditUserName->setGeometry(77, 20, 60, 25);
    m_pEditUserName->setFixedSize(60, 25);
    m_pEditPassword = new LineEdit(m_pGroupUserInfo, 1000);
    m_pEditPassword->setObjectName(QStringLiteral("m_pEditPassword"));
    m_pEditPassword->setGeometry(77, 51, 60, 25);
    m_pEditPassword->setFixedSize(60, 25);
    m_pEditPassword->setEchoMode(QLineEdit::Password);

    m_pGroupDevInfo = new QGroupBox(m_pBottomFrame);
    m_pGroupDevInfo->setObjectName(QStringLiteral("m_pGroupDevInfo"));
    m_pGroupDevInfo->setTitle(QStringLiteral("GroupBox"));
    m_pLableIP = label(m_pGroupDevInfo, "m_pLableIP", "IP", {11, 20}, Qt::AlignCenter);
    auto edit = [this](const char* name, QPoint at, bool fixed) {
        QLineEdit* e = new QLineEdit(m_pGroupDevInfo);
        e->setObjectName(QString::fromLatin1(name));
        e->setGeometry(QRect(at, QSize(100, 25)));
        if (fixed) {
            e->setFixedSize(100, 25);
        } else {
            e->setMinimumSize(50, 25);
            e->setMaximumSize(100, 25);
            e->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        }
        return e;
    };
    m_pEditIP = edit("m_pEditIP", {77, 20}, true);
    m_pLabelMediaPort = label(m_pGroupDevInfo, "m_pLabelMediaPort", "Media Port", {183, 20}, right);
    m_pEditPort = edit("m_pEditPort", {249, 20}, false);
    m_pLabelWebPort = label(m_pGroupDevInfo, "m_pLabelWebPort", "Web Port", {355, 20}, right);
    m_pEditWebPort = edit("m_pEditWebPort", {421, 20}, false);
    m_pLabelGateway = label(m_pGroupDevInfo, "m_pLabelGateway", "Geteway", {11, 51}, right);
    m_pEditGateway = edit("m_pEditGateway", {77, 51}, true);
    m_pLabelNetMask = label(m_pGroupDevInfo, "m_pLabelNetMask", "NetMask", {183, 51}, right);
    m_pEditNetMask = edit("m_pEditNetMask", {249, 51}, true);
    m_pLabelNetWorkMode = label(m_pGroupDevInfo, "m_pLabelNetWorkMode", "Net Mode", {355, 51}, right);
    m_pComNetMode = new QComboBox(m_pGroupDevInfo);
    m_pComNetMode->setObjectName(QStringLiteral("m_pComNetMode"));
    m_pComNetMode->setGeometry(421, 51, 100, 25);
    m_pComNetMode->setFixedSize(100, 25);

    m_pBottomLayout->addWidget(m_pGroupUserInfo);
    m_pBottomLayout->addWidget(m_pGroupDevInfo);
    m_pBottomLayout->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_pBottomLayout->setStretch(2, 1);
    QVBoxLayout* buttons = new QVBoxLayout();
    buttons->setObjectName(QStringLiteral("verticalLayout"));
    m_pBtnQuery = new QPushButton(m_pBottomFrame);
    m_pBtnQuery->setObjectName(QStringLiteral("m_pBtnQuery"));
    m_pBtnQuery->setMinimumSize(72, 25);
    m_pBtnQuery->setText(QStringLiteral("PushButton"));
    m_pBtnModify = new QPushButton(m_pBottomFrame);
    m_pBtnModify->setObjectName(QStringLiteral("m_pBtnModify"));
    m_pBtnModify->setMinimumSize(72, 25);
    m_pBtnModify->setText(QStringLiteral("Modify"));
    buttons->addWidget(m_pBtnQuery);
    buttons->addWidget(m_pBtnModify);
    m_pBottomLayout->addLayout(buttons);
    m_pHBoxLayout->addWidget(m_pBottomFrame);

    m_pStackedWidget->setCurrentIndex(1);
    QMetaObject::connectSlotsByName(this);
}

void SearchFrame::CreateWidget()
{
    m_pEditUserName->setText(Setting()->m_strDefaultUser);
    m_pEditPassword->setText(Setting()->m_strDefaultPassword);
    m_pEditUserName->m_nMaxLen = 16;
    m_pEditPassword->m_nMaxLen = 16;

    m_pSearchModel = new CheckBoxTableModel(m_pNormalView, CheckBoxTableModel::_ModelType(0), 0);
    m_pOnvifModel = new CheckBoxTableModel(m_pOnvifView, CheckBoxTableModel::_ModelType(0), -1);
    m_pNormalView->setModelAndDelegate(m_pSearchModel->getTableModel(), 0);
    m_pOnvifView->setModelAndDelegate(m_pOnvifModel->getTableModel(), -1);
    for (CheckBoxTableView* v : {m_pNormalView, m_pOnvifView}) {
        v->setColumnWidth(0, 80);
        v->setColumnWidth(2, 135);
        v->setColumnWidth(5, 125);
        v->setColumnWidth(6, 145);
        for (int c = 7; c <= 11; ++c)
            v->setColumnWidth(c, 120);
        v->widenToHeaders();
    }

    m_pBtnQuery->hide();
    m_pStackedWidget->setCurrentIndex(0);
    m_pCurrentView = m_pNormalView;
    m_pCurrentModel = m_pSearchModel;
    m_pHBoxLayout->removeWidget(m_pBottomFrame);
    m_pBottomFrame->hide();
    m_bBottomShown = false;
}

void SearchFrame::CreateLayout()
{
    m_pUserRowLayout = new QHBoxLayout();
    m_pUserGridLayout = new QGridLayout();
    QVBoxLayout* user = new QVBoxLayout(m_pGroupUserInfo);
    user->addLayout(m_pUserRowLayout);
    user->addLayout(m_pUserGridLayout);

    m_pDevRowLayout = new QHBoxLayout();
    m_pDevGridLayout = new QGridLayout();
    QVBoxLayout* dev = new QVBoxLayout(m_pGroupDevInfo);
    dev->addLayout(m_pDevRowLayout);
    dev->addLayout(m_pDevGridLayout);
}

void SearchFrame::CreateConnection()
{
    for (CheckBoxTableView* v : {m_pNormalView, m_pOnvifView}) {
        connect(v, &QAbstractItemView::clicked, this, &SearchFrame::onClickTableView);
        connect(v, &CheckBoxTableView::headCheckChanged, this, &SearchFrame::onHeadCheckChanged);
        connect(v, &QAbstractItemView::doubleClicked, this, &SearchFrame::OnDoubleClickTableView);
    }
    connect(m_pBtnModify, &QPushButton::clicked, this, &SearchFrame::OnBtnModifyClicked);
    connect(m_pComNetMode, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SearchFrame::OnNetModeChanged);
}

void SearchFrame::InitText()
{
    Setting()->PushWindowObject(this);
    m_pLableIP->setText(LoadStringFromID(m_bBatchMode ? 45 : 32));
    m_pLabelMediaPort->setText(LoadStringFromID(33));
    m_pLabelGateway->setText(LoadStringFromID(38));
    m_pLabelNetMask->setText(LoadStringFromID(37));
    m_pLabelUserName->setText(LoadStringFromID(12));
    m_pLabelPassword->setText(LoadStringFromID(13));
    m_pLabelWebPort->setText(LoadStringFromID(42));
    m_pLabelNetWorkMode->setText(LoadStringFromID(54));
    m_pBtnModify->setText(LoadStringFromID(59));
    m_pBtnQuery->setText(LoadStringFromID(139));
    m_pGroupUserInfo->setTitle(LoadStringFromID(46));
    m_pGroupDevInfo->setTitle(LoadStringFromID(47));
    // Keep the chosen mode across a language change; the items are rebuilt.
    const int mode = m_pComNetMode->count() ? m_pComNetMode->currentIndex() : 0;
    m_pComNetMode->blockSignals(true);
    m_pComNetMode->clear();
    m_pComNetMode->addItem(LoadStringFromID(56), 0);
    m_pComNetMode->addItem(LoadStringFromID(58), 2);
    m_pComNetMode->setCurrentIndex(mode < 0 ? 0 : mode);
    m_pComNetMode->blockSignals(false);
    OnNetModeChanged(m_pComNetMode->currentIndex()); // the edits follow the mode shown
    for (CheckBoxTableView* v : {m_pNormalView, m_pOnvifView})
        if (v)
            v->widenToHeaders();
}

// ---- search ------------------------------------------------------------------------

bool SearchFrame::isOnvifProtocol() const
{
    // Hidden, not merely unshown: the first search starts before the window is shown.
    return m_pToolBar && !m_pToolBar->m_pComboProtocol->isHidden() && m_pToolBar->protocolIndex() == 1;
}

void SearchFrame::SearchOnLineDevice()
{
    // One search at a time: a second one would interleave its records with the first's
    // and free the records the first is about to publish.
    if (m_bSearching)
        return;
    m_bSearching = true;
    if (m_pToolBar)
        m_pToolBar->setWidgetEnable(false);
    clearDeviceInfo();
    showOrHideBottomFrame(false);

    m_bSearchOnvif = isOnvifProtocol();
    if (m_sink) {
        QMutexLocker lock(&m_sink->mutex);
        m_sink->page = nullptr;
    }
    m_sink = std::make_shared<SearchSink>();
    m_sink->page = this;
    KVNetSearchDevParam param{};
    param.callback = searchCallbackAdapter<KVNetSearchDevCallbackFun>;
    param.user = new SinkRef(m_sink);
    param.variant = static_cast<uint8_t>(Setting()->SearchVariant());
    if (m_bSearchOnvif) {
        if (m_onvifSearch)
            KVOnvifSearchDevStop(&m_onvifSearch);
        m_onvifSearch = KVOnvifSearchDevStart(&param);
        if (!m_onvifSearch) {
            delete static_cast<SinkRef*>(param.user);
            QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kSearchDoneEvent)));
        }
    } else {
        KVNetSearchDev(&param);
    }
}

void SearchFrame::clearDeviceInfo()
{
    m_pSearchModel->clearDeviceInfo();
    m_pOnvifModel->clearDeviceInfo();
    QList<DeviceInfo*> none;
    QMutexLocker lock(&m_mutex);
    m_pendingRecords.clear();
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
}

void SearchFrame::addDeviceInfo(const SearchDevRsp* record)
{
    if (record) {
        DeviceInfo* info = new DeviceInfo(nullptr);
        info->updateDeviceInfo(record, m_bSearchOnvif);
        info->moveToThread(thread());
        QMutexLocker lock(&m_mutex);
        m_pendingRecords.append(info);
        return;
    }
    refreshDeviceInfo();
}

void SearchFrame::refreshDeviceInfo()
{
    {
        QMutexLocker lock(&m_mutex);
        std::stable_sort(m_pendingRecords.begin(), m_pendingRecords.end(), [](DeviceInfo* a, DeviceInfo* b) {
            return compareIPAddress(a->ipText(), b->ipText());
        });
    }
    // The list manager is handed the records in the GUI thread (the done event), where
    // every page reads its list.
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kSearchDoneEvent)));
}

void SearchFrame::customEvent(QEvent* event)
{
    switch (static_cast<int>(event->type())) {
    case kSearchDoneEvent: {
        {
            QMutexLocker lock(&m_mutex);
            DeviceInfoMng::getInstance()->addDeviceInfo(m_pendingRecords);
            m_pCurrentModel->updateDeviceInfo(m_pendingRecords);
        }
        m_bSearching = false;
        if (m_pToolBar)
            m_pToolBar->setWidgetEnable(true);
        if (m_pUpgradeFrame)
            m_pUpgradeFrame->updateTableViewAll();
        if (m_pDeviceInfoFrame)
            m_pDeviceInfoFrame->OnSearchDeviceDone();
        if (m_pImportExportFrame)
            m_pImportExportFrame->updateTableViewAll();
        emit searchLoaded();
        break;
    }
    case kModifyDoneEvent:
        enableWidget(true);
        emit modifyDone();
        break;
    case kLanguageChangedEvent:
        InitText();
        break;
    default:
        break;
    }
}

void SearchFrame::SetUpgradeAndDeviceInfoFrame(UpgradeFrame* upgrade, DeviceInfoFrame* deviceInfo,
                                               ImportExportFrame* importExport)
{
    m_pUpgradeFrame = upgrade;
    m_pDeviceInfoFrame = deviceInfo;
    m_pImportExportFrame = importExport;
}

void SearchFrame::OnProtocolTypeChangedResponce(int index)
{
    m_pStackedWidget->setCurrentIndex(index);
    if (index != 0) {
        m_pCurrentView = m_pOnvifView;
        m_pCurrentModel = m_pOnvifModel;
        // Media port, channels, name, version, mask, gateway, mode and P2P ID say nothing
        // about an ONVIF device.
        for (int c : {2, 4, 6, 7, 8, 9, 11, 12})
            m_pOnvifView->setColumnHidden(c, true);
        m_pBtnQuery->show();
    } else {
        m_pCurrentView = m_pNormalView;
        m_pCurrentModel = m_pSearchModel;
        m_pBtnQuery->hide();
    }
    SearchOnLineDevice();
}

void SearchFrame::setFilterCol(int column)
{
    m_pCurrentModel->setFilterCol(column);
}

void SearchFrame::setFilterString(const QString& text)
{
    m_pCurrentModel->setFilterString(text);
}

DeviceInfo* SearchFrame::GetCurrentSelDevice()
{
    const QModelIndex index = m_pCurrentView->currentIndex();
    if (!index.isValid())
        return nullptr;
    return m_pCurrentModel->objectPointFromIndex(index);
}

void SearchFrame::GetUserAndPassword(QString& user, QString& password)
{
    user = m_pEditUserName->text();
    password = m_pEditPassword->text();
}

QString SearchFrame::getNextIP(const QString& ip)
{
    return ::getNextIP(ip);
}

// ---- editor ------------------------------------------------------------------------

void SearchFrame::enterBatchMode()
{
    if (m_bBatchMode)
        return;
    m_pLableIP->setText(LoadStringFromID(45));
    m_bBatchMode = true;
}

void SearchFrame::leaveBatchMode()
{
    if (!m_bBatchMode)
        return;
    m_pLableIP->setText(LoadStringFromID(32));
    m_bBatchMode = false;
}

void SearchFrame::clearEditor()
{
    for (QLineEdit* e : {m_pEditIP, m_pEditPort, m_pEditWebPort, m_pEditGateway, m_pEditNetMask})
        e->clear();
}

void SearchFrame::fillEditor(DeviceInfo* record, bool touchMode)
{
    const SearchDevRsp& r = record->m_searchRsp;
    m_pEditIP->setText(record->ipText());
    m_pEditPort->setText(r.nMediaPort ? QString::number(r.nMediaPort) : QString());
    m_pEditWebPort->setText(QString::number(r.nWebPort));
    m_pEditGateway->setText(record->gatewayText());
    m_pEditNetMask->setText(record->maskText());
    const int mode = r.nNetMode == 0 ? 0 : 1;
    if (touchMode && m_pComNetMode->currentIndex() != mode) {
        m_pComNetMode->setCurrentIndex(mode); // OnNetModeChanged sets the edits
        return;
    }
    const bool fixed = touchMode ? mode != 0 : r.nNetMode != 0;
    m_pEditIP->setEnabled(fixed);
    m_pEditGateway->setEnabled(fixed);
    m_pEditNetMask->setEnabled(fixed);
}

void SearchFrame::onClickTableView(const QModelIndex& index)
{
    CheckBoxTableView* view = m_pCurrentView;
    if (index != view->currentIndex())
        view->selectRow(index.row());
    if (Setting()->m_nCompany == 20 && view == m_pOnvifView)
        showOrHideBottomFrame(false);
    else
        showOrHideBottomFrame(true);

    DeviceInfo* record = m_pCurrentModel->objectPointFromIndex(index);
    if (view->getHeadCheckState() != 0) {
        if (!m_bBatchMode) {
            enterBatchMode();
            clearEditor();
            m_pComNetMode->setCurrentIndex(1);
        }
    } else {
        leaveBatchMode();
        if (record)
            fillEditor(record, true);
    }
    if (index.column() == 1 && record)
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://%1:%2")
                                           .arg(record->ipText())
                                           .arg(record->m_searchRsp.nWebPort)));
}

void SearchFrame::onHeadCheckChanged(Qt::CheckState state)
{
    if (state != Qt::Unchecked) {
        showOrHideBottomFrame(true);
        enterBatchMode();
    } else {
        leaveBatchMode();
    }
    clearEditor();
}

void SearchFrame::OnNetModeChanged(int nIndex)
{
    if (nIndex == -1)
        return;
    const bool fixed = nIndex != 0;
    m_pEditIP->setEnabled(fixed);
    m_pEditGateway->setEnabled(fixed);
    m_pEditNetMask->setEnabled(fixed);
}

void SearchFrame::OnDoubleClickTableView(const QModelIndex&)
{
    if (m_pCurrentView == m_pOnvifView)
        return;
    emit SearchFrameDoubleClick();
}

void SearchFrame::showOrHideBottomFrame(bool show)
{
    if (show == m_bBottomShown)
        return;
    m_bBottomShown = show;
    if (show) {
        m_pHBoxLayout->addWidget(m_pBottomFrame);
        m_pBottomFrame->setVisible(true);
        m_pEditPort->setEnabled(m_pCurrentView != m_pOnvifView);
    } else {
        m_pHBoxLayout->removeWidget(m_pBottomFrame);
        m_pBottomFrame->hide();
    }
}

void SearchFrame::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (event->size().width() < kOneRowWidth)
        ShowTwoRowBottomFrame();
    else
        ShowOneRowBottomFrame();
}

void SearchFrame::ShowOneRowBottomFrame()
{
    if (m_nBottomRowMode == 0)
        return;
    m_nBottomRowMode = 0;
    for (QWidget* w : {static_cast<QWidget*>(m_pLabelUserName), static_cast<QWidget*>(m_pEditUserName),
                       static_cast<QWidget*>(m_pLabelPassword), static_cast<QWidget*>(m_pEditPassword)})
        m_pUserRowLayout->addWidget(w);
    for (QWidget* w : {static_cast<QWidget*>(m_pLableIP), static_cast<QWidget*>(m_pEditIP),
                       static_cast<QWidget*>(m_pLabelMediaPort), static_cast<QWidget*>(m_pEditPort),
                       static_cast<QWidget*>(m_pLabelWebPort), static_cast<QWidget*>(m_pEditWebPort),
                       static_cast<QWidget*>(m_pLabelGateway), static_cast<QWidget*>(m_pEditGateway),
                       static_cast<QWidget*>(m_pLabelNetMask), static_cast<QWidget*>(m_pEditNetMask),
                       static_cast<QWidget*>(m_pLabelNetWorkMode), static_cast<QWidget*>(m_pComNetMode)})
        m_pDevRowLayout->addWidget(w, 0);
}

void SearchFrame::ShowTwoRowBottomFrame()
{
    if (m_nBottomRowMode == 1)
        return;
    m_nBottomRowMode = 1;
    m_pUserGridLayout->addWidget(m_pLabelUserName, 0, 0);
    m_pUserGridLayout->addWidget(m_pEditUserName, 0, 1);
    m_pUserGridLayout->addWidget(m_pLabelPassword, 1, 0);
    m_pUserGridLayout->addWidget(m_pEditPassword, 1, 1);
    const QList<QWidget*> row0 = {m_pLableIP, m_pEditIP, m_pLabelMediaPort, m_pEditPort, m_pLabelWebPort,
                                  m_pEditWebPort};
    const QList<QWidget*> row1 = {m_pLabelGateway, m_pEditGateway, m_pLabelNetMask, m_pEditNetMask,
                                  m_pLabelNetWorkMode, m_pComNetMode};
    for (int c = 0; c < 6; ++c) {
        m_pDevGridLayout->addWidget(row0[c], 0, c);
        m_pDevGridLayout->addWidget(row1[c], 1, c);
    }
}

// ---- address change and query ---------------------------------------------------------

void SearchFrame::showWarning(int textId)
{
    KVMessageBox::Show(LoadStringFromID(textId), LoadStringFromID(6), this, MsgBoxButtonOk, MsgBoxIconWarning);
}

bool SearchFrame::startJobs(QList<DeviceInfo*> records)
{
    {
        QMutexLocker lock(&m_mutex);
        m_runningRecords = records;
    }
    if (records.isEmpty())
        return false;
    enableWidget(false);
    for (DeviceInfo* r : records) {
        r->m_nStatus = DeviceInfo::StWorking;
        if (!r->m_pSearchFrame)
            r->m_pSearchFrame = this;
        m_pCurrentModel->updateDeviceStatus(r, false);
    }
    return true;
}

void SearchFrame::OnBtnModifyClicked()
{
    QList<DeviceInfo*> records;
    if (m_bBatchMode) {
        records = m_pCurrentModel->checkedRecords();
    } else if (DeviceInfo* r = GetCurrentSelDevice()) {
        records << r;
    }
    // Records busy with another page's job (an upgrade keeps running after its page has
    // given its controls back) are left out: the record would refuse the job and never
    // report, and the page would wait for it for good.
    if (DeviceInfo::dropBusy(records) > 0)
        showWarning(kBusyLeftOutTextId);
    if (records.isEmpty())
        return;

    // A port that is typed must be a port: "abc" or 70000 would otherwise become 0 and
    // silently keep the device's own.
    bool okMedia = true, okWeb = true;
    const quint16 mediaPort = m_pEditPort->text().trimmed().isEmpty() ? 0 : m_pEditPort->text().toUShort(&okMedia);
    const quint16 webPort = m_pEditWebPort->text().trimmed().isEmpty() ? 0 : m_pEditWebPort->text().toUShort(&okWeb);
    if (!okMedia || !okWeb) {
        showWarning(kFormFaultTextId);
        return;
    }
    const QString user = m_pEditUserName->text();
    const QString password = m_pEditPassword->text();
    const unsigned mode = m_pComNetMode->currentData().toUInt();
    const bool onvif = m_pCurrentView == m_pOnvifView;
    void (*job)(void*) = onvif ? &DeviceInfo::doOnvifModifyIPWork : &DeviceInfo::doModifyIPWork;

    QStringList addresses;
    if (mode != 0) {
        // Fixed addresses: every address of the batch is planned and checked before any
        // device is touched.
        const AddressBatch plan =
            PlanAddressBatch(m_pEditIP->text().trimmed(), m_pEditNetMask->text().trimmed(),
                             m_pEditGateway->text().trimmed(), records.size());
        if (plan.check != AddressBatchCheck::Ok) {
            showWarning(IsFormFault(plan.check) ? kFormFaultTextId : kBatchRefusedTextId);
            return;
        }
        addresses = plan.addresses;
    }

    startJobs(records);
    const QString gateway = mode != 0 ? m_pEditGateway->text().trimmed() : QString();
    const QString mask = mode != 0 ? m_pEditNetMask->text().trimmed() : QString();
    for (int i = 0; i < records.size(); ++i) {
        DeviceInfo* r = records[i];
        r->updateUserAndPassword(user, password);
        // DHCP keeps each device's own address, gateway and mask.
        r->updateSearchIPInfo(mode != 0 ? addresses[i] : QString(), onvif ? 0 : mediaPort, webPort, gateway,
                              mask, mode);
        EventLoop::getLoop()->addWork(job, r);
    }
}

void SearchFrame::on_m_pBtnQuery_clicked()
{
    QList<DeviceInfo*> records;
    if (m_bBatchMode) {
        records = m_pCurrentModel->checkedRecords();
    } else if (DeviceInfo* r = GetCurrentSelDevice()) {
        records << r;
    }
    if (DeviceInfo::dropBusy(records) > 0)
        showWarning(kBusyLeftOutTextId);
    if (!startJobs(records))
        return;
    const QString user = m_pEditUserName->text();
    const QString password = m_pEditPassword->text();
    for (DeviceInfo* r : records) {
        r->updateUserAndPassword(user, password);
        EventLoop::getLoop()->addWork(&DeviceInfo::doOnvifQueryIPWork, r);
    }
}

void SearchFrame::enableWidget(bool on)
{
    for (QWidget* w : {static_cast<QWidget*>(m_pEditIP), static_cast<QWidget*>(m_pEditGateway),
                       static_cast<QWidget*>(m_pEditNetMask), static_cast<QWidget*>(m_pEditWebPort),
                       static_cast<QWidget*>(m_pBtnModify), static_cast<QWidget*>(m_pBtnQuery)})
        w->setEnabled(on);
    m_pEditPort->setEnabled(on && m_pCurrentView != m_pOnvifView);
    if (m_pToolBar)
        m_pToolBar->setWidgetEnable(on);
    if (!on)
        return;
    if (DeviceInfo* r = GetCurrentSelDevice())
        fillEditor(r, false);
}

void SearchFrame::updateTableView(DeviceInfo* record, bool wholeRow, bool done)
{
    bool empty = false;
    if (done) {
        QMutexLocker lock(&m_mutex);
        m_runningRecords.removeOne(record);
        empty = m_runningRecords.isEmpty();
    }
    if (QThread::currentThread() == thread())
        refreshRow(record, wholeRow);
    else
        QMetaObject::invokeMethod(
            this, [this, record, wholeRow] { refreshRow(record, wholeRow); }, Qt::QueuedConnection);
    if (done && empty)
        QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kModifyDoneEvent)));
}

void SearchFrame::refreshRow(DeviceInfo* record, bool wholeRow)
{
    m_pCurrentModel->updateDeviceStatus(record, wholeRow);
}

bool SearchFrame::isModifyIPDone()
{
    QMutexLocker lock(&m_mutex);
    return m_runningRecords.isEmpty();
}
