// Buffered stdio file under the MP4 writer and reader.
#pragma once

#include <cstdint>
#include <cstdio>

class mp4file {
public:
    static constexpr int kBufferSize = 524288; // 512 KiB

    mp4file();
    mp4file(const char* path, bool read);
    ~mp4file();
    mp4file(const mp4file&) = delete;
    mp4file& operator=(const mp4file&) = delete;

    // 0; -2 missing file, -3 access denied, -1 anything else (null path included).
    int open(const char* path, bool read);
    // Flushes and closes; 0, or -1 when any write, flush or close of this file failed.
    int close();
    int flush();
    // Result: the length, -1 after a failed write, -2 without a file.
    int64_t write(const void* data, int64_t len);
    // 1 when all bytes were read, 0 otherwise, -2 without a file.
    int read(void* buf, int64_t len);
    int64_t ftell();
    int fseek(int64_t off, int origin);
    int64_t size();

    bool is_open() const { return m_fp != nullptr; }
    bool is_read() const { return m_read != 0; }
    // Sticky: set by the first failed write, flush, seek or close while writing.
    bool failed() const { return m_failed; }

private:
    int flush_buffer();

    uint8_t m_read = 0;
    FILE* m_fp = nullptr;
    uint8_t* m_buf;           // points at m_area: the buffer is never on the heap
    int m_wpos = 0;
    int m_start = 0;
    int m_bufsize = kBufferSize;
    bool m_failed = false;
    uint8_t m_area[kBufferSize];
};
