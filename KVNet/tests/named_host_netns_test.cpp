// A device given by host name: the name is looked up without holding the session's socket
// locks, so a resolver that never answers cannot make a stop wait for it. The test runs in
// the client side of a private namespace pair, in a mount namespace of its own whose
// /etc/hosts and /etc/resolv.conf point at the simulator and at a server that never answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "netns_test.h"
#include "resolve_fixture.h"
#include "test_kit.h"

using namespace std::chrono;
using kvresolvetest::Recorder;

namespace {

// Private copies of the two resolver files, visible to this process only.
bool PrivateResolverFiles(const std::string& dir)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string hosts = dir + "/hosts", conf = dir + "/resolv.conf";
    std::ofstream(hosts) << "127.0.0.1 localhost\n198.51.100.1 cam-ok.test\n";
    // One long attempt: without the fix a stop would wait the whole 30 s.
    std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
    return mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
           mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
}

// A name server that takes every question and answers none.
int SilentNameServer()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool WaitCode(Recorder& rec, unsigned code, int ms)
{
    const auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
        if (rec.Has(code))
            return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

} // namespace

TEST(NamedHostNetns, NamedDeviceLogsInAndStopDoesNotWaitForTheResolver)
{
    KV_IN_PRIVATE_NETNS();
    kvtest::TempDir dir("named-host");
    ASSERT_TRUE(PrivateResolverFiles(dir.path())) << "mount namespace: " << errno;
    const int dns = SilentNameServer();
    ASSERT_GE(dns, 0);
    kvtest::SimProcess sim;
    ASSERT_TRUE(sim.Start({"--bind", "198.51.100.1", "--scenario", "device-kind=plain"}, kvtest::InNetnsSide("dev")));

    {
        Recorder rec;
        DevConnection* s = kvresolvetest::StartTyped(rec, 0, "cam-ok.test", sim.tcp_port(), nullptr, false, "admin", "admin123");
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(WaitCode(rec, KVNetMsgLoginSuccess, 20000)) << kvresolvetest::CodesText(rec.Codes());
        KVNetConnectionStop(&s);
    }
    {
        Recorder rec;
        DevConnection* s = kvresolvetest::StartTyped(rec, 0, "cam-silent.test", sim.tcp_port(), nullptr, false, "admin", "admin123");
        ASSERT_NE(s, nullptr);
        std::this_thread::sleep_for(milliseconds(300)); // the lookup is under way
        const auto t0 = steady_clock::now();
        KVNetConnectionStop(&s);
        const auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
        EXPECT_LT(ms, 10000) << "the stop waited for the resolver";
        EXPECT_FALSE(rec.Has(KVNetMsgLoginSuccess));
    }
    close(dns);
}
