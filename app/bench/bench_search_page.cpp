// The search page against simulated devices, inside a private namespace pair (run it
// through tests/netns/kvnetns.sh run --side cli -- bench_search_page):
//   click to filled table, 20 and 254 devices, beside the search's own floor: the last
//     device's answer (the simulator's trace) plus the 250 ms the search waits after it;
//   the GUI event loop's worst lateness (a 5 ms timer) while a batch of 254 re-addresses;
//   start-up to the first window of the tool itself (offscreen).
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "EventLoop.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "ToolBarFrame.h"
#include "app_netns.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "main_frame.h"
#include "search_frame.h"

namespace {

double MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// CPU time of the calling thread, ms: tells the GUI's own work from waiting for a core.
double ThreadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The last CLOCK_MONOTONIC time (seconds) the simulator wrote after a burst of answers.
double LastTraceMs(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    return lines.isEmpty() ? 0 : lines.last().toDouble() * 1e3;
}

template <class T>
T* Child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

void ClickToTable(int devices, int runs)
{
    QTemporaryDir dir;
    const QString trace = dir.filePath("trace");
    apptest::MakerDevices sim;
    if (!sim.Start({QStringLiteral("devices=%1").arg(devices), "first-ip=198.51.100.1",
                    "search-trace=" + trace})) {
        std::printf("simulator did not start\n");
        return;
    }
    MainFrame frame(nullptr);
    frame.show();
    SearchFrame* page = frame.searchFrame();
    QSignalSpy loaded(page, &SearchFrame::searchLoaded);
    loaded.wait(10000);
    std::vector<double> click, floor;
    int rows = 0;
    for (int i = 0; i < runs; ++i) {
        QFile::remove(trace);
        loaded.clear();
        const double t0 = MonotonicMs();
        frame.toolBar()->m_pBtnSearch->click();
        if (!loaded.wait(10000))
            break;
        const double t1 = MonotonicMs();
        rows = page->currentModel()->rowCount();
        click.push_back(t1 - t0);
        floor.push_back(LastTraceMs(trace) - t0 + 250);
    }
    std::printf("click to filled table, %3d devices: median %7.1f ms  (floor: last answer + 250 ms = %7.1f ms; "
                "%d rows; %zu runs)\n",
                devices, Median(click), Median(floor), rows, click.size());
    frame.quiesce(8000);
}

void BatchLatency(int devices)
{
    apptest::MakerDevices sim;
    if (!sim.Start({QStringLiteral("devices=%1").arg(devices), "first-ip=198.51.100.1", "device-password=secret"}))
        return;
    MainFrame frame(nullptr);
    frame.show();
    SearchFrame* page = frame.searchFrame();
    QSignalSpy loaded(page, &SearchFrame::searchLoaded);
    loaded.wait(10000);
    CheckBoxTableView* view = page->currentView();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(9, 12), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->horizontalHeader()->viewport(), &press);
    Child<QComboBox>(page, "m_pComNetMode")->setCurrentIndex(1);
    Child<QLineEdit>(page, "m_pEditUserName")->setText("admin");
    Child<QLineEdit>(page, "m_pEditPassword")->setText("secret");
    Child<QLineEdit>(page, "m_pEditIP")->setText("198.51.100.1");
    Child<QLineEdit>(page, "m_pEditNetMask")->setText("255.255.255.0");
    Child<QLineEdit>(page, "m_pEditGateway")->setText("198.51.100.254");

    // The probe: a 5 ms timer; lateness is how much later than 5 ms each tick came.
    std::vector<double> late;
    double last = MonotonicMs();
    double t0ref = last;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const double now = MonotonicMs();
        late.push_back(now - last - 5);
        if (now - last - 5 > 20)
            std::printf("  stall %.1f ms ending at +%.1f ms\n", now - last - 5, now - t0ref);
        last = now;
    });
    QSignalSpy done(page, &SearchFrame::modifyDone);
    const double t0 = MonotonicMs();
    const double cpu0 = ThreadCpuMs();
    last = t0;
    t0ref = t0;
    probe.start(5);
    Child<QPushButton>(page, "m_pBtnModify")->click();
    const double handler = MonotonicMs() - t0;
    done.wait(120000);
    probe.stop();
    const double t1 = MonotonicMs();
    const double cpu = ThreadCpuMs() - cpu0;
    int ok = 0;
    for (DeviceInfo* r : page->currentModel()->allRecords())
        ok += r->m_nStatus == 5;
    std::sort(late.begin(), late.end());
    const double p99 = late.empty() ? 0 : late[late.size() * 99 / 100];
    std::printf("batch of %d: Modify handler %.1f ms, GUI thread CPU %.1f ms in all; %d done in %.0f ms; event-loop lateness max %.1f ms, p99 %.1f ms over %zu ticks "
                "(goal < 50 ms)\n",
                devices, handler, cpu, ok, t1 - t0, late.empty() ? 0 : late.back(), p99, late.size());
    frame.quiesce(8000);
}

void StartupToWindow(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KVTOOL_EXIT_AFTER_SHOW", "1");
        env.insert("KVTOOL_T0_MS", QString::number(MonotonicMs(), 'f', 3));
        tool.setProcessEnvironment(env);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QStringLiteral(KVTOOL_DIR "/kvtool"), QStringList());
        tool.waitForFinished(30000);
        const QByteArray out = tool.readAll();
        const int at = out.indexOf("first window after ");
        if (at >= 0)
            ms.push_back(out.mid(at + 19).split(' ').first().toDouble());
    }
    std::printf("start-up to first window (process start to the shown window, offscreen): median %.1f ms over %zu "
                "runs\n",
                Median(ms), ms.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (apptest::PairName().isEmpty()) {
        std::fprintf(stderr, "run inside a namespace pair: tests/netns/kvnetns.sh run --side cli -- %s\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    QFile cfg(folder.filePath("config.xml"));
    cfg.open(QIODevice::WriteOnly);
    cfg.write("<config><Language cursel=\"0\"/><LanguageFile name=\"ENU.xml\"/><Company>0</Company>"
              "<Version>bench</Version></config>\n");
    cfg.close();
    QDir(folder.path()).mkpath("Language");
    QFile::copy(KV_SOURCE_DIR "/app/dist/Language/ENU.xml", folder.filePath("Language/ENU.xml"));
    KVAppSetting* s = Singleton<KVAppSetting>::getInstance();
    s->SetAppDir(folder.path());
    s->LoadConfig();
    s->InitLanguage();
    EventLoop::getLoop();

    ClickToTable(20, 7);
    ClickToTable(254, 7);
    BatchLatency(254);
    StartupToWindow(7);
    return 0;
}
