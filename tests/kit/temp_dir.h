// Test files and folders: each gets a name of its own (mkdtemp) and is removed, so no
// run ever reads what another left behind, however quickly process ids come round.
#pragma once
#include <string>

namespace kvtest {

class TempDir {
public:
    // A fresh folder "<TMPDIR or /tmp>/kvtest-<stem>-XXXXXX".
    explicit TempDir(const std::string& stem = "run");
    // Removes the folder and everything in it.
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // A path inside the folder (nothing is created).
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Removes a file or a folder with everything in it; quiet when it is not there.
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const void* data, size_t size);

} // namespace kvtest
