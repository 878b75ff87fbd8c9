#include "temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace kvtest {

TempDir::TempDir(const std::string& stem)
{
    const char* dir = getenv("TMPDIR");
    std::string templ = std::string(dir && *dir ? dir : "/tmp") + "/kvtest-" + stem + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir()
{
    if (!path_.empty())
        RemoveTree(path_);
}

void RemoveTree(const std::string& path)
{
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p) == 0 ? 0 : 0; }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

} // namespace kvtest
