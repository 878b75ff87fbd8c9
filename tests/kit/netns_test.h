// GoogleTest side of the namespace entry: a test that must run in a private namespace
// pair starts with KV_IN_PRIVATE_NETNS(options). Outside a pair the test runs itself
// again inside a fresh one and reports that run; inside it goes on.
#pragma once
#include <gtest/gtest.h>
#include <string>

#include "netns.h"

namespace kvtest {

// Runs the current test again inside a fresh pair and reports its outcome here.
inline void RunCurrentTestInNetns(const NetnsOptions& o)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    std::string out;
    const int rc = RunInNetns(o, {SelfExe(), filter}, &out);
    if (rc == -1)
        GTEST_SKIP() << "cannot create network namespaces (needs root): " << out;
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

} // namespace kvtest

#define KV_IN_PRIVATE_NETNS(...)                                                                   \
    do {                                                                                           \
        if (!::kvtest::NetnsPair()) {                                                              \
            ::kvtest::RunCurrentTestInNetns(::kvtest::NetnsOptions{__VA_ARGS__});                  \
            return;                                                                                \
        }                                                                                          \
    } while (0)
