#include "KVMessageBox.h"

#include "Edition.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "XmlLanguage.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const char* iconPath(MsgBoxIconType icon)
{
    switch (icon) {
    case MsgBoxIconInformation:
        return ":/icons/Resource/information.png";
    case MsgBoxIconLogo:
        return ":/icons/Resource/about-logo.png";
    case MsgBoxIconWarning:
        return ":/icons/Resource/warning.png";
    default:
        return nullptr;
    }
}
}  // namespace

KVMessageBox::KVMessageBox(const QString& text, QWidget* parent, MsgBoxButtonType buttons, MsgBoxIconType icon)
    : BaseDialogFrame(parent), m_strText(text), m_eButtonType(buttons), m_eIconType(icon)
{
    CreateWidget();
    CreateLayout();
    CreateConnection();
    InitText();
}

KVMessageBox::~KVMessageBox() = default;

int KVMessageBox::Show(const QString& text, const QString& title, QWidget* parent, MsgBoxButtonType buttons,
                       MsgBoxIconType icon)
{
    auto* box = new KVMessageBox(text, nullptr, buttons, icon);
    auto* dialog = new BaseDialog(box, title, parent);
    int result = dialog->exec();
    delete box;
    delete dialog;
    return result;
}

void KVMessageBox::CreateWidget()
{
    const int edition = Singleton<KVAppSetting>::getInstance()->m_nCompany;
    m_pLabelText = new QLabel(this);
    m_pLabelText->setWordWrap(true);
    m_pLabelText->setAlignment(Edition::Has(EditionSwitch::MessageLeftAligned, edition)
                                   ? Qt::AlignLeft | Qt::AlignVCenter
                                   : Qt::AlignCenter);
    m_pLabelText->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    if (const char* path = iconPath(m_eIconType)) {
        m_pLabelIcon = new QLabel(this);
        m_pLabelIcon->setPixmap(QPixmap(QString::fromLatin1(path)));
    }

    if (m_eButtonType == MsgBoxButtonOk || m_eButtonType == MsgBoxButtonOkCancel) {
        m_pButtonBar = new QWidget(this);
        m_pBtnOk = new QPushButton(m_pButtonBar);
        m_pBtnOk->setMinimumSize(80, 25);
        if (m_eButtonType == MsgBoxButtonOkCancel) {
            m_pBtnCancel = new QPushButton(m_pButtonBar);
            m_pBtnCancel->setMinimumSize(80, 25);
            m_pButtonBar->setStyleSheet(QStringLiteral(
                ".QWidget{background-color: #dfe4ea;border-bottom-left-radius:5px;border-bottom-right-radius:5px;}"));
        }
    }
    setMinimumSize(250, 120);
}

void KVMessageBox::CreateLayout()
{
    const int edition = Singleton<KVAppSetting>::getInstance()->m_nCompany;
    auto* row = new QHBoxLayout;
    row->setContentsMargins(9, 9, 9, 9);
    row->setSpacing(Edition::Has(EditionSwitch::MessageLeftAligned, edition) ? 40 : 0);
    if (m_pLabelIcon)
        row->addWidget(m_pLabelIcon);
    row->addWidget(m_pLabelText);

    if (!m_pButtonBar) {
        setLayout(row);
        return;
    }
    auto* bar = new QHBoxLayout(m_pButtonBar);
    bar->setContentsMargins(9, 9, 9, 9);
    bar->setSpacing(10);
    bar->addStretch();
    bar->addWidget(m_pBtnOk);
    if (m_pBtnCancel)
        bar->addWidget(m_pBtnCancel);

    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(1, 0, 1, 1);
    box->setSpacing(0);
    box->addLayout(row);
    box->addWidget(m_pButtonBar);
}

void KVMessageBox::CreateConnection()
{
    if (m_pBtnOk)
        connect(m_pBtnOk, &QPushButton::clicked, this, &KVMessageBox::OnClickOk);
    if (m_pBtnCancel)
        connect(m_pBtnCancel, &QPushButton::clicked, this, &KVMessageBox::OnClickCancel);
}

void KVMessageBox::InitText()
{
    // Shown for one exec() only, so it does not register for the language-changed event.
    if (m_pBtnOk)
        m_pBtnOk->setText(LoadStringFromID(4));
    if (m_pBtnCancel)
        m_pBtnCancel->setText(LoadStringFromID(5));
    m_pLabelText->setText(m_strText);
}

void KVMessageBox::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
}

void KVMessageBox::OnClickOk()
{
    emit doneRequest(0, nullptr);
}

void KVMessageBox::OnClickCancel()
{
    emit doneRequest(-1, nullptr);
}
