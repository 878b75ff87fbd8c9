// The tool's tests that search: they run inside the client side of a private namespace
// pair (ctest starts them through tests/netns/kvnetns.sh run --side cli, which sets
// KVNETNS), with the simulated devices on the device side.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtGlobal>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "netns.h"

namespace apptest {

// The test kit's one safety check: true only in a network namespace other than the
// machine's initial one.
inline bool InPrivateNetns()
{
    return kvtest::InPrivateNetns();
}

// The pair's base name when this process runs in its client side, else empty.
inline QString PairName()
{
    const QString name = qEnvironmentVariable("KVNETNS");
    return (!name.isEmpty() && InPrivateNetns()) ? name : QString();
}

inline int Shell(const QString& cmd)
{
    const int rc = system(qPrintable(cmd + QStringLiteral(" >/dev/null 2>&1")));
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A Python peer started in the device side: its standard input is a pipe (it ends when
// the pipe closes), its output goes to a file that Output() reads.
class DevicePeer {
public:
    ~DevicePeer() { Stop(); }

    bool Start(const QStringList& argv, int readyTimeoutMs = 20000)
    {
        Stop();
        const QString pair = PairName();
        if (pair.isEmpty() || !dir_.isValid())
            return false;
        outPath_ = dir_.filePath(QStringLiteral("peer%1.out").arg(++count_));
        std::vector<std::string> args = {"ip", "netns", "exec", (pair + "-dev").toStdString(), "env",
                                         "PYTHONDONTWRITEBYTECODE=1"};
        for (const QString& a : argv)
            args.push_back(a.toStdString());
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return false;
        const int out = open(outPath_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        std::vector<char*> cargv;
        for (std::string& a : args)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out, 1);
            dup2(out, 2);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(in[0]);
        close(out);
        stdin_ = in[1];
        if (pid_ < 0)
            return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (Output().contains("READY"))
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            QThread::msleep(20);
        }
        Stop();
        return false;
    }

    void Stop()
    {
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    QByteArray Output() const
    {
        QFile f(outPath_);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
    QString outPath_;
    int count_ = 0;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// The maker's devices: tests/sim/kvsim.py on UDP 9333 of the device side, logging every
// request it receives.
class MakerDevices {
public:
    // tcpPort: the TCP listener's port (0: any), for devices told to report it as their
    // media port.
    bool Start(const QStringList& scenarios, int tcpPort = 0)
    {
        logPath_ = logDir_.filePath(QStringLiteral("kvsim%1.log").arg(++runs_));
        QStringList argv = {QStringLiteral("/usr/bin/python3"), QStringLiteral(KV_SOURCE_DIR "/tests/sim/kvsim.py"),
                            QStringLiteral("--bind"), QStringLiteral("0.0.0.0"), QStringLiteral("--udp-port"),
                            QStringLiteral("9333"), QStringLiteral("--tcp-port"), QString::number(tcpPort),
                            QStringLiteral("--log"), logPath_};
        for (const QString& s : scenarios)
            argv << QStringLiteral("--scenario") << s;
        return peer_.Start(argv);
    }
    void Stop() { peer_.Stop(); }
    // The logged requests of one message type.
    QList<QByteArray> Requests(int type) const
    {
        QList<QByteArray> out;
        QFile f(logPath_);
        if (!f.open(QIODevice::ReadOnly))
            return out;
        const QByteArray key = "\"type\": " + QByteArray::number(type) + ",";
        const QByteArray key2 = "\"type\":" + QByteArray::number(type) + ",";
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.contains(key) || line.contains(key2))
                out << line;
        return out;
    }

private:
    DevicePeer peer_;
    QTemporaryDir logDir_;
    QString logPath_;
    int runs_ = 0;
};

// ONVIF devices: the project's WS-Discovery responder on the device side.
class OnvifDevices {
public:
    bool Start(int count, const QString& scenario = QString())
    {
        QStringList argv = {QStringLiteral("/usr/bin/python3"), QStringLiteral("-u"),
                            QStringLiteral(KV_SOURCE_DIR "/KVOnvif/tests/peers/wsd_responder.py"),
                            QStringLiteral("--count"), QString::number(count), QStringLiteral("--iface"),
                            QStringLiteral("198.51.100.1")};
        if (!scenario.isEmpty())
            argv << QStringLiteral("--scenario") << scenario;
        return peer_.Start(argv);
    }
    int Probes() const { return peer_.Output().count("\"event\": \"probe\""); }
    void Stop() { peer_.Stop(); }

private:
    DevicePeer peer_;
};

// Drops `percent` % of the client side's packets in both directions (0: none).
inline bool SetLoss(int percent)
{
    const QString pair = PairName();
    return !pair.isEmpty() &&
           Shell(QStringLiteral(KV_SOURCE_DIR "/tests/netns/kvnetns.sh loss %1-cli %2").arg(pair).arg(percent)) == 0;
}

} // namespace apptest
