// The request machinery under load against the simulator: many synchronous callers with
// replies in shuffled order, many asynchronous starts, and the close-down with requests
// pending.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "requests_fixture.h"

namespace {

using kvreqtest::Session;

TEST(RequestsE2ESlow, SixteenThreadsShuffledRepliesEachGetTheirOwn)
{
    Session s;
    ASSERT_TRUE(s.Start({"shuffle=8"}));
    std::atomic<int> ok{0}, wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                // The simulator echoes the text inside its reply: it names the caller.
                const std::string text = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
                struct Out {
                    std::string got;
                } out;
                KVNetParamJsonParam p{429, text.data(), static_cast<uint32_t>(text.size()),
                                      [](const void* d, unsigned n, void* u) {
                                          static_cast<Out*>(u)->got.assign(static_cast<const char*>(d) + 4, n - 4);
                                      },
                                      &out};
                if (KVNetQueryParamJson(s.h, &p) != 1)
                    ++failed;
                else if (out.got != "{\"n\":0,\"echo\":" + text + "}")
                    ++wrong;
                else
                    ++ok;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(ok.load(), 16 * 500);
}

TEST(RequestsE2ESlow, TenThousandAsynchronousStarts)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    std::atomic<int> calls{0}, bad{0};
    struct Ctx {
        std::atomic<int>* calls;
        std::atomic<int>* bad;
    } ctx{&calls, &bad};
    KVNetRemoteTestParam p{303, nullptr, 0, &ctx, [](unsigned short type, void*, unsigned size, void* u) {
                               auto* c = static_cast<Ctx*>(u);
                               if (type != 303 || size != 5)
                                   ++*c->bad;
                               ++*c->calls;
                           }};
    int started = 0;
    for (int i = 0; i < 10000; ++i)
        started += KVNetRemoteTest(s.h, &p) != 0;
    EXPECT_EQ(started, 10000);
    EXPECT_TRUE(kvtest::WaitFor([&] { return calls.load() == 10000; }, std::chrono::seconds(60)));
    EXPECT_EQ(calls.load(), 10000);
    EXPECT_EQ(bad.load(), 0);
}

TEST(RequestsE2E, CloseDownFailsThreePendingOnce)
{
    Session s;
    ASSERT_TRUE(s.Start({"remote-silent"}));
    struct Ctx {
        DevConnection* h;
        std::atomic<int> failures{0}, others{0}, stopResults{0};
    } ctx{s.h};
    KVNetRemoteTestParam p{303, nullptr, 0, &ctx, [](unsigned short type, void* d, unsigned n, void* u) {
                               auto* c = static_cast<Ctx*>(u);
                               if (type == KVNET_REQUEST_FAILED && !d && n == 0)
                                   ++c->failures;
                               else
                                   ++c->others;
                               // The close-down holds the send mutex: these fail, not hang.
                               KVNetRemoteTestParam again{302, nullptr, 0, nullptr, nullptr};
                               c->stopResults += KVNetRemoteTestStopEx(c->h, &again, 77);
                               KVNetSimpleCmdParam cmd{650, 0, nullptr};
                               KVNetSimpleCmd(c->h, &cmd);
                           }};
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(KVNetRemoteTest(s.h, &p), 0u);
    s.sim.Stop(); // the device goes away: the session closes
    EXPECT_TRUE(kvtest::WaitFor([&] { return ctx.failures.load() == 3; }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ctx.failures.load(), 3);
    EXPECT_EQ(ctx.others.load(), 0);
    EXPECT_EQ(ctx.stopResults.load(), 0);
}

// From inside an asynchronous callback the calls that would wait for the connection task
// fail at once instead of hanging it.
TEST(RequestsE2E, CallbackCannotWaitOnItsOwnSession)
{
    Session s;
    ASSERT_TRUE(s.Start({}));
    struct Ctx {
        DevConnection* h;
        std::atomic<int> done{0};
        int query = -1;
        unsigned start = 99;
    } ctx{s.h};
    KVNetRemoteTestParam p{303, nullptr, 0, &ctx, [](unsigned short, void*, unsigned, void* u) {
                               auto* c = static_cast<Ctx*>(u);
                               KVNetQueryParamParam q{};
                               q.nParamType = 505;
                               c->query = KVNetQueryParam(c->h, &q);
                               KVNetRemoteTestParam again{303, nullptr, 0, nullptr, nullptr};
                               c->start = KVNetRemoteTest(c->h, &again);
                               ++c->done;
                           }};
    ASSERT_NE(KVNetRemoteTest(s.h, &p), 0u);
    ASSERT_TRUE(kvtest::WaitFor([&] { return ctx.done.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(ctx.query, 0);
    EXPECT_EQ(ctx.start, 0u);
}

} // namespace
