#include "TitleBarFrame.h"

#include "BaseDialog.h"
#include "Edition.h"
#include "KVAppSetting.h"
#include "KVMessageBox.h"
#include "Singleton.h"
#include "XmlLanguage.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

int edition()
{
    return Singleton<KVAppSetting>::getInstance()->m_nCompany;
}

// A logo label at the picture's size (at most 40 pixels high), the picture scaled to it.
QLabel* logoLabel(QWidget* parent, const char* path)
{
    auto* label = new QLabel(parent);
    QPixmap pixmap(QString::fromLatin1(path));
    QSize size = pixmap.isNull() ? QSize(40, 40) : pixmap.size();
    if (size.height() > 40)
        size = size.scaled(QSize(size.width(), 40), Qt::KeepAspectRatio);
    label->setFixedSize(size);
    label->setScaledContents(true);
    label->setPixmap(pixmap);
    label->setMouseTracking(true);
    return label;
}

QToolButton* barButton(QWidget* parent, const char* name)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFixedSize(17, 16);
    return button;
}

}  // namespace

TitleBarFrame::TitleBarFrame(QWidget* parent, bool mainMode) : QFrame(parent), m_bMainMode(mainMode)
{
    setObjectName(QStringLiteral("TitleBarFrame"));
    setMouseTracking(true);
    CreateWidget();
    CreateLayout();
    CreateConnection();
    InitText();
}

TitleBarFrame::~TitleBarFrame()
{
    Singleton<KVAppSetting>::getInstance()->PopWindowObject(this);
}

void TitleBarFrame::CreateWidget()
{
    KVAppSetting* setting = Singleton<KVAppSetting>::getInstance();
    const int ed = setting->m_nCompany;
    if (m_bMainMode) {
        m_bShowLogo = !Edition::Has(EditionSwitch::NoMainLogo, ed);
        if (m_bShowLogo)
            m_pLogo = logoLabel(this, ":/icons/Resource/logo.png");
        if (Edition::Has(EditionSwitch::UpperLogo, ed))
            m_pUpperLogo = logoLabel(this, ":/icons/Resource/logo_sub.png");
        if (Edition::Has(EditionSwitch::BarLogo, ed))
            m_pBarLogo = logoLabel(this, ":/icons/Resource/logo_sub.png");
        m_pBtnAbout = barButton(this, "aboutbutton");
        m_pBtnMin = barButton(this, "minbutton");

        m_pMenuAbout = new QMenu(this);
        m_pMenuLanguage = new QMenu(m_pMenuAbout);
        m_pActionLanguage = m_pMenuAbout->addMenu(m_pMenuLanguage);
        m_pActionAbout = m_pMenuAbout->addAction(QString());
        // Language names are set once here; they are each language's own name anyway.
        for (size_t i = 0; i < setting->m_vecLanguage.size(); ++i) {
            const int pos = setting->m_vecLanguage[i];
            const int nameId = pos >= 0 && static_cast<size_t>(pos) < setting->m_vecLanguageName.size()
                                   ? setting->m_vecLanguageName[static_cast<size_t>(pos)]
                                   : 89;
            QAction* action = m_pMenuLanguage->addAction(LoadStringFromID(nameId));
            action->setCheckable(true);
            m_listLanguageAction.append(action);
        }
        CheckCurrentLanguage();
        m_pBtnAbout->setMenu(m_pMenuAbout);
        m_pBtnAbout->setPopupMode(QToolButton::DelayedPopup);
    } else {
        m_pTitleLabel = new QLabel(this);
        m_pTitleLabel->setAlignment(Qt::AlignCenter);
        QPalette palette = m_pTitleLabel->palette();
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::WindowText, Qt::white);
        m_pTitleLabel->setPalette(palette);
    }
    m_pBtnClose = barButton(this, "closebutton");
}

void TitleBarFrame::CreateLayout()
{
    const int ed = edition();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    if (m_pUpperLogo) {
        auto* upper = new QHBoxLayout;
        upper->setContentsMargins(20, 20, 10, 0);
        upper->addWidget(m_pUpperLogo);
        upper->addStretch();
        column->addLayout(upper);
    }
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(20, 0, 10, 0);
    if (m_bMainMode) {
        if (m_pLogo)
            bar->addWidget(m_pLogo);
        bar->addStretch();
        if (m_pBarLogo)
            bar->addWidget(m_pBarLogo);
        if (!Edition::Has(EditionSwitch::NoStretchAfterBarLogo, ed))
            bar->addStretch();
        bar->addWidget(m_pBtnAbout);
        bar->addWidget(m_pBtnMin);
        bar->addWidget(m_pBtnClose);
        m_pBtnMin->hide();
        m_pBtnClose->hide();
    } else {
        // The title label stays outside the layout, in the bar's top-left corner.
        bar->addStretch();
        bar->addWidget(m_pBtnClose);
    }
    column->addLayout(bar);
}

void TitleBarFrame::CreateConnection()
{
    if (m_bMainMode) {
        connect(m_pBtnAbout, &QToolButton::clicked, this, &TitleBarFrame::OnBtnInfo);
        connect(m_pBtnMin, &QToolButton::clicked, this, &TitleBarFrame::MinReqest);
        connect(m_pMenuLanguage, &QMenu::triggered, this, &TitleBarFrame::ChangeLanguage);
        connect(m_pActionAbout, &QAction::triggered, this, &TitleBarFrame::ShowAboutWindow);
    }
    connect(m_pBtnClose, &QToolButton::clicked, this, &TitleBarFrame::OnBtnClose);
}

void TitleBarFrame::InitText()
{
    Singleton<KVAppSetting>::getInstance()->PushWindowObject(this);
    if (m_pBtnMin)
        m_pBtnMin->setToolTip(LoadStringFromID(8));
    m_pBtnClose->setToolTip(LoadStringFromID(9));
    if (m_pActionLanguage)
        m_pActionLanguage->setText(LoadStringFromID(88));
    if (m_pActionAbout)
        m_pActionAbout->setText(LoadStringFromID(7));
}

void TitleBarFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
}

void TitleBarFrame::SetTitle(const QString& title)
{
    if (m_bMainMode || !m_pTitleLabel)
        return;
    m_pTitleLabel->setText(title);
    // Sized to its text so that no title is cut, never below a label's usual 100 pixels.
    const int minimum = Edition::Has(EditionSwitch::WideDialogTitle, edition()) ? 120 : 100;
    m_pTitleLabel->setMinimumWidth(minimum == 120 ? 120 : 0);
    const int width = qMax(minimum, m_pTitleLabel->sizeHint().width() + 16);
    m_pTitleLabel->setGeometry(0, 0, width, 25);
}

void TitleBarFrame::OnBtnInfo()
{
    if (m_pBtnAbout)
        m_pBtnAbout->showMenu();
}

void TitleBarFrame::OnBtnClose()
{
    emit CloseRequest(-1);
}

void TitleBarFrame::CheckCurrentLanguage()
{
    const int current = Singleton<KVAppSetting>::getInstance()->m_nCurLanguage;
    for (int i = 0; i < m_listLanguageAction.size(); ++i)
        m_listLanguageAction.at(i)->setChecked(i == current);
}

void TitleBarFrame::ChangeLanguage(QAction* action)
{
    const int index = m_listLanguageAction.indexOf(action);
    if (index >= 0)
        Singleton<KVAppSetting>::getInstance()->ReloadLanguage(index);
    // The mark follows the language in use, also when the new file could not be read.
    CheckCurrentLanguage();
}

void TitleBarFrame::ShowAboutWindow()
{
    KVAppSetting* setting = Singleton<KVAppSetting>::getInstance();
    const int ed = setting->m_nCompany;
    QString about = Edition::Has(EditionSwitch::OwnAboutText, ed) ? Edition::AboutTemplate(ed)
                                                                   : QStringLiteral("%1%2\n\n%3%4");
    about = about.arg(LoadStringFromID(2), LoadStringFromID(0), LoadStringFromID(3), setting->m_strVersion);
    const QString title = LoadStringFromID(Edition::Has(EditionSwitch::AboutTitle126, ed) ? 126 : 7);

    auto* box = new KVMessageBox(about, this, MsgBoxButtonNone, MsgBoxIconLogo);
    auto* dialog = new BaseDialog(box, title, this);
    dialog->exec();
    delete box;
    delete dialog;
}
