// Device records against the project's device simulator: a record aimed at a simulator,
// page hooks that record what the record tells its pages, and the simulator's log read
// back per message type.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device_info.h"
#include "requests_fixture.h"
#include "test_kit.h"
#include "upgrade_fw_util.h"

namespace devtest {

struct PageCall {
    char page; // 's' search, 'u' upgrade, 'd' device information
    DeviceInfo* record;
    bool wholeRow;
    bool done;
    int status;
    int progress;
};

// Stand-ins for the three pages: the record only passes their pointers to the hooks.
inline SearchFrame* searchPage() { static int tag; return reinterpret_cast<SearchFrame*>(&tag); }
inline UpgradeFrame* upgradePage() { static int tag; return reinterpret_cast<UpgradeFrame*>(&tag); }
inline DeviceInfoFrame* devInfoPage() { static int tag; return reinterpret_cast<DeviceInfoFrame*>(&tag); }

inline std::vector<PageCall>& calls()
{
    static std::vector<PageCall> v;
    return v;
}

inline void installHooks()
{
    DeviceInfo::PageHooks h;
    h.search = [](SearchFrame*, DeviceInfo* r, bool whole, bool done) {
        calls().push_back({'s', r, whole, done, r->m_nStatus, r->m_nProgress});
    };
    h.upgrade = [](UpgradeFrame*, DeviceInfo* r, bool done) {
        calls().push_back({'u', r, true, done, r->m_nStatus, r->m_nProgress});
    };
    h.deviceInfo = [](DeviceInfoFrame*, DeviceInfo* r, bool done) {
        calls().push_back({'d', r, true, done, r->m_nStatus, r->m_nProgress});
    };
    DeviceInfo::setPageHooks(h);
    calls().clear();
}

inline int doneCalls(char page, const DeviceInfo* r = nullptr)
{
    int n = 0;
    for (const PageCall& c : calls())
        if (c.page == page && c.done && (!r || c.record == r))
            ++n;
    return n;
}

// A record of a maker's device at 127.0.0.1:port with the simulator's credentials.
inline std::unique_ptr<DeviceInfo> makeRecord(uint32_t mediaPort, const QString& user = "admin",
                                              const QString& password = "admin123")
{
    SearchDevRsp r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.szIP, "127.0.0.1");
    std::strcpy(r.szMask, "255.0.0.0");
    std::strcpy(r.szGateway, "127.0.0.254");
    std::strcpy(r.szDevType, "IPC-X1");
    std::strcpy(r.szMac, "00-4B-56-00-00-01");
    r.nMediaPort = mediaPort;
    r.nWebPort = 80;
    auto rec = std::make_unique<DeviceInfo>();
    rec->updateDeviceInfo(&r, false);
    rec->updateUserAndPassword(user, password);
    return rec;
}

// What a page does before it queues a job, then the job on a worker thread of its own.
inline void runJob(void (*job)(void*), DeviceInfo* rec, bool searchPageOwns = false)
{
    rec->m_nStatus = DeviceInfo::StWorking;
    if (searchPageOwns)
        rec->m_pSearchFrame = searchPage();
    else
        rec->m_pDeviceInfoFrame = devInfoPage();
    std::thread worker(job, rec);
    worker.join();
}

// Waits (spinning the event loop) until the record's job has ended.
// Runs the GUI event loop until done() holds or ms pass; the bound only matters when a
// test fails, so it is generous for a loaded machine.
inline bool waitFor(const std::function<bool()>& done, int ms = 60000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (done())
            return true;
        QTest::qWait(5);
    }
    return done();
}

inline bool waitIdle(DeviceInfo* rec, int ms = 30000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        if (!rec->isBusy())
            return true;
        QTest::qWait(5);
    }
    return false;
}

// Starts a simulator of a plain-login device with extra scenarios.
inline bool startSim(kvtest::SimProcess& sim, const std::vector<std::string>& scenarios)
{
    std::vector<std::string> args = {"--scenario", "device-kind=plain"};
    for (const std::string& s : scenarios) {
        args.push_back("--scenario");
        args.push_back(s);
    }
    return sim.Start(args);
}

inline QByteArray bodyOf(const kvreqtest::LoggedMsg& m)
{
    return QByteArray(reinterpret_cast<const char*>(m.body.data()), int(m.body.size()));
}

// The sets (216) the device received, as (subtype, body).
inline std::vector<std::pair<unsigned, QByteArray>> sets(const kvtest::SimProcess& sim)
{
    std::vector<std::pair<unsigned, QByteArray>> out;
    for (const auto& m : kvreqtest::Received(sim, 216))
        out.emplace_back(m.subtype, bodyOf(m));
    return out;
}

inline QByteArray u32le(uint32_t v)
{
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

// SHA-256 of the simulator's exported data, computed by Python from the simulator's rule.
inline QByteArray pythonExportSha(int n)
{
    QProcess p;
    p.start("/usr/bin/python3", {"-c", QString("import random,hashlib;print(hashlib.sha256("
                                               "random.Random(%1).randbytes(%1)).hexdigest())").arg(n)});
    p.waitForFinished(20000);
    return p.readAllStandardOutput().trimmed();
}

} // namespace devtest
