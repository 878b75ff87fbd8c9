// Two vdt connections of this library talking over loopback, with the layer's threads.
#include <climits>
#include <dirent.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "netns.h"
#include "vdt_nat.h"
#include "vdt_test_util.h"

extern char** environ;

namespace {

using namespace vdttest;

struct LoopPair {
  int a = -1, b = -1;
  LoopPair(int snd = 65536, int rcv = 512000) {
    vdt_init();
    uint16_t pa = 0, pb = 0;
    int sa = UdpSocket("127.0.0.1", 0, &pa);
    int sb = UdpSocket("127.0.0.1", 0, &pb);
    a = vdt_create(sa, snd, rcv);
    b = vdt_create(sb, snd, rcv);
    vdt_set_destaddr(a, "127.0.0.1", pb);
    vdt_set_destaddr(b, "127.0.0.1", pa);
  }
  ~LoopPair() {
    vdt_close(a);
    vdt_close(b);
  }
};

int CountThreads() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

TEST(VdtLoopback, NoDataUntilThePathIsProbed) {
  vdt_init();
  uint16_t pa = 0;
  int sa = UdpSocket("127.0.0.1", 0, &pa);
  int id = vdt_create(sa, 65536, 65536);
  ASSERT_GT(id, 0);
  EXPECT_EQ(vdt_send(id, "x", 1), 0);  // no destination, no hello, no probe
  EXPECT_EQ(vdt_create(-1, 65536, 65536), -1);
  EXPECT_EQ(vdt_create(UdpSocket("127.0.0.1", 0, nullptr), 1439, 65536), -3);
  EXPECT_EQ(vdt_send(999999, "x", 1), -1);
  EXPECT_EQ(vdt_recv(999999, nullptr, 0), -1);
  EXPECT_EQ(vdt_get_free_size(999999, nullptr), -1);
  vdt_close(id);
  EXPECT_EQ(vdt_send(id, "x", 1), -1);
}

TEST(VdtLoopback, InitTwiceStartsTheThreadsOnce) {
  vdt_init();
  int n = CountThreads();
  EXPECT_EQ(vdt_init(), 0);
  EXPECT_EQ(CountThreads(), n);
}

TEST(VdtLoopback, StreamBothWaysArrivesIntact) {
  LoopPair p(65536, 512000);
  ASSERT_TRUE(WaitReady(p.a, 10000));
  ASSERT_TRUE(WaitReady(p.b, 10000));
  int pay = 0;
  vdt_get_free_size(p.a, &pay);
  EXPECT_EQ(pay, 1384);
  const size_t total = 4 << 20;
  std::string sa, sb, ra, rb;
  bool ok_sa = false, ok_sb = false, ok_ra = false, ok_rb = false;
  std::thread t1([&] { ok_sa = SendStream(p.a, total, 7, &sa, 120000); });
  std::thread t2([&] { ok_sb = SendStream(p.b, total, 9, &sb, 120000); });
  std::thread t3([&] { ok_rb = ReceiveStream(p.b, total, &rb, 120000); });
  std::thread t4([&] { ok_ra = ReceiveStream(p.a, total, &ra, 120000); });
  t1.join(), t2.join(), t3.join(), t4.join();
  ASSERT_TRUE(ok_sa && ok_sb && ok_ra && ok_rb);
  EXPECT_EQ(sa, rb);
  EXPECT_EQ(sb, ra);
  vdt_rate r{};
  EXPECT_EQ(vdt_get_rate(p.a, &r), 0);
}

// A message queued on an idle connection leaves at once: the wake-up reaches the send
// thread even while the layer's other thread waits for its own tick.
TEST(VdtLoopback, QueuedMessageWakesTheIdleSender) {
  LoopPair p;
  ASSERT_TRUE(WaitReady(p.a, 10000));
  const int kRounds = 30;
  int slow = 0;
  int64_t worst = 0;
  for (int i = 0; i < kRounds; ++i) {
    SleepMs(120);  // past the idle send thread's longest wait
    int64_t t0 = NowMs();
    ASSERT_EQ(vdt_send(p.a, "ping", 4), 4);
    char buf[8];
    int n = 0;
    while ((n = vdt_recv(p.b, buf, sizeof(buf))) == 0 && NowMs() - t0 < 5000) SleepMs(1);
    ASSERT_EQ(n, 4);
    int64_t lag = NowMs() - t0;
    worst = std::max(worst, lag);
    if (lag >= 60) ++slow;
  }
  // A lost wake-up waits out the idle timeout (100 ms); a busy machine rarely takes 60 ms.
  EXPECT_LE(slow, 3) << slow << " slow, worst " << worst << " ms";
}

TEST(VdtLoopback, ClosedPeerStillDeliversWhatArrived) {
  LoopPair p;
  ASSERT_TRUE(WaitReady(p.a, 10000));
  ASSERT_EQ(vdt_send(p.a, "one", 3), 3);
  ASSERT_EQ(vdt_send(p.a, "two!", 4), 4);
  while (!vdt_all_acked(p.a)) SleepMs(1);
  vdt_close(p.a);
  for (int i = 0; i < 2000 && vdt_is_open(p.b); ++i) SleepMs(1);
  ASSERT_FALSE(vdt_is_open(p.b));
  char buf[16];
  EXPECT_EQ(vdt_recv(p.b, buf, sizeof(buf)), 3);
  EXPECT_EQ(vdt_recv(p.b, buf, sizeof(buf)), 4);
  EXPECT_EQ(std::string(buf, 4), "two!");
  EXPECT_EQ(vdt_recv(p.b, buf, sizeof(buf)), -1);
}

TEST(VdtLoopback, FramesOfTheNatClientFitTheFreeRoom) {
  LoopPair p;
  ASSERT_TRUE(WaitReady(p.a, 10000));
  std::string big(3000, 'f');
  int n = vv_nat_vdt_write_frame(p.a, 0x1234, 7, big.data(), static_cast<int>(big.size()));
  EXPECT_EQ(n, 3000);
  unsigned char buf[4096];
  int got = 0;
  for (int i = 0; i < 5000 && got == 0; ++i) {
    got = vdt_recv(p.b, buf, sizeof(buf));
    if (!got) SleepMs(1);
  }
  ASSERT_EQ(got, 1384);  // the head and the first piece travel as one message
  EXPECT_EQ(buf[0], 0x34);
  EXPECT_EQ(buf[1], 0x12);
  EXPECT_EQ(buf[2], 7);
  EXPECT_EQ(buf[4] | buf[5] << 8, 3000);
  // A length near INT_MAX takes what fits, never more than the caller's bytes it reads.
  std::string huge(70000, 'h');
  int part = vv_nat_vdt_write_frame(p.a, 1, 2, huge.data(), INT_MAX);
  EXPECT_GE(part, 0);
  EXPECT_LE(part, 65536);
  EXPECT_EQ(vv_nat_vdt_write_frame(999999, 0, 0, "x", 1), -1);
  EXPECT_EQ(vv_nat_vdt_sndbuff(0), -1);
  EXPECT_EQ(vv_nat_vdt_id(101), -1);
  EXPECT_EQ(vv2_nat_sendable(1), 0);  // not established
}

// Two processes started at once: nothing of one can wake or remove the other's.
TEST(VdtLoopback, TwoProcessesAtOnceBothWork) {
  if (getenv("VDT_CHILD")) GTEST_SKIP();
  std::string exe = kvtest::SelfExe();
  std::string filter = "--gtest_filter=VdtLoopback.StreamBothWaysArrivesIntact";
  char* argv[] = {&exe[0], &filter[0], nullptr};
  std::vector<std::string> env_s;
  for (char** e = environ; *e; ++e) env_s.emplace_back(*e);
  env_s.emplace_back("VDT_CHILD=1");
  std::vector<char*> env;
  for (auto& s : env_s) env.push_back(&s[0]);
  env.push_back(nullptr);
  pid_t pids[2];
  for (auto& pid : pids) ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, env.data()), 0);
  for (pid_t pid : pids) {
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
}

}  // namespace
