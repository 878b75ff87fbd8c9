// The fuzz input as a file the record-file classes can open by path (an in-memory file).
#ifndef KV_FUZZ_INPUT_FILE_H
#define KV_FUZZ_INPUT_FILE_H

#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

class FuzzInputFile {
public:
    FuzzInputFile(const uint8_t* data, size_t size)
    {
        m_fd = memfd_create("kvrecfile_fuzz", 0);
        if (m_fd < 0)
            return;
        size_t done = 0;
        while (done < size) {
            ssize_t n = write(m_fd, data + done, size - done);
            if (n <= 0)
                break;
            done += (size_t)n;
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~FuzzInputFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    const char* path() const { return m_path.c_str(); }

private:
    int m_fd = -1;
    std::string m_path;
};

#endif
