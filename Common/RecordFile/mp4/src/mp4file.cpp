#include "mp4file.h"

#include <cerrno>
#include <cstring>

mp4file::mp4file() : m_buf(m_area) {}

mp4file::mp4file(const char* path, bool read) : m_buf(m_area) { open(path, read); }

mp4file::~mp4file() { close(); }

int mp4file::open(const char* path, bool read)
{
    close();
    m_failed = false;
    if (!path)
        return -1;
    m_fp = std::fopen(path, read ? "rb" : "wb");
    if (!m_fp) {
        if (errno == ENOENT)
            return -2;
        if (errno == EACCES || errno == EPERM)
            return -3;
        return -1;
    }
    m_read = read ? 1 : 0;
    m_wpos = m_start = 0;
    return 0;
}

int mp4file::flush_buffer()
{
    if (!m_fp || m_wpos == m_start)
        return 0;
    size_t n = static_cast<size_t>(m_wpos - m_start);
    size_t w = std::fwrite(m_buf + m_start, 1, n, m_fp);
    m_wpos = m_start = 0;
    if (w != n) {
        m_failed = true;
        return -1;
    }
    return 0;
}

int mp4file::flush()
{
    if (!m_fp)
        return -2;
    int r = flush_buffer();
    if (std::fflush(m_fp) != 0) {
        m_failed = true;
        r = -1;
    }
    return r;
}

int mp4file::close()
{
    if (!m_fp)
        return 0;
    if (!m_read)
        flush();
    if (std::fclose(m_fp) != 0 && !m_read)
        m_failed = true;
    m_fp = nullptr;
    m_read = 0;
    int r = m_failed ? -1 : 0;
    return r;
}

int64_t mp4file::write(const void* data, int64_t len)
{
    if (!m_fp)
        return -2;
    if (len <= 0)
        return 0;
    if (len >= m_bufsize - m_wpos) {
        if (flush_buffer() != 0)
            return -1;
    }
    if (len >= m_bufsize) {
        size_t w = std::fwrite(data, 1, static_cast<size_t>(len), m_fp);
        if (w != static_cast<size_t>(len)) {
            m_failed = true;
            return -1;
        }
        return len;
    }
    std::memcpy(m_buf + m_wpos, data, static_cast<size_t>(len));
    m_wpos += static_cast<int>(len);
    return len;
}

int mp4file::read(void* buf, int64_t len)
{
    if (!m_fp)
        return -2;
    if (len <= 0)
        return 1;
    return std::fread(buf, static_cast<size_t>(len), 1, m_fp) == 1 ? 1 : 0;
}

int64_t mp4file::ftell()
{
    if (!m_fp)
        return -2;
    return static_cast<int64_t>(ftello(m_fp)) + (m_wpos - m_start);
}

int mp4file::fseek(int64_t off, int origin)
{
    if (!m_fp)
        return -2;
    if (flush_buffer() != 0)
        return -1;
    if (fseeko(m_fp, static_cast<off_t>(off), origin) != 0) {
        if (!m_read)
            m_failed = true;
        return -1;
    }
    return 0;
}

int64_t mp4file::size()
{
    if (!m_fp)
        return -2;
    if (fseek(0, SEEK_END) != 0)
        return -1;
    int64_t s = ftell();
    fseek(0, SEEK_SET);
    return s;
}
