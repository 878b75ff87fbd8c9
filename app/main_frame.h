// The tool's only top-level window: title bar, tool bar and the stack of the five pages.
// It routes the tool bar to the pages, starts maximised, and moves by its title band and
// resizes by its edges with the mouse.
#pragma once

#include <QFrame>
#include <QPen>
#include <QPoint>
#include <QRect>

class QStackedWidget;
class DeviceInfoFrame;
class ImportExportFrame;
class LoginFrame;
class SearchFrame;
class TitleBarFrame;
class ToolBarFrame;
class UpgradeFrame;

class MainFrame : public QFrame {
    Q_OBJECT

public:
    enum ResizeRegion {
        RegionNone = 0,
        RegionTop = 1,
        RegionTopRight = 2,
        RegionRight = 3,
        RegionBottomRight = 4,
        RegionBottom = 5,
        RegionBottomLeft = 6,
        RegionLeft = 7,
        RegionTopLeft = 8,
    };

    explicit MainFrame(QWidget* parent = nullptr);
    ~MainFrame() override;

    void ShowNormalOrMax();
    void setResizeCursor(ResizeRegion region);

    // Shutdown: no search, job or callback may reach a page after this returns true.
    // Stops the ONVIF search and detaches the running search, then waits up to
    // `timeoutMs` for the worker pool's jobs to end. False when some job still runs.
    bool quiesce(int timeoutMs);

    TitleBarFrame* titleBar() const { return m_pTitleBar; }
    ToolBarFrame* toolBar() const { return m_pToolBar; }
    QStackedWidget* pageStack() const { return m_pStack; }
    SearchFrame* searchFrame() const { return m_pSearchFrame; }
    UpgradeFrame* upgradeFrame() const { return m_pUpgradeFrame; }
    LoginFrame* loginFrame() const { return m_pLoginFrame; }
    DeviceInfoFrame* deviceInfoFrame() const { return m_pDeviceInfoFrame; }
    ImportExportFrame* importExportFrame() const { return m_pImportExportFrame; }
    bool isMaximisedByTool() const { return m_bMax; }
    ResizeRegion resizeRegion() const { return m_eRegion; }

public slots:
    void OnCloseReponse(int code);
    void OnMinResponse();
    void OnSearchponse();
    void OnUpgradeResponse();
    void OnConfigRequest();
    void OnDeviceInfoRequest();
    void OnImportExportRequest();
    void OnSearchFrameDoubleClick();
    void OnFilterIndexChangedResponse();
    void OnFilterTextChangedResponse();
    void OnProtocolIndexChangedResponse();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    int filterColumn() const;
    int checkedPage() const;
    void setProtocolShown(bool shown);
    bool inInner(const QPoint& p) const;
    bool inTitleBand(const QPoint& p) const;
    ResizeRegion regionAt(const QPoint& p) const;
    void resizeBy(const QPoint& global);

    TitleBarFrame* m_pTitleBar = nullptr;
    ToolBarFrame* m_pToolBar = nullptr;
    QStackedWidget* m_pStack = nullptr;
    SearchFrame* m_pSearchFrame = nullptr;
    UpgradeFrame* m_pUpgradeFrame = nullptr;
    DeviceInfoFrame* m_pDeviceInfoFrame = nullptr;
    ImportExportFrame* m_pImportExportFrame = nullptr;
    LoginFrame* m_pLoginFrame = nullptr;
    QPen m_borderPen;
    bool m_bMax = false;
    QRect m_savedGeometry;
    bool m_bFirstShow = true;
    bool m_bPressed = false;
    bool m_bResizing = false;
    bool m_bMoving = false;
    QPoint m_pressPos;
    QPoint m_pressGlobal;
    ResizeRegion m_eRegion = RegionNone;
    bool m_bResizeCursor = false;
};
