// Writers killed with SIGKILL, and writers that run out of space. Each writer runs in a
// child process, so that the kill and the private mount touch nothing of the test itself.
#include <gtest/gtest.h>
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "avi_record_file.h"
#include "private_record_file.h"
#include "test_util.h"

namespace {

enum class Format { Bare, Private, Avi };

std::unique_ptr<CBaseRecordFile> Make(Format f)
{
    switch (f) {
    case Format::Private: return std::make_unique<CKVPrivateRecordFile>();
    case Format::Avi: return std::make_unique<CKVAVIRecordFile>();
    default: return std::make_unique<CBaseRecordFile>();
    }
}

// Forks a writer that writes `count` frames, reports, and waits to be killed.
void KillWriterAfter(Format fmt, const std::string& path, const std::vector<TestFrame>& frames,
                     size_t count)
{
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        std::unique_ptr<CBaseRecordFile> w = Make(fmt);
        if (w->Open(path.c_str(), false) != 0)
            _exit(2);
        for (size_t i = 0; i < count; i++) {
            int size = (int)frames[i].bytes.size();
            if (w->WriteFrame(frames[i].bytes.data(), size) < 0)
                _exit(3);
        }
        char c = 'k';
        if (write(ready[1], &c, 1) != 1)
            _exit(4);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c = 0;
    ssize_t n = read(ready[0], &c, 1);
    close(ready[0]);
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_EQ(1, n) << "writer failed before the kill point";
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
}

std::vector<TestFrame> AviStored(const std::vector<TestFrame>& frames)
{
    std::vector<TestFrame> out;
    for (const TestFrame& f : frames) {
        if (f.type() != 'A') {
            out.push_back(f);
            continue;
        }
        uint32_t block = f.head.Format.Audio.BlockSize;
        for (uint32_t b = 0; b < f.head.FrameSize / block; b++) {
            TestFrame one = f;
            one.head.FrameSize = block;
            one.bytes.assign(f.bytes.begin(), f.bytes.begin() + 40);
            memcpy(one.bytes.data(), &one.head, 40);
            one.bytes.insert(one.bytes.end(), f.bytes.begin() + 40 + (long)b * block,
                             f.bytes.begin() + 40 + (long)(b + 1) * block);
            out.push_back(one);
        }
    }
    return out;
}

const size_t kKillPoints[] = {1, 2, 7, 50, 101, 250, 499, 500};

}  // namespace

TEST(CrashRecovery, KilledPrivateWriterLeavesEveryCompleteRecordReadable)
{
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    ASSERT_EQ(500u, frames.size());
    for (size_t k : kKillPoints) {
        SCOPED_TRACE("killed after " + std::to_string(k) + " frames");
        TempDir tmp;
        std::string path = tmp.Path("k.dat");
        KillWriterAfter(Format::Private, path, frames, k);
        uint64_t fileSize = ReadFileBytes(path).size();
        // Records wholly on the disk: stdio may still have held the last few.
        size_t complete = 0;
        uint64_t end = 56;
        while (complete < k && end + frames[complete].bytes.size() <= fileSize) {
            end += (frames[complete].bytes.size() + 7) & ~7u;
            complete++;
        }
        CKVPrivateRecordFile r;
        int rc = r.Open(path.c_str(), true);
        if (complete == 0) {
            EXPECT_EQ(-1, rc);
            continue;
        }
        ASSERT_EQ(0, rc);
        EXPECT_EQ(FrameLines(std::vector<TestFrame>(frames.begin(), frames.begin() + (long)complete)),
                  FrameLines(ReadAll(r)));
        EXPECT_EQ(std::string(Oracle("frames " + path)), "") << "a private file is no bare file";
    }
}

TEST(CrashRecovery, KilledAviWriterIsRepaired)
{
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    bool probe = HaveTool("ffprobe");
    for (size_t k : kKillPoints) {
        SCOPED_TRACE("killed after " + std::to_string(k) + " frames");
        TempDir tmp;
        std::string path = tmp.Path("k.avi");
        KillWriterAfter(Format::Avi, path, frames, k);
        ASSERT_EQ(0, AVI_repair(path.c_str()));
        std::vector<TestFrame> stored = AviStored(std::vector<TestFrame>(frames.begin(), frames.begin() + (long)k));
        int st = -1;
        std::string out = Oracle("avi-check " + path, &st);
        EXPECT_EQ(0, st) << out;
        CKVAVIRecordFile r;
        ASSERT_EQ(0, r.Open(path.c_str(), true));
        EXPECT_EQ(FrameLines(stored), FrameLines(ReadAll(r)));
        if (probe) {
            EXPECT_EQ("", RunCmd("ffprobe -v error " + path + " 2>&1"));
            size_t video = 0;
            for (size_t i = 0; i < k; i++)
                video += frames[i].type() != 'A';
            EXPECT_EQ(std::to_string(video) + "\n",
                      RunCmd("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                             "stream=nb_read_frames -of csv=p=0 " + path));
        }
    }
}

// A 1 MiB tmpfs in a private mount namespace of a child: every format must report the
// full disk by WriteFrame or Close, never 0, and keep its complete records readable.
TEST(CrashRecovery, FullTmpfsGivesANegativeResult)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for the tmpfs mount";
    std::vector<TestFrame> frames = LoadFrames(MediaPath("h264_alaw.frm"));
    TempDir tmp;
    std::string mnt = tmp.Path("mnt");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0700));
    int res[2];
    ASSERT_EQ(0, pipe(res));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(res[0]);
        auto report = [&](const char* text) {
            if (write(res[1], text, strlen(text)) < 0)
                _exit(5);
        };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
            report("skip");
            _exit(0);
        }
        const Format formats[] = {Format::Bare, Format::Private, Format::Avi};
        const char* names[] = {"bare", "private", "avi"};
        for (int f = 0; f < 3; f++) {
            std::string path = mnt + "/" + names[f];
            std::unique_ptr<CBaseRecordFile> w = Make(formats[f]);
            int worst = w->Open(path.c_str(), false);
            for (int round = 0; round < 2 && worst >= 0; round++) {
                for (const TestFrame& fr : frames) {
                    int size = (int)fr.bytes.size();
                    int rc = w->WriteFrame(fr.bytes.data(), size);
                    worst = std::min(worst, rc);
                    if (rc < 0)
                        break;
                }
            }
            int closeRc = w->Close();
            // What did reach the disk stays readable as a private file.
            size_t readable = 0;
            if (formats[f] == Format::Private) {
                CKVPrivateRecordFile r;
                if (r.Open(path.c_str(), true) == 0)
                    readable = ReadAll(r).size();
            }
            char line[128];
            snprintf(line, sizeof(line), "%s %d %d %zu\n", names[f], worst, closeRc, readable);
            report(line);
            unlink(path.c_str());
        }
        _exit(0);
    }
    close(res[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(res[0], buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(res[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out;
    if (out == "skip")
        GTEST_SKIP() << "no private mount namespace here";
    char name[16];
    int worst, closeRc;
    size_t readable;
    int lines = 0;
    for (const char* p = out.c_str(); sscanf(p, "%15s %d %d %zu", name, &worst, &closeRc, &readable) == 4;
         p = strchr(p, '\n') + 1, lines++) {
        EXPECT_TRUE(worst < 0 || closeRc < 0) << name << ": " << worst << " " << closeRc;
        if (std::string(name) == "private") {
            EXPECT_EQ(-1, closeRc) << "the index did not fit";
            EXPECT_GT(readable, 100u);
        }
    }
    EXPECT_EQ(3, lines) << out;
}
