// A batch firmware upgrade of N simulated devices (default 50), two ways in one run:
//   gui:    the upgrade page (offscreen) checks every row and clicks Upgrade; the device
//           records log in on the worker pool and upgrade as in the tool;
//   client: a small program on the device protocol client alone, without Qt: N logins,
//           then N upgrades started from its main thread.
// Each way runs in a child process of its own (so its peak RSS is its own) against the
// same simulator (tests/sim/kvsim.py on loopback, one TCP listener for every device).
// Reported per way: wall time from the start to the last device's final code, peak RSS
// (and its growth over the process before the batch), and for the GUI the lateness of a
// 5 ms timer in the GUI thread while the batch runs (p50, p99, max).
// Usage: bench_upgrade_batch [--devices N] [--kib K]
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EventLoop.h"
#include "KVNet.h"
#include "LineEdit.h"
#include "checkbox_table_model.h"
#include "dev_connection.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"
#include "upgrade_frame.h"
#include "upgrade_fw_util.h"

namespace {

double PeakRssMiB()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

double CurrentRssMiB()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    long pages = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

bool IsFinal(unsigned code)
{
    return code != 394 && code != 402 && code != 764;
}

// ---- the GUI way ----

int (*g_done)[2] = nullptr; // [succeeded, other]
void (*g_pageHook)(UpgradeFrame*, DeviceInfo*, bool) = nullptr;

void CountingHook(UpgradeFrame* page, DeviceInfo* r, bool done)
{
    // The page hears "done" twice per device: when its upgrade has started (status
    // working or upgrading) and at the final code.
    if (done && r->m_nStatus == DeviceInfo::StUpgradeOK)
        ++(*g_done)[0];
    else if (done && r->m_nStatus != DeviceInfo::StUpgrading && r->m_nStatus != DeviceInfo::StWritingFlash &&
             r->m_nStatus != DeviceInfo::StLoggedIn && r->m_nStatus != DeviceInfo::StWorking)
        ++(*g_done)[1];
    if (g_pageHook)
        g_pageHook(page, r, done);
}

int RunGui(int argc, char** argv, uint16_t port, const std::string& fw, int devices)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    devtest::appFolder(0);
    KVNetInit();
    KVNetSetEncription(0);
    EventLoop::getLoop();
    UpgradeFrame page;
    page.resize(1400, 800);
    page.show();
    QList<DeviceInfo*> list;
    for (int i = 0; i < devices; ++i)
        list << devtest::makeRecord(port).release();
    DeviceInfoMng::getInstance()->addDeviceInfo(list);
    page.updateTableViewAll();
    page.model()->updateTableViewCheckState(Qt::Checked);
    page.model()->updateTableHeadCheckState();
    page.m_pEditUserName->setText("admin");
    page.m_pEditPassword->setText("admin123");
    page.m_pEditFilePath->setText(QString::fromStdString(fw));
    int done[2] = {0, 0};
    g_done = &done;
    DeviceInfo::PageHooks hooks = DeviceInfo::pageHooks();
    g_pageHook = hooks.upgrade;
    hooks.upgrade = CountingHook;
    DeviceInfo::setPageHooks(hooks);
    QCoreApplication::processEvents();

    const double rssBefore = CurrentRssMiB();
    std::vector<double> late;
    QElapsedTimer tick;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const double gap = tick.nsecsElapsed() / 1e6;
        tick.restart();
        late.push_back(std::max(0.0, gap - 5.0));
    });
    QElapsedTimer wall;
    wall.start();
    tick.start();
    timer.start();
    page.m_pBtnUpgrade->click();
    QElapsedTimer bound;
    bound.start();
    while (done[0] + done[1] < devices && bound.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double wallMs = wall.nsecsElapsed() / 1e6;
    timer.stop();
    std::printf("RESULT gui %d %d %.1f %.1f %.1f %.2f %.2f %.2f\n", done[0], done[1], wallMs, PeakRssMiB(),
                PeakRssMiB() - rssBefore, Percentile(late, 0.5), Percentile(late, 0.99),
                late.empty() ? 0.0 : *std::max_element(late.begin(), late.end()));
    std::fflush(stdout);
    // The records are idle again once their upgrades have closed; the page goes first.
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    std::_Exit(0); // the tool's own shutdown is not what is measured
}

// ---- the client way ----

struct Device {
    std::mutex m;
    std::condition_variable cv;
    int loginCode = -1;
    unsigned finalCode = 0;
    DevConnection* conn = nullptr;
    DevRemoteUpgrade* up = nullptr;
};

std::mutex g_allMutex;
std::condition_variable g_allCv;
int g_finals = 0;

void LoginCallback(unsigned code, void* user)
{
    auto* d = static_cast<Device*>(user);
    std::lock_guard<std::mutex> lk(d->m);
    if (d->loginCode < 0 && (code == KVNetMsgLoginSuccess || code == KVNetMsgConnectFail || (code >= 103 && code <= 112))) {
        d->loginCode = int(code);
        d->cv.notify_all();
    }
}

void UpgradeCallback(unsigned code, void*, void* user)
{
    if (!IsFinal(code))
        return;
    auto* d = static_cast<Device*>(user);
    {
        std::lock_guard<std::mutex> lk(d->m);
        if (d->finalCode)
            return;
        d->finalCode = code;
    }
    std::lock_guard<std::mutex> lk(g_allMutex);
    ++g_finals;
    g_allCv.notify_all();
}

int RunClient(uint16_t port, const std::string& fw, int devices)
{
    KVNetInit();
    KVNetSetEncription(0);
    std::vector<std::unique_ptr<Device>> devs;
    for (int i = 0; i < devices; ++i)
        devs.push_back(std::make_unique<Device>());
    const double rssBefore = CurrentRssMiB();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto& d : devs) {
        KVNetConnectionParam p;
        std::memset(&p, 0, sizeof p);
        p.szAddr = "127.0.0.1";
        p.nPort = port;
        p.szUser = "admin";
        p.szPwd = "admin123";
        p.pUser = d.get();
        p.msgCallback = &LoginCallback;
        d->conn = KVNetConnectionStartEx(&p);
    }
    int started = 0;
    for (auto& d : devs) {
        std::unique_lock<std::mutex> lk(d->m);
        d->cv.wait_for(lk, std::chrono::seconds(60), [&] { return d->loginCode >= 0; });
        if (d->loginCode != KVNetMsgLoginSuccess)
            continue;
        lk.unlock();
        KVNetRemoteUpgradeParam u;
        std::memset(&u, 0, sizeof u);
        u.path = fw.c_str();
        u.callback = &UpgradeCallback;
        u.user = d.get();
        u.type = 3;
        d->up = KVNetStartRemoteUpgrade(d->conn, &u);
        started += d->up ? 1 : 0;
    }
    {
        std::unique_lock<std::mutex> lk(g_allMutex);
        g_allCv.wait_for(lk, std::chrono::minutes(10), [&] { return g_finals >= started; });
    }
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    int ok = 0;
    for (auto& d : devs)
        ok += d->finalCode == 391 ? 1 : 0;
    std::printf("RESULT client %d %d %.1f %.1f %.1f - - -\n", ok, devices - ok, wallMs, PeakRssMiB(),
                PeakRssMiB() - rssBefore);
    std::fflush(stdout);
    for (auto& d : devs) {
        if (d->up)
            KVNetStopRemoteUpgrade(&d->up);
        if (d->conn)
            KVNetConnectionStop(&d->conn);
    }
    return 0;
}

std::string RunChild(const char* self, const char* way, uint16_t port, const std::string& fw, int devices)
{
    const std::string cmd = std::string("'") + self + "' --way " + way + " --port " + std::to_string(port) +
                            " --fw '" + fw + "' --devices " + std::to_string(devices);
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return std::string();
    std::string line, result;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        line = buf;
        if (line.rfind("RESULT ", 0) == 0)
            result = line.substr(7);
    }
    pclose(p);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    int devices = 50, kib = 256;
    uint16_t port = 0;
    std::string way, fw;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--devices")
            devices = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--kib")
            kib = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--way")
            way = argv[i + 1];
        else if (a == "--port")
            port = uint16_t(std::atoi(argv[i + 1]));
        else if (a == "--fw")
            fw = argv[i + 1];
    }
    if (way == "gui")
        return RunGui(argc, argv, port, fw, devices);
    if (way == "client")
        return RunClient(port, fw, devices);

    const std::string path = kvtest::TempPath("fw") + ".sw";
    if (!kvtest::WriteFileBytes(path, kvtest::BuildPartFile({{size_t(kib) * 1024, 0}}))) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    // The simulator answers on loopback only; one listener plays every device.
    kvtest::SimProcess sim;
    if (!sim.Start({"--scenario", "device-kind=plain", "--scenario", "upgrade-file=" + path})) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    std::printf("batch upgrade of %d simulated devices, %d KiB firmware each, one simulator (loopback)\n",
                devices, kib);
    std::printf("%-8s %5s %5s %10s %14s %14s %28s\n", "way", "ok", "fail", "wall ms", "peak RSS MiB",
                "RSS growth MiB", "event-loop lateness p50/p99/max ms");
    for (const char* w : {"gui", "client"}) {
        const std::string r = RunChild(argv[0], w, sim.tcp_port(), path, devices);
        char name[16] = {};
        int ok = 0, bad = 0;
        double wall = 0, peak = 0, grow = 0;
        char p50[16] = "-", p99[16] = "-", mx[16] = "-";
        if (std::sscanf(r.c_str(), "%15s %d %d %lf %lf %lf %15s %15s %15s", name, &ok, &bad, &wall, &peak, &grow, p50,
                        p99, mx) < 6) {
            std::printf("%-8s no result\n", w);
            continue;
        }
        std::printf("%-8s %5d %5d %10.0f %14.1f %14.1f %12s/%s/%s\n", name, ok, bad, wall, peak, grow, p50, p99, mx);
    }
    std::remove(path.c_str());
    return 0;
}
