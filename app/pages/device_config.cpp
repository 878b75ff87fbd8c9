#include "device_config.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QEvent>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "XmlLanguage.h"
#include "device_shell_access.h"
#include "login_frame.h"

namespace kvcfg {

QByteArray utf8Cut(const QString& text, int maxBytes)
{
    QByteArray b = text.toUtf8();
    if (b.size() <= maxBytes)
        return b;
    int cut = maxBytes;
    // Back off over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(b[cut]) & 0xC0) == 0x80)
        --cut;
    return b.left(cut);
}

bool longUserLayout(const QByteArray& devInfo)
{
    if (devInfo.size() < 232)
        return false;
    uint32_t word;
    std::memcpy(&word, devInfo.constData() + 228, 4);
    return (word & 0x8u) != 0;
}

namespace {

struct Layout {
    int pwdOffset, nameOffset, width;
};

Layout layoutOf(bool longLayout)
{
    return longLayout ? Layout{80, 112, 32} : Layout{8, 16, 8};
}

void putField(QByteArray& rec, int offset, int width, const QByteArray& text)
{
    std::memset(rec.data() + offset, 0, size_t(width));
    std::memcpy(rec.data() + offset, text.constData(), size_t(qMin(width, text.size())));
}

} // namespace

int passwordFieldWidth(bool longLayout)
{
    return layoutOf(longLayout).width;
}

bool applyPasswordChange(QList<QByteArray>& records, bool longLayout, const QString& user,
                         const QString& password)
{
    const Layout l = layoutOf(longLayout);
    const QByteArray pwd = password.toUtf8();
    if (pwd.size() > l.width)
        return false;
    const QByteArray name = utf8Cut(user, l.width);
    for (QByteArray& rec : records) {
        if (rec.size() != kUserRecordSize)
            continue;
        const char* field = rec.constData() + l.nameOffset;
        const QByteArray held(field, int(strnlen(field, size_t(l.width))));
        if (held.isEmpty() || held != name)
            continue;
        putField(rec, l.pwdOffset, l.width, pwd);
        putField(rec, l.nameOffset, l.width, name);
        rec[34] = 1;
        return true;
    }
    return false;
}

QByteArray buildDefaults(const DefaultChoice& c)
{
    QByteArray b(12, '\0');
    const uint32_t size = 12;
    std::memcpy(b.data(), &size, 4);
    b[4] = c.display;
    b[5] = c.record;
    b[6] = char(c.networkChoiceOffered ? c.networkChoice : int(c.network));
    b[7] = c.alarm;
    b[8] = c.device;
    b[9] = c.system;
    b[10] = c.advanced;
    b[11] = c.intel;
    return b;
}

} // namespace kvcfg

namespace {

bool languageEvent(QEvent* e)
{
    return e->type() == static_cast<QEvent::Type>(kLanguageChangedEvent);
}

// The new password does not fit the device's password field.
constexpr int kPasswordTooLongTextId = 150;

uint8_t infoByte(const KVDevice* d, int offset)
{
    return d ? static_cast<uint8_t>(d->devInfo().at(offset)) : 0;
}

} // namespace

// ---- Reboot ----

RebootPage::RebootPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Reboot"));
    resize(400, 300);
    auto* v = new QVBoxLayout(this);
    v->setObjectName(QStringLiteral("verticalLayout"));
    v->setContentsMargins(20, 20, 0, 0);
    auto* row = new QHBoxLayout;
    row->setObjectName(QStringLiteral("horizontalLayout"));
    m_pBtnReboot = new QPushButton(this);
    m_pBtnReboot->setObjectName(QStringLiteral("m_pBtnReboot"));
    m_pBtnReboot->setMinimumSize(100, 25);
    row->addWidget(m_pBtnReboot);
    row->addStretch(1);
    v->addLayout(row);
    v->addStretch(1);
    connect(m_pBtnReboot, &QPushButton::clicked, this, &RebootPage::OnClickReboot);
    InitText();
}

void RebootPage::InitText()
{
    kvshell::pushWindowObject(this);
    m_pBtnReboot->setText(kvshell::text(61));
}

namespace {

// The reboot's answer, handed from the session's connection task to the waiting GUI
// thread.
struct RebootAnswer {
    std::mutex mutex;
    std::condition_variable cv;
    bool answered = false;
    bool accepted = false;
};

void rebootAnswerCallback(unsigned short type, unsigned short ack, void*, unsigned, void* user)
{
    auto* a = static_cast<RebootAnswer*>(user);
    std::lock_guard<std::mutex> lk(a->mutex);
    a->answered = true;
    // A session that ended reports a failure code instead of 303; a device that will not
    // restart answers 303 with a non-zero AckFlag.
    a->accepted = type == 303 && ack == 0;
    a->cv.notify_all();
}

} // namespace

bool RebootPage::OnSet()
{
    if (!m_pDevice || !m_pDevice->handle())
        return false;
    // The device's answer decides: a command that went out but was never answered did
    // not reboot anything.
    RebootAnswer answer;
    KVNetRemoteTestAckParam p;
    std::memset(&p, 0, sizeof p);
    p.MsgType = 303;
    p.pUser = &answer;
    p.callback = &rebootAnswerCallback;
    const unsigned seq = KVNetRemoteTestAck(m_pDevice->handle(), &p);
    if (!seq)
        return false;
    const unsigned ms = m_nAnswerTimeoutMs ? m_nAnswerTimeoutMs : 25000;
    std::unique_lock<std::mutex> lk(answer.mutex);
    const bool answered = answer.cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return answer.answered; });
    lk.unlock();
    if (!answered) {
        // Unregistered without a message to the device; once this returns no callback
        // can reach the answer on this stack.
        KVNetRemoteTestStopEx(m_pDevice->handle(), nullptr, seq);
        std::lock_guard<std::mutex> again(answer.mutex);
        return answer.accepted;
    }
    return answer.accepted;
}

void RebootPage::customEvent(QEvent* event)
{
    if (languageEvent(event))
        InitText();
}

// ---- User ----

UserPage::UserPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("User"));
    resize(400, 300);
    auto* h = new QHBoxLayout(this);
    h->setObjectName(QStringLiteral("horizontalLayout"));
    h->setContentsMargins(20, 0, 0, 0);
    auto* form = new QFormLayout;
    form->setObjectName(QStringLiteral("formLayout"));
    m_pLabNewPwd = new QLabel(this);
    m_pLabNewPwd->setObjectName(QStringLiteral("m_pLabNewPwd"));
    m_pEdtNewPwd = new QLineEdit(this);
    m_pEdtNewPwd->setObjectName(QStringLiteral("m_pEdtNewPwd"));
    m_pLabConfirmPwd = new QLabel(this);
    m_pLabConfirmPwd->setObjectName(QStringLiteral("m_pLabConfirmPwd"));
    m_pEdtConfirmPwd = new QLineEdit(this);
    m_pEdtConfirmPwd->setObjectName(QStringLiteral("m_pEdtConfirmPwd"));
    for (QLineEdit* e : {m_pEdtNewPwd, m_pEdtConfirmPwd}) {
        e->setFixedSize(100, 25);
        e->setEchoMode(QLineEdit::Password);
    }
    form->addRow(m_pLabNewPwd, m_pEdtNewPwd);
    form->addRow(m_pLabConfirmPwd, m_pEdtConfirmPwd);
    h->addLayout(form);
    h->addStretch(1);
    InitText();
}

void UserPage::InitText()
{
    kvshell::pushWindowObject(this);
    m_pLabNewPwd->setText(kvshell::text(73));
    m_pLabConfirmPwd->setText(kvshell::text(74));
}

int UserPage::CheckInput() const
{
    if (m_pEdtNewPwd->text().isEmpty())
        return 80;
    if (m_pEdtNewPwd->text() != m_pEdtConfirmPwd->text())
        return 81;
    // Refused before anything is sent rather than cut to the field.
    if (m_pDevice && m_pEdtNewPwd->text().toUtf8().size()
                         > kvcfg::passwordFieldWidth(kvcfg::longUserLayout(m_pDevice->devInfo())))
        return kPasswordTooLongTextId;
    return 79;
}

void UserPage::UserParamCallbackFun(void* item, void* user)
{
    auto* page = static_cast<UserPage*>(user);
    page->m_userParam = QByteArray(static_cast<const char*>(item), kvcfg::kUserStructSize);
}

void UserPage::UserListCallbackFun(void* item, void* user)
{
    auto* page = static_cast<UserPage*>(user);
    page->m_listUser.append(QByteArray(static_cast<const char*>(item), kvcfg::kUserRecordSize));
}

bool UserPage::OnQuery()
{
    m_listUser.clear();
    if (!m_pDevice || !m_pDevice->handle())
        return false;
    KVNetQueryParamParam q;
    std::memset(&q, 0, sizeof q);
    q.nParamType = 505;
    q.nStructSize = kvcfg::kUserStructSize;
    q.structCallback = &UserPage::UserParamCallbackFun;
    q.nElemSize = kvcfg::kUserRecordSize;
    q.elemCallback = &UserPage::UserListCallbackFun;
    q.pUser = this;
    // "No right" (2) is a refusal like any other.
    return KVNetQueryParam(m_pDevice->handle(), &q) == 1;
}

bool UserPage::OnSet()
{
    if (!OnQuery() || m_listUser.isEmpty())
        return false;
    // The account changed is the login user's own; without it nothing is sent.
    if (!kvcfg::applyPasswordChange(m_listUser, kvcfg::longUserLayout(m_pDevice->devInfo()),
                                    m_pDevice->user(), m_pEdtNewPwd->text()))
        return false;
    const QByteArray list = m_listUser.join();
    KVNetSetParamParam s;
    std::memset(&s, 0, sizeof s);
    s.nParamType = 505;
    s.pList = list.constData();
    s.nListCount = uint32_t(m_listUser.size());
    return KVNetSetParam(m_pDevice->handle(), &s) == 1;
}

void UserPage::customEvent(QEvent* event)
{
    if (languageEvent(event))
        InitText();
}

// ---- Default ----

DefaultPage::DefaultPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Default"));
    resize(400, 300);
    auto* outer = new QHBoxLayout(this);
    outer->setObjectName(QStringLiteral("horizontalLayout_2"));
    auto* v = new QVBoxLayout;
    v->setObjectName(QStringLiteral("verticalLayout"));
    auto box = [this](const char* name) {
        auto* c = new QCheckBox(this);
        c->setObjectName(QString::fromLatin1(name));
        return c;
    };
    m_pChkDisplay = box("m_pChkDisplay");
    m_pChkRecord = box("m_pChkRecord");
    m_pChkNetWork = box("m_pChkNetWork");
    m_pChkNetWork_2 = new QRadioButton(this);
    m_pChkNetWork_2->setObjectName(QStringLiteral("m_pChkNetWork_2"));
    m_pChkNetWork_3 = new QRadioButton(this);
    m_pChkNetWork_3->setObjectName(QStringLiteral("m_pChkNetWork_3"));
    m_pChkAlarm = box("m_pChkAlarm");
    m_pChkDevice = box("m_pChkDevice");
    m_pChkSystem = box("m_pChkSystem");
    m_pChkAdvanced = box("m_pChkAdvanced");
    m_pChkIntel = box("m_pChkIntel");
    v->addWidget(m_pChkDisplay);
    v->addWidget(m_pChkRecord);
    auto* net = new QHBoxLayout;
    net->setObjectName(QStringLiteral("horizontalLayout"));
    net->addWidget(m_pChkNetWork);
    net->addWidget(m_pChkNetWork_2);
    net->addWidget(m_pChkNetWork_3);
    net->addStretch(1);
    v->addLayout(net);
    for (QCheckBox* c : {m_pChkAlarm, m_pChkDevice, m_pChkSystem, m_pChkAdvanced, m_pChkIntel})
        v->addWidget(c);
    v->addStretch(1);
    outer->addLayout(v);
    outer->addStretch(1);
    m_pChkNetWork_2->setChecked(true);
    setNetworkChoiceShown(false);
    QMetaObject::connectSlotsByName(this);
    InitText();
}

void DefaultPage::InitText()
{
    kvshell::pushWindowObject(this);
    m_pChkDisplay->setText(kvshell::text(69));
    m_pChkRecord->setText(kvshell::text(71));
    m_pChkNetWork->setText(kvshell::text(70));
    m_pChkNetWork_2->setText(kvshell::text(86));
    m_pChkNetWork_3->setText(kvshell::text(87));
    m_pChkAlarm->setText(kvshell::text(67));
    m_pChkDevice->setText(kvshell::text(68));
    m_pChkSystem->setText(kvshell::text(72));
    m_pChkAdvanced->setText(kvshell::text(66));
    m_pChkIntel->setText(kvshell::text(85));
}

bool DefaultPage::offersNetworkChoice() const
{
    return m_pDevice && (infoByte(m_pDevice, 5) & 0x0F) == 4;
}

void DefaultPage::setNetworkChoiceShown(bool shown)
{
    m_bNetworkChoice = shown;
    m_pChkNetWork_2->setVisible(shown);
    m_pChkNetWork_3->setVisible(shown);
}

void DefaultPage::InitLayout()
{
    if (!m_pDevice)
        return;
    const char kind = char(infoByte(m_pDevice, 234));
    if (kind == '2' || kind == '4') {
        const bool advanced = kvshell::editionCode() == 12;
        m_pChkAdvanced->setVisible(advanced);
        if (!advanced)
            m_pChkAdvanced->setChecked(false);
        m_pChkIntel->setVisible(false);
        m_pChkIntel->setChecked(false);
    } else {
        m_pChkAdvanced->setVisible(true);
        const bool intel = (infoByte(m_pDevice, 416) & 0x08) != 0;
        m_pChkIntel->setVisible(intel);
        if (!intel)
            m_pChkIntel->setChecked(false);
    }
    setNetworkChoiceShown(m_pChkNetWork->isChecked() && offersNetworkChoice());
}

void DefaultPage::on_m_pChkNetWork_clicked(bool checked)
{
    if (offersNetworkChoice())
        setNetworkChoiceShown(checked);
}

kvcfg::DefaultChoice DefaultPage::choice() const
{
    kvcfg::DefaultChoice c;
    c.display = m_pChkDisplay->isChecked();
    c.record = m_pChkRecord->isChecked();
    c.network = m_pChkNetWork->isChecked();
    c.alarm = m_pChkAlarm->isChecked();
    c.device = m_pChkDevice->isChecked();
    c.system = m_pChkSystem->isChecked();
    c.advanced = m_pChkAdvanced->isChecked();
    c.intel = m_pChkIntel->isChecked();
    c.networkChoiceOffered = m_bNetworkChoice;
    c.networkChoice = m_pChkNetWork_2->isChecked() ? 2 : m_pChkNetWork_3->isChecked() ? 1 : 0;
    return c;
}

int DefaultPage::CheckInput() const
{
    const kvcfg::DefaultChoice c = choice();
    const bool any = c.advanced || c.alarm || c.device || c.display || c.network || c.record || c.system
                     || c.intel;
    return any ? 79 : 82;
}

bool DefaultPage::OnSet()
{
    if (!m_pDevice || !m_pDevice->handle())
        return false;
    const QByteArray block = kvcfg::buildDefaults(choice());
    KVNetSetParamParam s;
    std::memset(&s, 0, sizeof s);
    s.nParamType = 521;
    s.pStruct = block.constData();
    return KVNetSetParam(m_pDevice->handle(), &s) == 1;
}

void DefaultPage::customEvent(QEvent* event)
{
    if (languageEvent(event))
        InitText();
}

// ---- the panel ----

static QPushButton* pageButton(QWidget* parent, const char* name)
{
    auto* b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setCheckable(true);
    b->setMinimumSize(100, 25);
    return b;
}

DeviceConfig::DeviceConfig(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("DeviceConfig"));
    resize(570, 370);
    setMinimumSize(570, 370);
    auto* h = new QHBoxLayout(this);
    h->setObjectName(QStringLiteral("horizontalLayout_3"));
    h->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    left->setObjectName(QStringLiteral("verticalLayout_2"));
    m_pBtnReboot = pageButton(this, "m_pBtnReboot");
    m_pBtnModifyUser = pageButton(this, "m_pBtnModifyUser");
    m_pBtnDefault = pageButton(this, "m_pBtnDefault");
    m_pGroup = new QButtonGroup(this);
    m_pGroup->setObjectName(QStringLiteral("buttonGroup"));
    m_pGroup->setExclusive(true);
    for (QPushButton* b : {m_pBtnReboot, m_pBtnModifyUser, m_pBtnDefault}) {
        m_pGroup->addButton(b);
        left->addWidget(b);
    }
    left->addStretch(1);
    h->addLayout(left);
    auto* vline = new QFrame(this);
    vline->setObjectName(QStringLiteral("line"));
    vline->setFrameShape(QFrame::VLine);
    vline->setFrameShadow(QFrame::Sunken);
    h->addWidget(vline);
    auto* right = new QVBoxLayout;
    right->setObjectName(QStringLiteral("verticalLayout"));
    m_pStack = new QStackedWidget(this);
    m_pStack->setObjectName(QStringLiteral("stackedWidget"));
    auto* empty1 = new QWidget(m_pStack);
    empty1->setObjectName(QStringLiteral("page"));
    auto* empty2 = new QWidget(m_pStack);
    empty2->setObjectName(QStringLiteral("page_2"));
    m_pStack->addWidget(empty1);
    m_pStack->addWidget(empty2);
    m_pReboot = new RebootPage(m_pStack);
    m_pUser = new UserPage(m_pStack);
    m_pDefault = new DefaultPage(m_pStack);
    m_pStack->addWidget(m_pReboot);
    m_pStack->addWidget(m_pUser);
    m_pStack->addWidget(m_pDefault);
    right->addWidget(m_pStack, 1);
    auto* hline = new QFrame(this);
    hline->setObjectName(QStringLiteral("line_2"));
    hline->setFrameShape(QFrame::HLine);
    hline->setFrameShadow(QFrame::Sunken);
    right->addWidget(hline);
    auto* row = new QHBoxLayout;
    row->setObjectName(QStringLiteral("horizontalLayout"));
    m_pLabInfo = new QLabel(this);
    m_pLabInfo->setObjectName(QStringLiteral("m_pLabInfo"));
    m_pLabInfo->setMinimumHeight(25);
    m_pBtnSet = new QPushButton(this);
    m_pBtnSet->setObjectName(QStringLiteral("m_pBtnSet"));
    m_pBtnSet->setMinimumSize(80, 25);
    row->addWidget(m_pLabInfo);
    row->addStretch(1);
    row->addWidget(m_pBtnSet);
    right->addLayout(row);
    h->addLayout(right, 1);

    // The style sheet styles the three page buttons by this name.
    for (QPushButton* b : {m_pBtnReboot, m_pBtnModifyUser, m_pBtnDefault})
        b->setObjectName(QStringLiteral("ConfigButton"));
    m_pBtnReboot->setChecked(true);
    m_pBtnSet->hide();
    m_pStack->setCurrentWidget(m_pReboot);
    m_nIndex = 0;
    connect(m_pBtnReboot, &QPushButton::clicked, this, &DeviceConfig::OnRebootPage);
    connect(m_pBtnModifyUser, &QPushButton::clicked, this, &DeviceConfig::OnUserPage);
    connect(m_pBtnDefault, &QPushButton::clicked, this, &DeviceConfig::OnDefaultPage);
    connect(m_pBtnSet, &QPushButton::clicked, this, &DeviceConfig::OnSet);
    connect(m_pReboot, &RebootPage::onReboot, this, &DeviceConfig::OnSet);
    InitText();
}

DeviceConfig::~DeviceConfig()
{
    kvshell::popWindowObject(this);
    kvshell::popWindowObject(m_pReboot);
    kvshell::popWindowObject(m_pUser);
    kvshell::popWindowObject(m_pDefault);
}

void DeviceConfig::setDevice(KVDevice* device)
{
    m_pDevice = device;
    m_pReboot->setDevice(device);
    m_pUser->setDevice(device);
    m_pDefault->setDevice(device);
}

void DeviceConfig::InitText()
{
    kvshell::pushWindowObject(this);
    m_pBtnReboot->setText(kvshell::text(61));
    m_pBtnModifyUser->setText(kvshell::text(62));
    m_pBtnDefault->setText(kvshell::text(63));
    m_pBtnSet->setText(kvshell::text(64));
    m_pLabInfo->clear();
    fitPageButtons();
}

void DeviceConfig::fitPageButtons()
{
    // Texts such as "Restore Defaults" need more than the buttons' 100 pixels; the three
    // share the widest width so the column stays even.
    int width = 100;
    for (QPushButton* b : {m_pBtnReboot, m_pBtnModifyUser, m_pBtnDefault}) {
        b->ensurePolished();
        width = qMax(width, b->sizeHint().width());
        width = qMax(width, b->fontMetrics().horizontalAdvance(b->text()) + 16);
    }
    for (QPushButton* b : {m_pBtnReboot, m_pBtnModifyUser, m_pBtnDefault})
        b->setMinimumWidth(width);
}

QString DeviceConfig::status() const { return m_pLabInfo->text(); }
void DeviceConfig::ClearStatus() { m_pLabInfo->clear(); }
void DeviceConfig::showText(int id) { m_pLabInfo->setText(kvshell::text(id)); }

void DeviceConfig::OnRebootPage()
{
    m_pBtnSet->hide();
    m_pStack->setCurrentWidget(m_pReboot);
    m_nIndex = 0;
}

void DeviceConfig::OnUserPage()
{
    m_pBtnSet->show();
    m_pStack->setCurrentWidget(m_pUser);
    m_nIndex = 1;
}

void DeviceConfig::OnDefaultPage()
{
    m_pBtnSet->show();
    m_pStack->setCurrentWidget(m_pDefault);
    m_nIndex = 2;
}

void DeviceConfig::OnConnection()
{
    if (!m_pDevice) {
        showText(16);
        return;
    }
    const int code = m_pDevice->lastCode();
    if (code == 101) {
        setEnabled(true);
        m_pDefault->InitLayout();
        showText(15);
    } else {
        setEnabled(false);
        showText(code == 104 ? 18 : 16);
    }
}

void DeviceConfig::OnSet()
{
    const int check = m_nIndex == 0 ? m_pReboot->CheckInput()
                      : m_nIndex == 1 ? m_pUser->CheckInput()
                                      : m_pDefault->CheckInput();
    if (check != 79) {
        showText(check);
        return;
    }
    showText(19);
    if (!m_pDevice)
        return;
    if (m_nIndex == 0) {
        showText(m_pReboot->OnSet() ? 75 : 76);
        return;
    }
    const bool ok = m_nIndex == 1 ? m_pUser->OnSet() : m_pDefault->OnSet();
    showText(ok ? 77 : 78);
}

void DeviceConfig::showEvent(QShowEvent* event)
{
    // The style sheet is applied by now: its font and padding decide the buttons' width.
    fitPageButtons();
    if (m_pDevice && m_pDevice->lastCode() == 101) {
        setEnabled(true);
    } else {
        setEnabled(false);
        m_pBtnReboot->setChecked(true);
        OnRebootPage();
    }
    QWidget::showEvent(event);
}

void DeviceConfig::customEvent(QEvent* event)
{
    if (languageEvent(event))
        InitText();
}
