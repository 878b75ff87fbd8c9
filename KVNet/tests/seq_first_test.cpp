// The first request head of a process carries Seq 1: checked in a fresh exec of this test
// binary, so that other tests cannot have taken numbers before.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "kv_globals.h"

TEST(MsgSeqFirst, ChildProcessBody)
{
    if (!getenv("KV_SEQ_CHILD"))
        return; // only meaningful in the fresh process started below
    uint32_t a = kvnet_next_seq(), b = kvnet_next_seq();
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
}

TEST(MsgSeqFirst, FirstValueOfAProcessIsOne)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("KV_SEQ_CHILD", "1", 1);
        execl("/proc/self/exe", "kvnet_tests", "--gtest_filter=MsgSeqFirst.ChildProcessBody", nullptr);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}
