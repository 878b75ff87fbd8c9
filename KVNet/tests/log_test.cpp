#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KVNet.h"
#include "kv_log.h"
#include "test_kit.h"

namespace {

size_t format_line(char* out, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    size_t n = kvnet_format_log_line(out, fmt, ap);
    va_end(ap);
    return n;
}

constexpr size_t kPrefix = 22; // "[YYYY-MM-DD hh:mm:ss] "

struct LineCase {
    const char* name;
    size_t textLen;    // characters of 'x' in the caller's text
    bool endsNewline;  // caller's text ends in '\n' (counted in textLen)
    size_t wantLen;    // bytes of the line
};

TEST(LogLine, LengthAndNewlineRules)
{
    const LineCase cases[] = {
        {"short text gets a newline", 5, false, kPrefix + 6},
        {"text ending in newline gets no second one", 6, true, kPrefix + 6},
        {"1021-byte line gets a newline appended", 1021 - kPrefix, false, 1022},
        {"1022-byte line gets a newline appended", 1022 - kPrefix, false, 1023},
        {"1023-byte line: last character replaced", 1023 - kPrefix, false, 1023},
        {"1024-byte line is cut", 1024 - kPrefix, false, 1023},
        {"2000 characters are cut", 2000, false, 1023},
        {"1023-byte line ending in newline stays", 1023 - kPrefix, true, 1023},
    };
    for (const auto& c : cases) {
        std::string text(c.textLen, 'x');
        if (c.endsNewline)
            text.back() = '\n';
        char line[1024];
        size_t n = format_line(line, "%s", text.c_str());
        SCOPED_TRACE(c.name);
        EXPECT_EQ(n, c.wantLen);
        EXPECT_EQ(line[n - 1], '\n');
        EXPECT_EQ(strlen(line), n);
        EXPECT_EQ(line[0], '[');
        EXPECT_EQ(line[kPrefix - 2], ']');
        EXPECT_EQ(line[kPrefix - 1], ' ');
        // No second newline anywhere before the end.
        EXPECT_EQ(std::string(line, n - 1).find('\n'), std::string::npos);
    }
}

TEST(LogLine, PrefixIsLocalTime)
{
    char line[1024];
    format_line(line, "hello %d", 42);
    int y, mo, d, h, mi, s;
    ASSERT_EQ(sscanf(line, "[%4d-%2d-%2d %2d:%2d:%2d] hello 42\n", &y, &mo, &d, &h, &mi, &s), 6);
    EXPECT_GE(y, 2024);
    EXPECT_TRUE(mo >= 1 && mo <= 12);
    EXPECT_EQ(std::string(line + kPrefix), "hello 42\n");
}

// The log configuration is process-wide state: each case restores it.
class LogConfig : public ::testing::Test {
protected:
    void TearDown() override
    {
        KVNetRelease();
        for (LogSwitch* s : gLogSwitches)
            s->store(0);
        kvnet_set_log_config_path("");
    }
    std::string WriteIni(const std::string& text)
    {
        std::string p = kvtest::TempPath("log.ini");
        FILE* f = fopen(p.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        return p;
    }
};

TEST_F(LogConfig, EmptyPathLeavesLogClosed)
{
    kvnet_set_log_config_path("");
    EXPECT_EQ(KVNetInit(), 1);
    EXPECT_EQ(gKVNetLogFile.load(), nullptr);
    net_log_printf("nothing\n"); // must not crash or write
}

struct IniCase {
    const char* name;
    std::string body;       // after [KVNetLogConig]; %LOG% is replaced by the log path
    bool opens;
    std::vector<int> on;    // switch indexes that end up on
};

TEST_F(LogConfig, IniTable)
{
    const IniCase cases[] = {
        {"path and all switches off opens nothing", "log_path=%LOG%\n", false, {}},
        {"one switch and empty path opens nothing", "gEnableNetErr=true\n", false, {0}},
        {"one switch and path opens", "log_path=%LOG%\ngEnableConnStatus=yes\n", true, {2}},
        {"booleans: on/1/TRUE true, off/0/garbage false",
         "log_path=%LOG%\ngEnableNetErr=on\ngEnableBroadcastStatus=1\ngEnableConnStatus=TRUE\n"
         "gEnableLoginStatus=off\ngEnableMsgStatus=0\ngEnablePreviewStatus=maybe\ngEnableP2PStatus=Yes\n",
         true, {0, 1, 2, 12}},
        {"keys are case-insensitive", "LOG_PATH=%LOG%\ngenableremoteparamimportstatus=true\n", true, {11}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log = kvtest::TempPath("kv.log");
        std::string body = c.body;
        auto at = body.find("%LOG%");
        if (at != std::string::npos)
            body.replace(at, 5, log);
        kvnet_set_log_config_path(WriteIni("[kvnetlogconig]\n" + body).c_str());
        EXPECT_EQ(KVNetInit(), 1);
        EXPECT_EQ(gKVNetLogFile.load() != nullptr, c.opens);
        for (int i = 0; i < kLogSwitchCount; ++i) {
            bool want = std::find(c.on.begin(), c.on.end(), i) != c.on.end();
            EXPECT_EQ(gLogSwitches[i]->load() != 0, want) << gLogSwitchNames[i];
        }
        KVNetRelease();
        for (LogSwitch* s : gLogSwitches)
            s->store(0);
        unlink(log.c_str());
    }
}

TEST_F(LogConfig, SecondInitReplacesTheStreamWithoutLeakingIt)
{
    std::string log1 = kvtest::TempPath("a.log"), log2 = kvtest::TempPath("b.log");
    kvnet_set_log_config_path(WriteIni("[KVNetLogConig]\nlog_path=" + log1 + "\ngEnableNetErr=1\n").c_str());
    KVNetInit();
    net_log_printf("first\n");
    kvnet_set_log_config_path(WriteIni("[KVNetLogConig]\nlog_path=" + log2 + "\ngEnableNetErr=1\n").c_str());
    KVNetInit();
    net_log_printf("second\n");
    KVNetRelease();
    EXPECT_NE(kvtest::ReadFile(log1).find("first"), std::string::npos);
    EXPECT_EQ(kvtest::ReadFile(log1).find("second"), std::string::npos);
    EXPECT_NE(kvtest::ReadFile(log2).find("second"), std::string::npos);
}

TEST_F(LogConfig, WritingALineKeepsErrno)
{
    // /dev/full fails every write: the stream's own error must not replace the caller's.
    KVNetLogParam p{};
    snprintf(p.szLogPath, sizeof p.szLogPath, "%s", "/dev/full");
    p.gEnableNetErr = 1;
    KVNetInitLog(&p);
    ASSERT_NE(gKVNetLogFile.load(), nullptr);
    for (int e : {EAGAIN, ETIMEDOUT, ECONNRESET}) {
        errno = e;
        KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", 3, "Recv", e);
        EXPECT_EQ(errno, e);
    }
}

TEST_F(LogConfig, InitLogNullOrWhenOpenChangesNothing)
{
    KVNetInitLog(nullptr);
    EXPECT_EQ(gKVNetLogFile.load(), nullptr);

    KVNetLogParam p{};
    std::string log = kvtest::TempPath("init.log");
    snprintf(p.szLogPath, sizeof p.szLogPath, "%s", log.c_str());
    p.gEnableBroadcastStatus = 1;
    p.szLogDirectory = "/var/tmp/kvlogs";
    KVNetInitLog(&p);
    ASSERT_NE(gKVNetLogFile.load(), nullptr);
    EXPECT_EQ(gEnableBroadcastStatus.load(), 1);
    EXPECT_STREQ(g_log_file_directory, "/var/tmp/kvlogs");

    KVNetLogParam q{};
    q.gEnableNetErr = 1;
    KVNetInitLog(&q); // a log is open: not even the switches change
    EXPECT_EQ(gEnableNetErr.load(), 0);
    EXPECT_EQ(gEnableBroadcastStatus.load(), 1);
}

TEST_F(LogConfig, InitLogWithoutNulInPathStaysBounded)
{
    KVNetLogParam p{};
    memset(p.szLogPath, 'a', sizeof p.szLogPath); // no NUL at all
    p.gEnableNetErr = 1;
    KVNetInitLog(&p); // opening "aaaa..." (256 chars) in the cwd may fail or succeed; no overrun
    if (gKVNetLogFile.load()) {
        KVNetRelease();
        unlink(std::string(256, 'a').c_str());
    }
}

TEST_F(LogConfig, LinesOfManyThreadsNeverInterleave)
{
    KVNetLogParam p{};
    std::string log = kvtest::TempPath("mt.log");
    snprintf(p.szLogPath, sizeof p.szLogPath, "%s", log.c_str());
    p.gEnableMsgStatus = 1;
    KVNetInitLog(&p);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                KV_LOG(gEnableMsgStatus, "thread %d line %d %s\n", t, i, std::string(200, 'a' + t).c_str());
        });
    for (auto& t : ts)
        t.join();
    KVNetRelease();
    std::string all = kvtest::ReadFile(log);
    size_t lines = 0, pos = 0;
    while ((pos = all.find('\n', pos)) != std::string::npos) {
        ++lines;
        ++pos;
    }
    EXPECT_EQ(lines, 8u * 500u);
    for (int t = 0; t < 8; ++t) {
        // each line carries one thread's letters only
        std::string mixed = std::string(1, 'a' + t) + std::string(1, 'a' + (t + 1) % 8);
        EXPECT_EQ(all.find(mixed), std::string::npos);
    }
}

TEST(LastError, OnlyValuesWithTheClientMask)
{
    errno = 61;
    EXPECT_EQ(KVNetGetLastError(), 0u);
    errno = static_cast<int>(0xE1010001u);
    EXPECT_EQ(KVNetGetLastError(), 0xE1010001u);
    errno = 0;
    EXPECT_EQ(KVNetGetLastError(), 0u);
}

} // namespace
