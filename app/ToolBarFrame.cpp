#include "ToolBarFrame.h"

#include "Edition.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "XmlLanguage.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

int edition()
{
    return Singleton<KVAppSetting>::getInstance()->m_nCompany;
}

QPushButton* pageButton(QWidget* parent)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QStringLiteral("PageTabButton"));
    button->setCheckable(true);
    button->setFixedSize(120, 38);
    return button;
}

}  // namespace

ToolBarFrame::ToolBarFrame(QWidget* parent) : QFrame(parent)
{
    CreateWidget();
    CreateLayout();
    CreateConnection();
    InitText();
}

ToolBarFrame::~ToolBarFrame()
{
    Singleton<KVAppSetting>::getInstance()->PopWindowObject(this);
}

void ToolBarFrame::CreateWidget()
{
    const int ed = edition();
    m_pBtnSearch = pageButton(this);
    m_pBtnSearch->setChecked(true);
    m_pBtnUpgrade = pageButton(this);
    m_pBtnConfig = pageButton(this);
    m_pBtnDeviceInfo = pageButton(this);
    m_pBtnDeviceInfo->setVisible(Edition::Has(EditionSwitch::DeviceInfoPage, ed));
    m_pBtnImportExport = pageButton(this);
    m_pBtnImportExport->setVisible(Edition::Has(EditionSwitch::ImportExportPage, ed));
    m_pButtonGroup = new QButtonGroup(this);
    m_pButtonGroup->setExclusive(true);
    for (QPushButton* b : {m_pBtnSearch, m_pBtnUpgrade, m_pBtnConfig, m_pBtnDeviceInfo, m_pBtnImportExport})
        m_pButtonGroup->addButton(b);

    m_pLabelFilter = new QLabel(this);
    m_pLabelFilter->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pEditFilter = new QLineEdit(this);
    m_pEditFilter->setFixedSize(100, 25);
    m_pComboFilter = new QComboBox(this);
    m_pComboFilter->setFixedHeight(25);
    m_pComboFilter->setMinimumWidth(120);
    if (Edition::Has(EditionSwitch::ToolBarObjectNames, ed)) {
        m_pEditFilter->setObjectName(QStringLiteral("ToolBarEdit"));
        m_pComboFilter->setObjectName(QStringLiteral("ToolBarCombox"));
    }

    const bool protocol = Edition::Has(EditionSwitch::ProtocolSelector, ed);
    m_pLabelProtocol = new QLabel(this);
    m_pLabelProtocol->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pLabelProtocol->setVisible(protocol);
    m_pComboProtocol = new QComboBox(this);
    m_pComboProtocol->setFixedHeight(25);
    m_pComboProtocol->setMinimumWidth(100);
    m_pComboProtocol->setVisible(protocol);
}

void ToolBarFrame::CreateLayout()
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 10, 0, 0);
    for (QPushButton* b : {m_pBtnSearch, m_pBtnUpgrade, m_pBtnConfig, m_pBtnDeviceInfo}) {
        layout->addWidget(b);
        layout->addSpacing(10);
    }
    layout->addWidget(m_pBtnImportExport);
    layout->addStretch();
    layout->addWidget(m_pLabelProtocol);
    layout->addWidget(m_pComboProtocol);
    layout->addSpacing(10);
    layout->addWidget(m_pLabelFilter);
    layout->addWidget(m_pEditFilter);
    layout->addWidget(m_pComboFilter);
}

void ToolBarFrame::CreateConnection()
{
    connect(m_pBtnSearch, &QPushButton::clicked, this, &ToolBarFrame::SearchRequest);
    connect(m_pBtnUpgrade, &QPushButton::clicked, this, &ToolBarFrame::UpgradeRequest);
    connect(m_pBtnConfig, &QPushButton::clicked, this, &ToolBarFrame::ConfigRequest);
    connect(m_pBtnDeviceInfo, &QPushButton::clicked, this, &ToolBarFrame::DeviceInfoRequest);
    connect(m_pBtnImportExport, &QPushButton::clicked, this, &ToolBarFrame::ImportExportRequest);
    connect(m_pComboFilter, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ToolBarFrame::FilterIndexChangedRequest);
    connect(m_pEditFilter, &QLineEdit::textChanged, this, &ToolBarFrame::FilterTextChangedRequest);
    // The main window hears of the protocol first; the column entries follow.
    connect(m_pComboProtocol, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ToolBarFrame::ProtocolIndexChangedRequest);
    connect(m_pComboProtocol, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ToolBarFrame::FilterItemChangedRequest);
}

void ToolBarFrame::InitText()
{
    Singleton<KVAppSetting>::getInstance()->PushWindowObject(this);
    const struct {
        QPushButton* button;
        QString text;
    } pages[] = {{m_pBtnSearch, LoadStringFromID(10)},
                 {m_pBtnUpgrade, LoadStringFromID(11)},
                 {m_pBtnConfig, LoadStringFromID(83)},
                 {m_pBtnDeviceInfo, LoadStringFromID(95)},
                 {m_pBtnImportExport, LoadStringFromID(112)}};
    for (const auto& p : pages) {
        p.button->setText(p.text);
        p.button->setToolTip(p.text);
    }
    m_pLabelFilter->setText(LoadStringFromID(14));

    const int column = m_pComboFilter->currentIndex();
    if (column < 0) {
        FilterItemChangedRequest();
        m_pComboFilter->setCurrentIndex(0);
    } else {
        const bool blocked = m_pComboFilter->blockSignals(true);
        FilterItemChangedRequest();
        m_pComboFilter->setCurrentIndex(qMin(column, m_pComboFilter->count() - 1));
        m_pComboFilter->blockSignals(blocked);
    }

    m_pLabelProtocol->setText(LoadStringFromID(136));
    const int protocol = m_pComboProtocol->currentIndex();
    const bool blocked = protocol >= 0 ? m_pComboProtocol->blockSignals(true) : m_pComboProtocol->signalsBlocked();
    m_pComboProtocol->clear();
    m_pComboProtocol->addItem(LoadStringFromID(137));
    m_pComboProtocol->addItem(LoadStringFromID(138));
    m_pComboProtocol->setCurrentIndex(protocol >= 0 ? protocol : 0);
    m_pComboProtocol->blockSignals(blocked);
}

void ToolBarFrame::customEvent(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(kLanguageChangedEvent))
        InitText();
}

void ToolBarFrame::FilterItemChangedRequest()
{
    m_pComboFilter->clear();
    m_pComboFilter->addItem(LoadStringFromID(32));
    if (m_pComboProtocol->currentIndex() == 0) {
        m_pComboFilter->addItem(LoadStringFromID(33));
        m_pComboFilter->addItem(LoadStringFromID(34));
    }
}

void ToolBarFrame::setWidgetEnable(bool enable)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_pBtnSearch, m_pBtnUpgrade, m_pBtnConfig, m_pBtnDeviceInfo,
                                                      m_pBtnImportExport, m_pEditFilter, m_pComboFilter,
                                                      m_pComboProtocol})
        w->setEnabled(enable);
}

void ToolBarFrame::showOtherButton(bool show)
{
    const int ed = edition();
    m_pBtnUpgrade->setVisible(show);
    m_pBtnConfig->setVisible(show);
    m_pBtnDeviceInfo->setVisible(show && Edition::Has(EditionSwitch::DeviceInfoPage, ed));
    m_pBtnImportExport->setVisible(show && Edition::Has(EditionSwitch::ImportExportPage, ed));
}

void ToolBarFrame::SetManualClickConfig()
{
    m_pBtnConfig->setChecked(true);
}

QString ToolBarFrame::filterText() const
{
    return m_pEditFilter->text();
}

int ToolBarFrame::filterColumn() const
{
    return m_pComboFilter->currentIndex();
}

int ToolBarFrame::protocolIndex() const
{
    return m_pComboProtocol->currentIndex();
}
