#include "login_frame.h"

#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <cstring>

#include "KVAppSetting.h"
#include "XmlLanguage.h"
#include "device_config.h"
#include "device_info.h"
#include "device_info_blocks.h"
#include "device_shell_access.h"

namespace {

// A code of one login, for the device object only.
class SessionCodeEvent : public QConnectEvent {
public:
    SessionCodeEvent(int code, unsigned generation) : QConnectEvent(code), m_nGeneration(generation) {}
    unsigned m_nGeneration;
};

bool forwarded(unsigned code)
{
    return code == 2 || code == 101 || (code >= 103 && code <= 109);
}

} // namespace

struct KVDevice::Session {
    KVDevice* device;
    unsigned generation;
    std::atomic<int> lastCode{3};
};

KVDevice::KVDevice()
{
    m_devInfo = QByteArray(kDevInfoSize, '\0');
    m_relogin.setSingleShot(true);
    m_relogin.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5% early
    m_relogin.setInterval(1000);
    QObject::connect(&m_relogin, &QTimer::timeout, this, [this] { relogin(); });
}

KVDevice::~KVDevice()
{
    Logout();
}

void KVDevice::Login(QString& address, int port, QString& user, QString& password)
{
    // Copies first: the arguments may be this object's own fields.
    const QString a = address, u = user, p = password;
    Logout();
    m_nRelogins = 0;
    m_strAddress = a;
    m_nPort = port;
    m_strUser = u;
    m_strPassword = p;
    start();
}

void KVDevice::start()
{
    const QByteArray addr = m_strAddress.toUtf8();
    const QByteArray user = m_strUser.toUtf8();
    const QByteArray pwd = m_strPassword.toUtf8();
    m_session.reset(new Session{this, ++m_nGeneration});
    KVNetConnectionParam p;
    std::memset(&p, 0, sizeof p);
    p.szAddr = addr.constData();
    // A negative port would wrap to a valid one: send one the client refuses instead.
    p.nPort = m_nPort < 0 ? 0x10000u : static_cast<uint32_t>(m_nPort);
    p.szUser = user.constData();
    p.szPwd = pwd.constData();
    p.pUser = m_session.get();
    p.bAutoReconnect = 1;
    p.msgCallback = &KVDevice::connectionCallbackFun;
    p.nLoginType = 0;
    p.nLoginVariant = static_cast<uint8_t>(kvshell::loginVariant());
    m_hSession = KVNetConnectionStartEx(&p);
    if (!m_hSession)
        m_session.reset();
}

void KVDevice::Logout()
{
    m_relogin.stop();
    if (m_hSession) {
        DevConnection* h = m_hSession;
        KVNetConnectionStop(&h);
        m_hSession = nullptr;
    }
    // The session has ended: no callback reaches the context any more.
    m_session.reset();
    ++m_nGeneration;
    m_nLastCode = 3;
    m_strAddress.clear();
    m_strUser.clear();
    m_strPassword.clear();
    m_nPort = 0;
}

void KVDevice::connectionCallbackFun(unsigned code, void* user)
{
    auto* s = static_cast<Session*>(user);
    if (!s || !forwarded(code))
        return;
    s->lastCode.store(int(code));
    QCoreApplication::postEvent(s->device, new SessionCodeEvent(int(code), s->generation));
}

void KVDevice::customEvent(QEvent* event)
{
    if (event->type() != QConnectEvent::kType)
        return;
    auto* e = static_cast<SessionCodeEvent*>(event);
    if (!m_session || e->m_nGeneration != m_session->generation)
        return; // a code of a login that has been replaced or stopped
    m_nLastCode = m_session->lastCode.load();
    if (m_nLastCode == 101) {
        // Read here, with the handle that Login stored, never on the session's thread.
        m_devInfo.fill('\0', kDevInfoSize);
        KVNetGetDevInfo(m_hSession, m_devInfo.data(), kDevInfoSize);
        m_nRelogins = 0;
    }
    if (m_pTarget)
        QCoreApplication::postEvent(m_pTarget, new QConnectEvent(m_nLastCode));
    if (kvshell::editionCode() == 8 && m_nLastCode != 101 && m_nRelogins < kMaxRelogins
        && !m_relogin.isActive())
        m_relogin.start(); // paced: a refusing device is not flooded with logins
}

void KVDevice::relogin()
{
    QString a = m_strAddress, u = m_strUser, p = m_strPassword;
    const int port = m_nPort;
    const int count = m_nRelogins + 1;
    Login(a, port, u, p);
    m_nRelogins = count;
}

// ---- the page ----

static QLabel* rightLabel(QWidget* parent, const char* name)
{
    auto* l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

static QLineEdit* fixedEdit(QWidget* parent, const char* name)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setFixedSize(100, 25);
    return e;
}

static QFrame* line(QWidget* parent, const char* name, QFrame::Shape shape)
{
    auto* f = new QFrame(parent);
    f->setObjectName(QString::fromLatin1(name));
    f->setFrameShape(shape);
    f->setFrameShadow(QFrame::Sunken);
    return f;
}

LoginFrame::LoginFrame(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("LoginFrame"));
    resize(796, 516);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    auto* v = new QVBoxLayout(this);
    v->setObjectName(QStringLiteral("verticalLayout"));
    v->addWidget(line(this, "line", QFrame::HLine));
    auto* row = new QHBoxLayout;
    row->setObjectName(QStringLiteral("horizontalLayout"));
    m_pLabIP = rightLabel(this, "m_pLabIP");
    m_pEdtIP = fixedEdit(this, "m_pEdtIP");
    m_pLabPort = rightLabel(this, "m_pLabPort");
    m_pEdtPort = fixedEdit(this, "m_pEdtPort");
    m_pLabUser = rightLabel(this, "m_pLabUser");
    m_pEdtUsr = fixedEdit(this, "m_pEdtUsr");
    m_pLabPwd = rightLabel(this, "m_pLabPwd");
    m_pEdtPwd = fixedEdit(this, "m_pEdtPwd");
    m_pEdtPwd->setEchoMode(QLineEdit::Password);
    m_pBtnLogin = new QPushButton(this);
    m_pBtnLogin->setObjectName(QStringLiteral("m_pBtnLogin"));
    m_pBtnLogin->setMinimumSize(80, 25);
    for (QWidget* w : {static_cast<QWidget*>(m_pLabIP), static_cast<QWidget*>(m_pEdtIP),
                       static_cast<QWidget*>(m_pLabPort), static_cast<QWidget*>(m_pEdtPort),
                       static_cast<QWidget*>(m_pLabUser), static_cast<QWidget*>(m_pEdtUsr),
                       static_cast<QWidget*>(m_pLabPwd), static_cast<QWidget*>(m_pEdtPwd)})
        row->addWidget(w);
    row->addStretch(1);
    row->addWidget(m_pBtnLogin);
    v->addLayout(row);
    v->addWidget(line(this, "line_2", QFrame::HLine));
    m_pConfig = new DeviceConfig(this);
    m_pConfig->setObjectName(QStringLiteral("widget"));
    v->addWidget(m_pConfig, 1);

    m_device.setEventTarget(this);
    m_pConfig->setDevice(&m_device);
    QMetaObject::connectSlotsByName(this);
    InitText();
}

LoginFrame::~LoginFrame()
{
    kvshell::popWindowObject(this);
    // The session ends before the panel that reads it goes.
    m_device.setEventTarget(nullptr);
    m_device.Logout();
}

void LoginFrame::InitText()
{
    kvshell::pushWindowObject(this);
    m_pLabIP->setText(kvshell::text(32));
    m_pLabPort->setText(kvshell::text(33));
    m_pLabUser->setText(kvshell::text(12));
    m_pLabPwd->setText(kvshell::text(13));
    m_pBtnLogin->setText(kvshell::text(84));
}

void LoginFrame::UpdateDeviceInfo(DeviceInfo* device)
{
    m_pRecord = device;
    if (!device)
        return;
    m_pEdtIP->setText(device->ipText());
    m_pEdtPort->setText(QString::number(device->m_searchRsp.nMediaPort));
}

void LoginFrame::SetUserAndPassword(QString& user, QString& password)
{
    m_pEdtUsr->setText(user);
    m_pEdtPwd->setText(password);
}

DeviceInfo* LoginFrame::device() const { return m_pRecord.data(); }
QString LoginFrame::user() const { return m_pEdtUsr->text(); }
QString LoginFrame::password() const { return m_pEdtPwd->text(); }

void LoginFrame::clear_login_status()
{
    m_pConfig->ClearStatus();
}

void LoginFrame::on_m_pBtnLogin_clicked()
{
    QString ip = m_pEdtIP->text();
    QString user = m_pEdtUsr->text();
    QString pwd = m_pEdtPwd->text();
    const int port = m_pEdtPort->text().toInt(nullptr, 10);
    m_device.Login(ip, port, user, pwd);
}

void LoginFrame::showEvent(QShowEvent* event)
{
    if (m_pEdtIP->text() != m_device.address() || m_pEdtPort->text().toInt(nullptr, 10) != m_device.port()
        || m_pEdtUsr->text() != m_device.user() || m_pEdtPwd->text() != m_device.password())
        m_pConfig->ClearStatus();
    QFrame::showEvent(event);
}

void LoginFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
    else if (event->type() == QConnectEvent::kType)
        m_pConfig->OnConnection();
}
