#include "demo_capture.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QtGlobal>
#include <cstdio>
#include <ctime>

#include "main_frame.h"
#include "search_frame.h"

namespace DemoCapture {

namespace {
// A search ends within five seconds; a demo that sees none by then has failed.
const int kGiveUpMs = 30000;
}

void captureAfterSearch(MainFrame* frame, const QString& path, int settleMs)
{
    auto* done = new bool(false);
    QObject::connect(frame->searchFrame(), &SearchFrame::searchLoaded, frame, [frame, path, settleMs, done] {
        if (*done)
            return;
        *done = true;
        // Let the table and the layouts settle before the picture is taken.
        QTimer::singleShot(settleMs, frame, [frame, path] {
            const bool ok = frame->grab().save(path, "PNG");
            std::fprintf(stderr, ok ? "kvtool: screenshot %s\n" : "kvtool: cannot write %s\n", qPrintable(path));
            QApplication::exit(ok ? 0 : 1);
        });
    });
    QTimer::singleShot(kGiveUpMs, frame, [] {
        std::fprintf(stderr, "kvtool: no search ended, no screenshot\n");
        QApplication::exit(3);
    });
    QObject::connect(frame, &QObject::destroyed, [done] { delete done; });
}

void installFromEnvironment(MainFrame* frame)
{
    const QString shot = qEnvironmentVariable("KVTOOL_SCREENSHOT");
    if (!shot.isEmpty())
        captureAfterSearch(frame, shot, 500);
    if (qEnvironmentVariableIsSet("KVTOOL_EXIT_AFTER_SHOW")) {
        // KVTOOL_T0_MS: the starter's CLOCK_MONOTONIC in ms just before it started us.
        const double t0 = qEnvironmentVariable("KVTOOL_T0_MS").toDouble();
        QTimer::singleShot(0, frame, [t0] {
            if (t0 > 0) {
                timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::fprintf(stderr, "kvtool: first window after %.1f ms\n", ts.tv_sec * 1e3 + ts.tv_nsec / 1e6 - t0);
            }
            QApplication::exit(0);
        });
    }
    bool ok = false;
    const int closeMs = qEnvironmentVariableIntValue("KVTOOL_CLOSE_AFTER_MS", &ok);
    if (ok && closeMs >= 0)
        QTimer::singleShot(closeMs, frame, &QWidget::close);
}

} // namespace DemoCapture
