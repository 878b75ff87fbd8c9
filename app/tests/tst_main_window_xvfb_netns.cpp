// The main window on a real X server of a given size (xvfb_run.sh): maximised start, the
// title band's double click, and moving and resizing by synthesised mouse events. The
// window searches at start, so it runs inside a private namespace pair.
#include <QApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QtTest>
#include <memory>

#include "TitleBarFrame.h"
#include "app_netns.h"
#include "apptest.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "main_frame.h"
#include "search_frame.h"

using namespace apptest;

Q_DECLARE_METATYPE(MainFrame::ResizeRegion)

namespace {

// One mouse event as the window system would deliver it to the window.
void Send(QWidget* w, QEvent::Type type, QPoint local, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    const QPoint global = w->geometry().topLeft() + local;
    QMouseEvent e(type, QPointF(local), QPointF(local), QPointF(global), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsMaximised();
    void titleBandDoubleClickToggles();
    void titleBandMoves();
    void edgesResize_data();
    void edgesResize();
    void leftEdgeStopsBeforeTheMinimum();

private:
    // Leaves the window at a known normal geometry inside the screen.
    void toNormal();
    // Press at `local`, move once to start, then to `local + delta`, release.
    void drag(QPoint local, QPoint delta);

    AppFolder folder_;
    std::unique_ptr<MainFrame> frame_;
    QRect avail_;
    QRect normal_;
};

void TestMainWindow::initTestCase()
{
    if (PairName().isEmpty())
        QSKIP("needs the client side of a private namespace pair (kvnetns.sh run --side cli)");
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server (xvfb_run.sh)");
    QVERIFY(folder_.setConfig(configXml({"ENU.xml"}, 0, "0")));
    QVERIFY(QFile::copy(QStringLiteral(KV_SOURCE_DIR "/app/dist/Language/ENU.xml"),
                        folder_.path() + QStringLiteral("/Language/ENU.xml")));
    folder_.load();
    avail_ = QGuiApplication::primaryScreen()->availableGeometry();
    const QString size = qEnvironmentVariable("KV_SCREEN_SIZE");
    if (!size.isEmpty())
        QCOMPARE(QStringLiteral("%1x%2").arg(avail_.width()).arg(avail_.height()), size);
    normal_ = QRect(avail_.x() + avail_.width() / 20, avail_.y() + avail_.height() / 20, avail_.width() * 5 / 8,
                    avail_.height() * 5 / 8);
}

void TestMainWindow::init()
{
    frame_.reset(new MainFrame(nullptr));
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
}

void TestMainWindow::cleanup()
{
    if (frame_) {
        frame_->quiesce(8000);
        frame_.reset();
    }
    // The last search's records go with the window that showed them.
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
}

void TestMainWindow::toNormal()
{
    QVERIFY(frame_->isMaximisedByTool());
    frame_->ShowNormalOrMax();
    frame_->setGeometry(normal_);
    QTRY_COMPARE(frame_->geometry(), normal_);
}

void TestMainWindow::drag(QPoint local, QPoint delta)
{
    QWidget* w = frame_.get();
    Send(w, QEvent::MouseMove, local, Qt::NoButton, Qt::NoButton); // hover: picks the edge
    Send(w, QEvent::MouseButtonPress, local, Qt::LeftButton, Qt::LeftButton);
    Send(w, QEvent::MouseMove, local, Qt::NoButton, Qt::LeftButton); // starts the move or resize
    // The second move is computed from the press, whatever the window did meanwhile.
    const QPoint global = normal_.topLeft() + local + delta;
    QMouseEvent e(QEvent::MouseMove, QPointF(local + delta), QPointF(local + delta), QPointF(global), Qt::NoButton,
                  Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
    QMouseEvent r(QEvent::MouseButtonRelease, QPointF(local + delta), QPointF(local + delta), QPointF(global),
                  Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &r);
}

void TestMainWindow::startsMaximised()
{
    QVERIFY(frame_->isMaximisedByTool());
    QTRY_COMPARE(frame_->geometry(), avail_);
    QCOMPARE(frame_->minimumSize(), QSize(avail_.width() / 2, avail_.height() / 2));
    QCOMPARE(frame_->titleBar()->height(), 50);
}

void TestMainWindow::titleBandDoubleClickToggles()
{
    QTRY_COMPARE(frame_->geometry(), avail_);
    frame_->ShowNormalOrMax();
    frame_->setGeometry(normal_);
    QTRY_COMPARE(frame_->geometry(), normal_);
    frame_->ShowNormalOrMax(); // maximised again, remembering normal_
    QTRY_COMPARE(frame_->geometry(), avail_);

    Send(frame_.get(), QEvent::MouseButtonDblClick, QPoint(200, 20), Qt::LeftButton, Qt::LeftButton);
    QTRY_COMPARE(frame_->geometry(), normal_);
    QVERIFY(!frame_->isMaximisedByTool());
    // Below the title band a double click does nothing.
    Send(frame_.get(), QEvent::MouseButtonDblClick, QPoint(200, 300), Qt::LeftButton, Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(frame_->geometry(), normal_);
    Send(frame_.get(), QEvent::MouseButtonDblClick, QPoint(200, 20), Qt::LeftButton, Qt::LeftButton);
    QTRY_COMPARE(frame_->geometry(), avail_);
    QCOMPARE(frame_->minimumSize(), QSize(avail_.width() / 2, avail_.height() / 2));
}

void TestMainWindow::titleBandMoves()
{
    toNormal();
    drag(QPoint(300, 20), QPoint(-45, 33));
    QTRY_COMPARE(frame_->geometry(), normal_.translated(-45, 33));
    QCOMPARE(frame_->cursor().shape(), Qt::ArrowCursor);
    // Pressed below the title band, inside the window: nothing moves.
    const QRect at = frame_->geometry();
    normal_ = at;
    drag(QPoint(300, 300), QPoint(50, 50));
    QTest::qWait(100);
    QCOMPARE(frame_->geometry(), at);
}

void TestMainWindow::edgesResize_data()
{
    QTest::addColumn<int>("fx"); // pointer at fx * W / 2 (+2 at 0, -2 at W) ...
    QTest::addColumn<int>("fy");
    QTest::addColumn<MainFrame::ResizeRegion>("region");
    QTest::addColumn<int>("cursor");
    using M = MainFrame;
    QTest::newRow("top") << 1 << 0 << M::RegionTop << int(Qt::SizeVerCursor);
    QTest::newRow("top-right") << 2 << 0 << M::RegionTopRight << int(Qt::SizeBDiagCursor);
    QTest::newRow("right") << 2 << 1 << M::RegionRight << int(Qt::SizeHorCursor);
    QTest::newRow("bottom-right") << 2 << 2 << M::RegionBottomRight << int(Qt::SizeFDiagCursor);
    QTest::newRow("bottom") << 1 << 2 << M::RegionBottom << int(Qt::SizeVerCursor);
    QTest::newRow("bottom-left") << 0 << 2 << M::RegionBottomLeft << int(Qt::SizeBDiagCursor);
    QTest::newRow("left") << 0 << 1 << M::RegionLeft << int(Qt::SizeHorCursor);
    QTest::newRow("top-left") << 0 << 0 << M::RegionTopLeft << int(Qt::SizeFDiagCursor);
}

void TestMainWindow::edgesResize()
{
    QFETCH(int, fx);
    QFETCH(int, fy);
    QFETCH(MainFrame::ResizeRegion, region);
    QFETCH(int, cursor);
    toNormal();
    const int W = normal_.width(), H = normal_.height();
    const QPoint local(fx == 0 ? 2 : fx == 1 ? W / 2 : W - 2, fy == 0 ? 2 : fy == 1 ? H / 2 : H - 2);
    Send(frame_.get(), QEvent::MouseMove, local, Qt::NoButton, Qt::NoButton);
    QCOMPARE(frame_->resizeRegion(), region);
    QCOMPARE(int(frame_->cursor().shape()), cursor);

    const QPoint d(40, 30);
    drag(local, d);
    // A moving top or left edge also moves the window to the pointer.
    const QPoint pointer = normal_.topLeft() + local + d;
    QRect want = normal_;
    const bool left = fx == 0, right = fx == 2, top = fy == 0, bottom = fy == 2;
    int w = W, h = H;
    if (right)
        w = W + d.x();
    if (left)
        w = W - d.x();
    if (bottom)
        h = H + d.y();
    if (top)
        h = H - d.y();
    want.setSize(QSize(w, h));
    want.moveTo(left ? pointer.x() : normal_.x(), top ? pointer.y() : normal_.y());
    QTRY_COMPARE(frame_->geometry(), want);
    QCOMPARE(frame_->cursor().shape(), Qt::ArrowCursor); // released
}

void TestMainWindow::leftEdgeStopsBeforeTheMinimum()
{
    toNormal();
    const int W = normal_.width(), H = normal_.height();
    const int minW = frame_->minimumWidth();
    const QPoint local(2, H / 2);
    // Exactly to the minimum: refused, nothing moves.
    drag(local, QPoint(W - minW, 0));
    QTest::qWait(100);
    QCOMPARE(frame_->geometry(), normal_);
    // One pixel wider than the minimum: taken.
    drag(local, QPoint(W - minW - 1, 0));
    const QRect want(normal_.x() + 2 + W - minW - 1, normal_.y(), minW + 1, H);
    QTRY_COMPARE(frame_->geometry(), want);
    // The right edge is held by the minimum size in the ordinary way.
    normal_ = want;
    drag(QPoint(want.width() - 2, H / 2), QPoint(-200, 0));
    QTRY_COMPARE(frame_->geometry().size(), QSize(minW, H));
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window_xvfb_netns.moc"
