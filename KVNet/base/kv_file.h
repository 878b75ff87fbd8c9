// A thin stdio file of the client (firmware and backup files). Results follow the
// client's convention for this class: 0 success, 1 failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

class CKVFile {
public:
    CKVFile() = default;
    ~CKVFile() { Close(); }
    CKVFile(const CKVFile&) = delete;
    CKVFile& operator=(const CKVFile&) = delete;

    // Opens path "rb" (read) or "wb". A stream already open is not closed first.
    int Create(const char* path, bool read);
    int Seek(int64_t offset, int origin);
    // Bytes from the current position to the end; the position is kept.
    int GetSize(uint64_t* size);
    // Reads one block of len bytes: 0 when it was read whole or the end of the file was
    // reached, else 1. `got` (optional) receives the bytes actually read, so a caller
    // that must not accept a short block can tell.
    int Read(void* buf, size_t len, size_t* got = nullptr);
    int Write(const void* buf, size_t len);
    int Close();
    bool IsOpen() const { return fp_ != nullptr; }

private:
    FILE* fp_ = nullptr;
};
