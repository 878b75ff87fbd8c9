#include "kv_file.h"

int CKVFile::Create(const char* path, bool read)
{
    if (!path)
        return 1;
    FILE* f = fopen(path, read ? "rb" : "wb");
    if (!f)
        return 1;
    fp_ = f;
    return 0;
}

int CKVFile::Seek(int64_t offset, int origin)
{
    if (!fp_)
        return 1;
    return fseeko(fp_, static_cast<off_t>(offset), origin) == 0 ? 0 : 1;
}

int CKVFile::GetSize(uint64_t* size)
{
    if (!fp_ || !size)
        return 1;
    const off_t here = ftello(fp_);
    if (here < 0 || fseeko(fp_, 0, SEEK_END) != 0)
        return 1;
    const off_t end = ftello(fp_);
    if (fseeko(fp_, here, SEEK_SET) != 0 || end < here)
        return 1;
    *size = static_cast<uint64_t>(end - here);
    return 0;
}

int CKVFile::Read(void* buf, size_t len, size_t* got)
{
    if (got)
        *got = 0;
    if (!fp_)
        return 1;
    const size_t n = len ? fread(buf, 1, len, fp_) : 0;
    if (got)
        *got = n;
    if (n == len)
        return 0;
    return feof(fp_) && !ferror(fp_) ? 0 : 1;
}

int CKVFile::Write(const void* buf, size_t len)
{
    if (!fp_)
        return 1;
    return fwrite(buf, 1, len, fp_) == len ? 0 : 1;
}

int CKVFile::Close()
{
    if (fp_) {
        fclose(fp_);
        fp_ = nullptr;
    }
    return 0;
}
