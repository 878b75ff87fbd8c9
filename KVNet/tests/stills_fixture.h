// Shared pieces of the still-picture tests: pictures made by the test-media script once
// per process, ffprobe's verdict on a file, short waits of the still objects.
#pragma once
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media_fixture.h"
#include "stills.h"

namespace kvstillstest {

struct Pictures {
    kvtest::TempDir dir{"pics"};
    std::string jpg, png, big;
    bool ok = false;
};

inline bool MakePicture(const std::string& out, const std::string& extra)
{
    const std::string cmd = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR + "/tests/media/make_media.py picture " +
                            out + " " + extra + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

inline const Pictures& Pics()
{
    static Pictures* p = [] {
        auto* q = new Pictures;
        q->jpg = q->dir.File("picture.jpg");
        q->png = q->dir.File("picture.png");
        q->ok = MakePicture(q->jpg, "--size 320x180") && MakePicture(q->png, "--size 160x90");
        return q;
    }();
    return *p;
}

// True when ffprobe reads the file without a word on standard error.
inline bool FfprobeClean(const std::string& path)
{
    const std::string err = path + ".ffprobe";
    const std::string cmd = "ffprobe -v error -i '" + path + "' >/dev/null 2>'" + err + "'";
    const int rc = std::system(cmd.c_str());
    const std::string text = kvtest::ReadFile(err);
    std::remove(err.c_str());
    return rc == 0 && text.empty();
}

inline bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Files in a folder (names), sorted.
inline std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                out.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct StillTimingsScope {
    explicit StillTimingsScope(const kvstills::StillTimings& t) { kvstills::SetStillTimings(t); }
    ~StillTimingsScope() { kvstills::SetStillTimings(kvstills::StillTimings{}); }
};

inline kvstills::StillTimings FastStills()
{
    kvstills::StillTimings t;
    t.loginPollMs = 20;
    t.retryPauseMs = 50;
    t.alarmRefusedMs = 300;
    return t;
}

} // namespace kvstillstest
