// Shared helpers of the record-file tests: generated frame files, temporary files, the
// Python oracle and external tools.
#ifndef KV_RECFILE_TEST_UTIL_H
#define KV_RECFILE_TEST_UTIL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "KVNetTypes.h"

struct TestFrame {
    KVFrameHead head;
    std::vector<uint8_t> bytes;  // head + payload, no padding
    char type() const { return (char)head.FrameType; }
};

// Path of a generated frame file or media file (made on first use).
std::string MediaPath(const std::string& name);
std::vector<TestFrame> LoadFrames(const std::string& path);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);

// A frame built in memory.
TestFrame MakeFrame(char type, uint32_t no, uint64_t time, uint32_t payloadSize,
                    uint8_t encode = 0, uint8_t fill = 0);
TestFrame MakeAudio(uint8_t encode, uint32_t no, uint64_t time, uint16_t block, uint32_t blocks,
                    uint32_t rate = 8000, uint8_t bits = 16);
void SetRefDistance(TestFrame& f, uint32_t dist);

// "<type> <no> <size> <time> <flags> <crc32>", as the oracle prints it.
std::string FrameLine(const uint8_t* frame, size_t len);
std::string FrameLines(const std::vector<TestFrame>& frames);

// Runs a shell command; its standard output; exit status in *status.
std::string RunCmd(const std::string& cmd, int* status = nullptr);
std::string Oracle(const std::string& args, int* status = nullptr);
bool HaveTool(const char* name);

// A directory under the test temp root, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
};

uint64_t T0();  // 2024-03-09 23:59:50 UTC in microseconds

#endif

class CBaseRecordFile;
// Writes every frame; the results of WriteFrame in *results.
void WriteAll(CBaseRecordFile& w, const std::vector<TestFrame>& frames,
              std::vector<int>* results = nullptr);
// Reads frames until ReadFrame fails.
std::vector<TestFrame> ReadAll(CBaseRecordFile& r, size_t max = 1u << 30);
// The frames a format writer keeps: from the first 'I' frame on.
std::vector<TestFrame> FromFirstKey(const std::vector<TestFrame>& frames);
