#include "main_frame.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QCursor>
#include <QDesktopWidget>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <chrono>

#include "Edition.h"
#include "EventLoop.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "TitleBarFrame.h"
#include "ToolBarFrame.h"
#include "device_info_frame.h"
#include "import_export_frame.h"
#include "login_frame.h"
#include "search_frame.h"
#include "upgrade_frame.h"

namespace {

const int kBorder = 5; // the band along the edges where the pointer resizes

int EditionCode()
{
    return Singleton<KVAppSetting>::getInstance()->m_nCompany;
}

bool ShowsProtocolSelector()
{
    return Edition::Has(EditionSwitch::ProtocolSelector, EditionCode());
}

} // namespace

MainFrame::MainFrame(QWidget* parent)
    : QFrame(parent)
{
    qApp->installEventFilter(this);
    setMouseTracking(true);
    setMinimumSize(848, 636);
    m_borderPen.setColor(QColor(134, 134, 134));

    m_pTitleBar = new TitleBarFrame(this, true);
    m_pTitleBar->setFixedHeight(Edition::Has(EditionSwitch::TallTitleBar, EditionCode()) ? 150 : 50);

    m_pToolBar = new ToolBarFrame(this);
    m_pStack = new QStackedWidget(this);
    m_pSearchFrame = new SearchFrame(this);
    m_pUpgradeFrame = new UpgradeFrame(this);
    m_pLoginFrame = new LoginFrame(this);
    m_pDeviceInfoFrame = new DeviceInfoFrame(this);
    m_pImportExportFrame = new ImportExportFrame(this);

    m_pSearchFrame->SetToolBar(m_pToolBar);
    m_pUpgradeFrame->setToolBar(m_pToolBar);
    m_pDeviceInfoFrame->setToolBar(m_pToolBar);
    m_pImportExportFrame->setToolBar(m_pToolBar);
    m_pSearchFrame->SetUpgradeAndDeviceInfoFrame(m_pUpgradeFrame, m_pDeviceInfoFrame, m_pImportExportFrame);
    m_pSearchFrame->setFilterCol(1);

    m_pStack->insertWidget(0, m_pSearchFrame);
    m_pStack->insertWidget(1, m_pUpgradeFrame);
    m_pStack->insertWidget(2, m_pLoginFrame);
    m_pStack->insertWidget(3, m_pDeviceInfoFrame);
    m_pStack->insertWidget(4, m_pImportExportFrame);
    m_pStack->setCurrentIndex(0);

    QVBoxLayout* outer = new QVBoxLayout(this);
    outer->setSpacing(0);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_pTitleBar);
    QVBoxLayout* inner = new QVBoxLayout();
    inner->setSpacing(0);
    inner->setContentsMargins(10, 0, 10, 10);
    inner->addWidget(m_pToolBar);
    inner->addWidget(m_pStack);
    outer->addLayout(inner);

    connect(m_pTitleBar, &TitleBarFrame::CloseRequest, this, &MainFrame::OnCloseReponse);
    connect(m_pTitleBar, &TitleBarFrame::MinReqest, this, &MainFrame::OnMinResponse);
    connect(m_pToolBar, &ToolBarFrame::SearchRequest, this, &MainFrame::OnSearchponse);
    connect(m_pToolBar, &ToolBarFrame::UpgradeRequest, this, &MainFrame::OnUpgradeResponse);
    connect(m_pToolBar, &ToolBarFrame::ConfigRequest, this, &MainFrame::OnConfigRequest);
    connect(m_pToolBar, &ToolBarFrame::DeviceInfoRequest, this, &MainFrame::OnDeviceInfoRequest);
    connect(m_pToolBar, &ToolBarFrame::ImportExportRequest, this, &MainFrame::OnImportExportRequest);
    connect(m_pToolBar, &ToolBarFrame::FilterIndexChangedRequest, this, &MainFrame::OnFilterIndexChangedResponse);
    connect(m_pToolBar, &ToolBarFrame::FilterTextChangedRequest, this, &MainFrame::OnFilterTextChangedResponse);
    connect(m_pToolBar, &ToolBarFrame::ProtocolIndexChangedRequest, this,
            &MainFrame::OnProtocolIndexChangedResponse);
    connect(m_pSearchFrame, &SearchFrame::SearchFrameDoubleClick, this, &MainFrame::OnSearchFrameDoubleClick);

    // The first search starts at once; its records arrive while the window is shown.
    m_pSearchFrame->SearchOnLineDevice();
}

MainFrame::~MainFrame()
{
    qApp->removeEventFilter(this);
}

bool MainFrame::quiesce(int timeoutMs)
{
    m_pSearchFrame->quiesce();
    EventLoop* pool = EventLoop::getLoop();
    return pool->waitIdle(static_cast<size_t>(pool->workerCount()), std::chrono::milliseconds(timeoutMs));
}

// ---- routing ----------------------------------------------------------------------------

int MainFrame::filterColumn() const
{
    const int i = m_pToolBar->filterColumn();
    // The search table has the web port in column 3 and the channels in 4.
    return (i == 2 && m_pToolBar->m_pBtnSearch->isChecked()) ? 4 : i + 1;
}

void MainFrame::setProtocolShown(bool shown)
{
    const bool visible = shown && ShowsProtocolSelector();
    m_pToolBar->m_pLabelProtocol->setVisible(visible);
    m_pToolBar->m_pComboProtocol->setVisible(visible);
}

int MainFrame::checkedPage() const
{
    if (m_pToolBar->m_pBtnSearch->isChecked())
        return 0;
    if (m_pToolBar->m_pBtnUpgrade->isChecked())
        return 1;
    if (m_pToolBar->m_pBtnDeviceInfo->isChecked())
        return 3;
    if (m_pToolBar->m_pBtnImportExport->isChecked())
        return 4;
    return 2; // the login page, which has no table
}

void MainFrame::OnCloseReponse(int)
{
    close();
}

void MainFrame::OnMinResponse()
{
    showMinimized();
}

void MainFrame::OnSearchponse()
{
    const bool checked = m_pToolBar->m_pBtnSearch->isChecked();
    if (checked) {
        m_pStack->setCurrentIndex(0);
        setProtocolShown(true);
        m_pSearchFrame->setFilterCol(filterColumn());
        m_pSearchFrame->setFilterString(m_pToolBar->filterText());
    }
    m_pSearchFrame->SearchOnLineDevice();
}

void MainFrame::OnUpgradeResponse()
{
    m_pStack->setCurrentIndex(1);
    setProtocolShown(false);
    m_pUpgradeFrame->setFilterCol(filterColumn());
    m_pUpgradeFrame->setFilterString(m_pToolBar->filterText());
}

void MainFrame::OnConfigRequest()
{
    m_pStack->setCurrentIndex(2);
    setProtocolShown(false);
}

void MainFrame::OnDeviceInfoRequest()
{
    m_pStack->setCurrentIndex(3);
    setProtocolShown(false);
    m_pDeviceInfoFrame->setFilterCol(filterColumn());
    m_pDeviceInfoFrame->setFilterString(m_pToolBar->filterText());
}

void MainFrame::OnImportExportRequest()
{
    m_pStack->setCurrentIndex(4);
    setProtocolShown(false);
    m_pImportExportFrame->setFilterCol(filterColumn());
    m_pImportExportFrame->setFilterString(m_pToolBar->filterText());
}

void MainFrame::OnFilterIndexChangedResponse()
{
    const int column = filterColumn();
    switch (checkedPage()) {
    case 0: m_pSearchFrame->setFilterCol(column); break;
    case 1: m_pUpgradeFrame->setFilterCol(column); break;
    case 3: m_pDeviceInfoFrame->setFilterCol(column); break;
    case 4: m_pImportExportFrame->setFilterCol(column); break;
    default: break; // the login page has no table
    }
}

void MainFrame::OnFilterTextChangedResponse()
{
    const QString text = m_pToolBar->filterText();
    switch (checkedPage()) {
    case 0: m_pSearchFrame->setFilterString(text); break;
    case 1: m_pUpgradeFrame->setFilterString(text); break;
    case 3: m_pDeviceInfoFrame->setFilterString(text); break;
    case 4: m_pImportExportFrame->setFilterString(text); break;
    default: break;
    }
}

void MainFrame::OnProtocolIndexChangedResponse()
{
    const int index = m_pToolBar->protocolIndex();
    if (m_pToolBar->m_pBtnSearch->isChecked())
        m_pToolBar->showOtherButton(index == 0);
    m_pSearchFrame->OnProtocolTypeChangedResponce(index);
    m_pSearchFrame->setFilterCol(filterColumn());
    m_pSearchFrame->setFilterString(m_pToolBar->filterText());
}

void MainFrame::OnSearchFrameDoubleClick()
{
    QString user, password;
    m_pSearchFrame->GetUserAndPassword(user, password);
    DeviceInfo* device = m_pSearchFrame->GetCurrentSelDevice();
    if (!device)
        return;
    m_pToolBar->SetManualClickConfig();
    m_pLoginFrame->UpdateDeviceInfo(device);
    m_pLoginFrame->SetUserAndPassword(user, password);
    m_pStack->setCurrentIndex(2);
    setProtocolShown(false);
}

// ---- window geometry ---------------------------------------------------------------------

void MainFrame::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    QApplication::setActiveWindow(this);
    if (m_bFirstShow) {
        m_bFirstShow = false;
        ShowNormalOrMax();
    }
}

void MainFrame::ShowNormalOrMax()
{
    m_bMax = !m_bMax;
    if (!m_bMax) {
        setGeometry(m_savedGeometry);
        return;
    }
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    if (maximumSize() != avail.size())
        setMaximumSize(avail.size());
    setMinimumSize(avail.width() / 2, avail.height() / 2);
    m_savedGeometry = geometry();
    setGeometry(avail);
}

void MainFrame::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(m_borderPen);
    painter.drawRect(0, 0, width() - 1, height() - 1);
}

bool MainFrame::inInner(const QPoint& p) const
{
    return p.x() >= kBorder && p.x() <= width() - kBorder - 1 && p.y() >= kBorder && p.y() <= height() - kBorder - 1;
}

bool MainFrame::inTitleBand(const QPoint& p) const
{
    return p.x() >= kBorder && p.x() <= width() - kBorder - 1 && p.y() >= kBorder &&
           p.y() <= m_pTitleBar->height() - 1;
}

MainFrame::ResizeRegion MainFrame::regionAt(const QPoint& p) const
{
    const int x = p.x(), y = p.y(), w = width(), h = height();
    if (y < kBorder + 1) {
        if (x <= kBorder)
            return RegionTopLeft;
        return x < w - kBorder ? RegionTop : RegionTopRight;
    }
    if (y < h - kBorder)
        return x < kBorder + 1 ? RegionLeft : RegionRight;
    if (x <= kBorder)
        return RegionBottomLeft;
    return x < w - kBorder ? RegionBottom : RegionBottomRight;
}

void MainFrame::setResizeCursor(ResizeRegion region)
{
    switch (region) {
    case RegionTop:
    case RegionBottom: setCursor(Qt::SizeVerCursor); break;
    case RegionLeft:
    case RegionRight: setCursor(Qt::SizeHorCursor); break;
    case RegionTopLeft:
    case RegionBottomRight: setCursor(Qt::SizeFDiagCursor); break;
    default: setCursor(Qt::SizeBDiagCursor); break;
    }
    m_bResizeCursor = true;
}

void MainFrame::mousePressEvent(QMouseEvent* event)
{
    m_bPressed = true;
    m_pressPos = event->localPos().toPoint();
    m_pressGlobal = event->screenPos().toPoint();
    QFrame::mousePressEvent(event);
}

void MainFrame::mouseReleaseEvent(QMouseEvent* event)
{
    m_bPressed = m_bResizing = m_bMoving = false;
    setCursor(Qt::ArrowCursor);
    m_bResizeCursor = false;
    QFrame::mouseReleaseEvent(event);
}

void MainFrame::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->pos();
    const QPoint global = event->globalPos();
    if (!m_bPressed) {
        if (inInner(pos)) {
            setCursor(Qt::ArrowCursor);
            m_bResizeCursor = false;
        } else {
            m_eRegion = regionAt(pos);
            setResizeCursor(m_eRegion);
        }
    } else if (m_bMoving) {
        move(global - m_pressPos);
    } else if (m_bResizing) {
        resizeBy(global);
    } else if (!inInner(pos)) {
        m_savedGeometry = geometry();
        m_bResizing = true;
    } else if (inTitleBand(pos)) {
        m_bMoving = true;
    }
    QFrame::mouseMoveEvent(event);
}

void MainFrame::resizeBy(const QPoint& global)
{
    const int dx = global.x() - m_pressGlobal.x();
    const int dy = global.y() - m_pressGlobal.y();
    const QRect& s = m_savedGeometry;
    int w = width(), h = height();
    bool top = false, left = false;
    switch (m_eRegion) {
    case RegionTop: h = s.height() - dy; top = true; break;
    case RegionTopRight: h = s.height() - dy; w = s.width() + dx; top = true; break;
    case RegionRight: w = s.width() + dx; break;
    case RegionBottomRight: w = s.width() + dx; h = s.height() + dy; break;
    case RegionBottom: h = s.height() + dy; break;
    case RegionBottomLeft: w = s.width() - dx; h = s.height() + dy; left = true; break;
    case RegionLeft: w = s.width() - dx; left = true; break;
    case RegionTopLeft: w = s.width() - dx; h = s.height() - dy; top = left = true; break;
    default: return;
    }
    // A moving top or left edge stops at the minimum size: past it the window would
    // drift instead of shrinking.
    if (top && h <= minimumHeight())
        return;
    if (left && w <= minimumWidth())
        return;
    resize(w, h);
    if (top || left)
        move(left ? global.x() : x(), top ? global.y() : y());
}

void MainFrame::leaveEvent(QEvent* event)
{
    if (!m_bResizing) {
        setCursor(Qt::ArrowCursor);
        m_bResizeCursor = false;
    }
    QFrame::leaveEvent(event);
}

bool MainFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove && m_bResizeCursor && !m_bResizing) {
        const QMouseEvent* me = static_cast<QMouseEvent*>(event);
        if (inInner(me->pos())) {
            setCursor(Qt::ArrowCursor);
            m_bResizeCursor = false;
        }
    }
    return QFrame::eventFilter(watched, event);
}

void MainFrame::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint p = event->pos();
    if (event->button() == Qt::LeftButton && p.x() >= kBorder && p.x() <= m_pTitleBar->width() - kBorder - 1 &&
        p.y() >= kBorder && p.y() <= m_pTitleBar->height() - 1)
        ShowNormalOrMax();
    event->ignore();
}
