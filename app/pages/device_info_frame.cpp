#include "device_info_frame.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cstring>

#include "KVAppSetting.h"
#include "KVMessageBox.h"
#include "Singleton.h"
#include "ToolBarFrame.h"
#include "EventLoop.h"
#include "XmlLanguage.h"
#include "address_rules.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_config.h"
#include "device_info.h"
#include "device_info_mng.h"

namespace {

constexpr QEvent::Type kJobsDoneEvent = QEvent::Type(1006);
// Text of a batch from which records busy with another page's job were left out.
constexpr int kBusyLeftOutTextId = 151;
// The search page's text for a batch that would leave the subnet's host addresses.
constexpr int kBatchRefusedTextId = 149;

KVAppSetting* Setting()
{
    return Singleton<KVAppSetting>::getInstance();
}

void ReportToDeviceInfoPage(DeviceInfoFrame* page, DeviceInfo* record, bool done)
{
    page->updateTableView(record, done);
}

enum Row { KeyID, BoardID, MainBoard, ProductType, DeviceType, DeviceName, FunctionCode, CustomType };

void putText(char* field, int width, const QString& text, int maxBytes)
{
    const QByteArray b = kvcfg::utf8Cut(text, qMin(width, maxBytes));
    std::memset(field, 0, size_t(width));
    std::memcpy(field, b.constData(), size_t(b.size()));
}

} // namespace

namespace kvinfo {

int checkFactoryInput(const FactoryInput& in, int edition, KVNet_KeyBackupSet_t* block, int* focus, bool* clear)
{
    *focus = -1;
    *clear = false;
    bool any = false;
    for (bool u : in.use)
        any = any || u;
    if (!any)
        return 104;
    for (int i = 0; i < 8; ++i)
        if (in.use[i] && in.text[i].isEmpty())
            return 104;
    if (in.use[MainBoard]) {
        const QString& t = in.text[MainBoard];
        const bool prefix = edition == 8 ? (t.startsWith("VOQ-DM-") || t.startsWith("VOQ-CM-"))
                                         : (t.startsWith("KV-DM-") || t.startsWith("KV-CM-"));
        const QChar last = t.at(t.size() - 1);
        if (!prefix || last < QLatin1Char('A') || last > QLatin1Char('Z')) {
            *focus = MainBoard;
            return edition == 8 ? 106 : 105;
        }
    }
    qint64 functionCode = 0;
    if (in.use[FunctionCode]) {
        bool ok = false;
        functionCode = in.text[FunctionCode].toLongLong(&ok, 10);
        if (!ok) {
            *clear = true;
            return 107;
        }
    }
    // Counted in bytes as the device stores it: 16 of UTF-8.
    if (in.use[BoardID] && in.text[BoardID].toUtf8().size() > 16)
        return 108;
    if (in.use[KeyID]) {
        const QString& t = in.text[KeyID];
        if (t.size() < 2 || t.left(2).compare(QLatin1String("0x"), Qt::CaseInsensitive) != 0)
            return 109;
        QString digits = t.mid(2);
        for (QChar c : digits)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                return 109;
        while (digits.startsWith('0'))
            digits.remove(0, 1);
        if (digits.size() > 8) // the device's key ID has 32 bits
            return 109;
    }
    std::memset(block, 0, sizeof *block);
    block->StructSize = sizeof *block;
    if (in.use[MainBoard]) {
        putText(block->MainBoardName, 56, in.text[MainBoard], 56);
        block->FieldMask |= KVNET_KEYBACKUP_MAINBOARDNAME;
        qDebug() << "MainBoardName:" << in.text[MainBoard];
    }
    if (in.use[ProductType]) {
        putText(block->ProductType, 64, in.text[ProductType], 64);
        block->FieldMask |= KVNET_KEYBACKUP_PRODUCTTYPE;
        qDebug() << "ProductType:" << in.text[ProductType];
    }
    if (in.use[DeviceType]) {
        putText(block->DeviceType, 32, in.text[DeviceType], 31);
        block->FieldMask |= KVNET_KEYBACKUP_DEVICETYPE;
        qDebug() << "DeviceType:" << in.text[DeviceType];
    }
    if (in.use[DeviceName]) {
        putText(block->DeviceName, 32, in.text[DeviceName], 31);
        block->FieldMask |= KVNET_KEYBACKUP_DEVICENAME;
        qDebug() << "DeviceName:" << in.text[DeviceName];
    }
    if (in.use[FunctionCode]) {
        block->FunctionCode = functionCode;
        block->FieldMask |= KVNET_KEYBACKUP_FUNCTIONCODE;
        qDebug() << "FunctionCode:" << functionCode;
    }
    if (in.use[CustomType]) {
        putText(block->CustomType, 32, in.text[CustomType], 32);
        block->FieldMask |= KVNET_KEYBACKUP_CUSTOMTYPE;
        qDebug() << "CustomType:" << in.text[CustomType];
    }
    return 0;
}

} // namespace kvinfo

DeviceInfoFrame::DeviceInfoFrame(QWidget* parent) : QFrame(parent)
{
    std::memset(&m_keyBackup, 0, sizeof m_keyBackup);
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    hooks.deviceInfo = ReportToDeviceInfoPage;
    DeviceInfo::setPageHooks(hooks);
    setupForm();
    m_pModel = new CheckBoxTableModel(m_pDeviceTableView, CheckBoxTableModel::DeviceInfoModel, 0);
    m_pDeviceTableView->setModelAndDelegate(m_pModel->getTableModel(), 0);
    m_pDeviceTableView->setColumnWidth(0, 80);
    m_pDeviceTableView->setColumnWidth(2, 135);
    m_pDeviceTableView->setColumnWidth(4, 120);
    m_pEditUser->setText(Setting()->m_strDefaultUser);
    m_pEditUser_2->setText(Setting()->m_strDefaultUser);
    m_pEditPassword->setText(Setting()->m_strDefaultPassword);
    m_pEditPassword_2->setText(Setting()->m_strDefaultPassword);
    for (QCheckBox* c : m_pCheck)
        c->setChecked(true);
    connect(m_pDeviceTableView, &QAbstractItemView::clicked, this, &DeviceInfoFrame::onClickTableView);
    InitText();
    m_pStackWidget->setCurrentIndex(Setting()->m_nCompany == 22 ? 1 : 0);
}

DeviceInfoFrame::~DeviceInfoFrame()
{
    Setting()->PopWindowObject(this);
    // Records may outlive the page (a job still running): they report to nobody then.
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    for (const QList<DeviceInfo*>* list : {static_cast<const QList<DeviceInfo*>*>(&mng->m_listDeviceInfo), &mng->retired()})
        for (DeviceInfo* r : *list)
            if (r->m_pDeviceInfoFrame == this)
                r->m_pDeviceInfoFrame = nullptr;
}

void DeviceInfoFrame::setupForm()
{
    setObjectName(QStringLiteral("DeviceInfoFrame"));
    resize(834, 568);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setWindowTitle(QStringLiteral("Frame"));
    auto* outer = new QHBoxLayout(this);
    outer->setObjectName(QStringLiteral("horizontalLayout_5"));
    outer->setContentsMargins(0, 0, 0, 0);
    m_pDeviceTableView = new CheckBoxTableView(this);
    m_pDeviceTableView->setObjectName(QStringLiteral("m_pDeviceTableView"));
    outer->addWidget(m_pDeviceTableView, 1);
    auto* vline = new QFrame(this);
    vline->setObjectName(QStringLiteral("line"));
    vline->setFrameShape(QFrame::VLine);
    vline->setFrameShadow(QFrame::Sunken);
    outer->addWidget(vline);
    m_pStackWidget = new QStackedWidget(this);
    m_pStackWidget->setObjectName(QStringLiteral("m_pStackWidget"));
    outer->addWidget(m_pStackWidget);

    auto hline = [](QWidget* p, const char* name) {
        auto* f = new QFrame(p);
        f->setObjectName(QString::fromLatin1(name));
        f->setFrameShape(QFrame::HLine);
        f->setFrameShadow(QFrame::Sunken);
        return f;
    };
    auto label = [this](QWidget* p, const char* name, int text) {
        auto* l = new QLabel(QStringLiteral("TextLabel"), p);
        l->setObjectName(QString::fromLatin1(name));
        l->setMinimumSize(60, 25);
        m_labels << l;
        m_labelTexts << text;
        return l;
    };
    auto edit = [](QWidget* p, const char* name) {
        auto* e = new QLineEdit(p);
        e->setObjectName(QString::fromLatin1(name));
        e->setMinimumSize(100, 25);
        return e;
    };
    auto buttonRow = [this](QWidget* p, QVBoxLayout* v, const char* layout, const char* name, int text) {
        auto* row = new QHBoxLayout;
        row->setObjectName(QString::fromLatin1(layout));
        row->addStretch(1);
        auto* b = new QPushButton(QStringLiteral("PushButton"), p);
        b->setObjectName(QString::fromLatin1(name));
        b->setMinimumSize(100, 25);
        row->addWidget(b);
        v->addLayout(row);
        m_buttons << b;
        m_buttonTexts << text;
        return b;
    };

    auto* page1 = new QWidget(m_pStackWidget);
    page1->setObjectName(QStringLiteral("Page1"));
    auto* v = new QVBoxLayout(page1);
    v->setObjectName(QStringLiteral("verticalLayout"));
    QMargins m = v->contentsMargins();
    m.setRight(6);
    v->setContentsMargins(m);
    v->addWidget(hline(page1, "line_5"));
    m_pBtnSearch = buttonRow(page1, v, "horizontalLayout_3", "m_pBtnSearch", 10);
    v->addWidget(hline(page1, "line_6"));
    auto* net = new QGridLayout;
    net->setObjectName(QStringLiteral("gridLayout_2"));
    net->addWidget(label(page1, "m_pLabelUser", 12), 0, 0);
    net->addWidget(m_pEditUser = edit(page1, "m_pEditUser"), 0, 1);
    net->addWidget(label(page1, "m_pLabelPassword", 13), 0, 2);
    net->addWidget(m_pEditPassword = edit(page1, "m_pEditPassword"), 0, 3);
    m_pEditPassword->setEchoMode(QLineEdit::Password);
    net->addWidget(label(page1, "m_pLabelStartIP", 45), 1, 0);
    net->addWidget(m_pEditStartIP = edit(page1, "m_pEditStartIP"), 1, 1);
    net->addWidget(label(page1, "m_pLabelMediaPort", 33), 1, 2);
    net->addWidget(m_pEditMediaPort = edit(page1, "m_pEditMediaPort"), 1, 3);
    net->addWidget(label(page1, "m_pLabelGateway", 38), 2, 0);
    net->addWidget(m_pEditGateway = edit(page1, "m_pEditGateway"), 2, 1);
    net->addWidget(label(page1, "m_pLabelNetmask", 37), 2, 2);
    net->addWidget(m_pEditNetmask = edit(page1, "m_pEditNetmask"), 2, 3);
    v->addLayout(net);
    m_pBtnModify = buttonRow(page1, v, "horizontalLayout_4", "m_pBtnModify", 59);
    QFrame* l3 = hline(page1, "line_3");
    l3->setMinimumWidth(280);
    v->addWidget(l3);
    auto* fac = new QGridLayout;
    fac->setObjectName(QStringLiteral("gridLayout"));
    const char* names[8][3] = {
        {"m_pLabelKeyID", "m_pEditKeyID", "m_pCheckKeyID"},
        {"m_pLabelBoardID", "m_pEditBoardID", "m_pCheckBoardID"},
        {"m_pLabelMainBoardName", "m_pEditMainBoardName", "m_pCheckMainBoardName"},
        {"m_pLabelProductType", "m_pEditProductType", "m_pCheckProductType"},
        {"m_pLabelDeviceType", "m_pEditDeviceType", "m_pCheckDeviceType"},
        {"m_pLabelDeviceName", "m_pEditDeviceName", "m_pCheckDeviceName"},
        {"m_pLabelFunctionCode", "m_pEditFunctionCode", "m_pCheckFunctionCode"},
        {"m_pLabelCustomType", "m_pEditCustomType", "m_pCheckCustomType"},
    };
    for (int i = 0; i < 8; ++i) {
        QLabel* l = label(page1, names[i][0], 96 + i);
        if (i == 0)
            l->setMinimumWidth(120);
        fac->addWidget(l, i, 0);
        m_pEdit[i] = new QLineEdit(page1);
        m_pEdit[i]->setObjectName(QString::fromLatin1(names[i][1]));
        m_pEdit[i]->setMinimumHeight(25);
        fac->addWidget(m_pEdit[i], i, 1);
        m_pCheck[i] = new QCheckBox(page1);
        m_pCheck[i]->setObjectName(QString::fromLatin1(names[i][2]));
        fac->addWidget(m_pCheck[i], i, 2);
    }
    v->addLayout(fac);
    m_pBtnSet = buttonRow(page1, v, "horizontalLayout", "m_pBtnSet", 64);
    v->addWidget(hline(page1, "line_2"));
    m_pBtnDefault = buttonRow(page1, v, "horizontalLayout_2", "m_pBtnDefault", 63);
    v->addWidget(hline(page1, "line_7"));
    m_pBtnPTZDefault = buttonRow(page1, v, "horizontalLayout_6", "m_pBtnPTZDefault", 111);
    v->addWidget(hline(page1, "line_4"));
    v->addStretch(1);
    m_pStackWidget->addWidget(page1);

    auto* page2 = new QWidget(m_pStackWidget);
    page2->setObjectName(QStringLiteral("page"));
    auto* v2 = new QVBoxLayout(page2);
    v2->setObjectName(QStringLiteral("verticalLayout_2"));
    v2->setContentsMargins(1, 1, 6, 1);
    v2->addWidget(hline(page2, "line_8"));
    m_pBtnSearch_2 = buttonRow(page2, v2, "horizontalLayout_7", "m_pBtnSearch_2", 10);
    v2->addWidget(hline(page2, "line_9"));
    auto* cred = new QHBoxLayout;
    cred->setObjectName(QStringLiteral("horizontalLayout_9"));
    cred->addWidget(label(page2, "m_pLabelUser_2", 12));
    cred->addWidget(m_pEditUser_2 = edit(page2, "m_pEditUser_2"));
    cred->addWidget(label(page2, "m_pLabelPassword_2", 13));
    cred->addWidget(m_pEditPassword_2 = edit(page2, "m_pEditPassword_2"));
    m_pEditPassword_2->setEchoMode(QLineEdit::Password);
    v2->addLayout(cred);
    m_pBtnEnableNTP = buttonRow(page2, v2, "horizontalLayout_8", "m_pBtnEnableNTP", 134);
    v2->addWidget(hline(page2, "line_10"));
    v2->addStretch(1);
    m_pStackWidget->addWidget(page2);
    m_pStackWidget->setCurrentIndex(1);
    QMetaObject::connectSlotsByName(this);
}

void DeviceInfoFrame::InitText()
{
    Setting()->PushWindowObject(this);
    for (int i = 0; i < m_labels.size(); ++i)
        m_labels[i]->setText(LoadStringFromID(m_labelTexts[i]));
    for (int i = 0; i < m_buttons.size(); ++i)
        m_buttons[i]->setText(LoadStringFromID(m_buttonTexts[i]));
    if (m_pDeviceTableView)
        m_pDeviceTableView->widenToHeaders();
}

QList<DeviceInfo*> DeviceInfoFrame::jobs()
{
    QMutexLocker lock(&m_mutex);
    return m_listJobs;
}

void DeviceInfoFrame::enableWidget(bool on)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_pBtnSearch, m_pBtnModify, m_pBtnSet, m_pBtnDefault,
                                                      m_pBtnPTZDefault, m_pEditUser, m_pEditPassword,
                                                      m_pEditStartIP, m_pEditMediaPort, m_pEditGateway,
                                                      m_pEditNetmask, m_pBtnSearch_2, m_pBtnEnableNTP})
        w->setEnabled(on);
    for (int i = 0; i < 8; ++i) {
        m_pEdit[i]->setEnabled(on);
        m_pCheck[i]->setEnabled(on);
    }
    // The tool bar too: another page must not start a job on a record of this batch.
    if (m_pToolBar)
        m_pToolBar->setWidgetEnable(on);
}

void DeviceInfoFrame::warn(int textId)
{
    KVMessageBox::Show(LoadStringFromID(textId), LoadStringFromID(110), this, MsgBoxButtonOk, MsgBoxIconWarning);
}

void DeviceInfoFrame::OnSearchDeviceDone()
{
    ++m_nReloads;
    enableWidget(true);
    m_pModel->clearDeviceInfo();
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    mng->clearDevStatus();
    m_pModel->updateDeviceInfo(mng->m_listDeviceInfo);
}

void DeviceInfoFrame::setFilterCol(int column)
{
    m_nFilterCol = column;
    if (m_pModel)
        m_pModel->setFilterCol(column);
}

void DeviceInfoFrame::setFilterString(const QString& text)
{
    m_strFilter = text;
    if (m_pModel)
        m_pModel->setFilterString(text);
}

bool DeviceInfoFrame::batchStart(void (*job)(void*), bool ntpPanel, const std::function<void(DeviceInfo*, int)>& input,
                                 bool queueEach)
{
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.clear();
    }
    if (m_pDeviceTableView->getHeadCheckState() == 0) {
        warn(51);
        return false;
    }
    // The batch works on its own copy: reports edit the job list while it is walked.
    QList<DeviceInfo*> batch = m_pModel->checkedRecords();
    // Records still busy with another page's job are left out (an upgrade that has
    // started keeps its record busy after its page has given its controls back).
    if (DeviceInfo::dropBusy(batch) > 0)
        warn(kBusyLeftOutTextId);
    if (batch.isEmpty())
        return false;
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs = batch;
    }
    enableWidget(false);
    const QString user = ntpPanel ? m_pEditUser_2->text() : m_pEditUser->text();
    const QString pwd = ntpPanel ? m_pEditPassword_2->text() : m_pEditPassword->text();
    for (int i = 0; i < batch.size(); ++i) {
        DeviceInfo* r = batch[i];
        r->m_nStatus = DeviceInfo::StWorking;
        if (!r->m_pDeviceInfoFrame)
            r->m_pDeviceInfoFrame = this;
        r->updateUserAndPassword(user, pwd);
        if (input)
            input(r, i);
        m_pModel->updateDeviceStatus(r->m_devInfoIndex, false);
        if (queueEach)
            EventLoop::getLoop()->addWork(job, r);
    }
    if (!queueEach)
        for (DeviceInfo* r : batch)
            EventLoop::getLoop()->addWork(job, r);
    return true;
}

void DeviceInfoFrame::on_m_pBtnSearch_clicked()
{
    enableWidget(false);
    m_pModel->clearDeviceInfo();
    QList<DeviceInfo*> empty;
    {
        QMutexLocker lock(&m_mutex);
        m_listJobs.clear();
    }
    DeviceInfoMng::getInstance()->updateDeviceInfo(empty);
    if (m_pToolBar)
        emit m_pToolBar->SearchRequest();
}

void DeviceInfoFrame::on_m_pBtnSearch_2_clicked()
{
    on_m_pBtnSearch_clicked();
}

void DeviceInfoFrame::onClickTableView(const QModelIndex& index)
{
    DeviceInfo* r = m_pModel->objectPointFromIndex(index);
    if (!r)
        return;
    if (index.column() == 1)
        QDesktopServices::openUrl(QUrl(QStringLiteral("http://%1:%2").arg(r->ipText()).arg(r->m_searchRsp.nWebPort)));
    m_pEditMediaPort->setText(QString::number(r->m_searchRsp.nMediaPort));
    m_pEditGateway->setText(r->gatewayText());
    m_pEditNetmask->setText(r->maskText());
}

void DeviceInfoFrame::on_m_pBtnModify_clicked()
{
    const QString start = m_pEditStartIP->text();
    bool ok = false;
    const uint port = m_pEditMediaPort->text().toUInt(&ok, 10);
    const quint16 mediaPort = ok && port <= 0xFFFF ? quint16(port) : 0;
    const QString gateway = m_pEditGateway->text();
    const QString mask = m_pEditNetmask->text();
    QLineEdit* failed = start.isEmpty() ? m_pEditStartIP : mediaPort == 0 ? m_pEditMediaPort
                        : gateway.isEmpty() ? m_pEditGateway : mask.isEmpty() ? m_pEditNetmask : nullptr;
    if (failed) {
        warn(104);
        failed->setFocus();
        return;
    }
    const int count = m_pModel->checkedRecords().size();
    // The search page's rule: every address a host of the start's subnet, refused whole
    // before anything is sent.
    const AddressBatch plan = PlanAddressBatch(start, mask, gateway, qMax(count, 1));
    if (count > 0 && plan.check != AddressBatchCheck::Ok) {
        warn(IsFormFault(plan.check) ? 104 : kBatchRefusedTextId);
        return;
    }
    batchStart(&DeviceInfo::doModifyIPWork, false, [&](DeviceInfo* r, int i) {
        const QString ip = plan.addresses.value(i);
        r->updateSearchIPInfo(ip, mediaPort, 80, gateway, mask, 1);
        qDebug().noquote() << "IP:" + ip << " Mac address:" + r->macText();
    }, true);
}

void DeviceInfoFrame::on_m_pBtnSet_clicked()
{
    kvinfo::FactoryInput in;
    for (int i = 0; i < 8; ++i) {
        in.use[i] = m_pCheck[i]->isChecked();
        in.text[i] = m_pEdit[i]->text();
    }
    KVNet_KeyBackupSet_t block;
    int focus;
    bool clear;
    const int fault = kvinfo::checkFactoryInput(in, Setting()->m_nCompany, &block, &focus, &clear);
    if (fault) {
        warn(fault);
        if (focus >= 0)
            m_pEdit[focus]->setFocus();
        if (clear)
            m_pEdit[FunctionCode]->clear();
        return;
    }
    m_keyBackup = block;
    const QString keyId = in.use[KeyID] ? in.text[KeyID] : QString();
    const QString boardId = in.use[BoardID] ? in.text[BoardID] : QString();
    batchStart(&DeviceInfo::doModifyDeviceInfoWork, false, [&](DeviceInfo* r, int) {
        r->updateKeyIDAndBoardID(keyId, boardId);
        r->updateKeyBackupParam(m_keyBackup);
    });
}

void DeviceInfoFrame::on_m_pBtnDefault_clicked()
{
    batchStart(&DeviceInfo::doLoadDefaultWork, false, nullptr);
}

void DeviceInfoFrame::on_m_pBtnPTZDefault_clicked()
{
    batchStart(&DeviceInfo::doPtzRestoreWork, false, nullptr);
}

void DeviceInfoFrame::on_m_pBtnEnableNTP_clicked()
{
    batchStart(&DeviceInfo::doEnableNTPWork, true, nullptr);
}

void DeviceInfoFrame::updateTableView(DeviceInfo* record, bool done)
{
    if (done) {
        bool empty;
        {
            QMutexLocker lock(&m_mutex);
            m_listJobs.removeAll(record);
            empty = m_listJobs.isEmpty();
        }
        if (empty)
            QCoreApplication::postEvent(this, new QEvent(kJobsDoneEvent));
    }
    m_pModel->updateDeviceStatus(record->m_devInfoIndex, false);
}

void DeviceInfoFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
    else if (event->type() == kJobsDoneEvent)
        enableWidget(true);
}
