#include "resolve_wire.h"

#include <cstring>

namespace {

// Offset of needle in [buf+from, buf+len), or npos. Never looks past len.
size_t Find(const char* buf, size_t len, const char* needle, size_t from = 0)
{
    const size_t n = strlen(needle);
    if (n == 0 || from > len || len - from < n)
        return std::string::npos;
    for (size_t i = from; i + n <= len; ++i)
        if (buf[i] == needle[0] && memcmp(buf + i, needle, n) == 0)
            return i;
    return std::string::npos;
}

bool HostCharsOk(const char* p, size_t n)
{
    if (n == 0 || n > kvresolve::kAddrMax)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>')
            return false;
    }
    return true;
}

// 1..5 decimal digits with a value of 1-65535, nothing else.
bool PortOk(const char* p, size_t n, uint16_t* port)
{
    if (n == 0 || n > 5)
        return false;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(p[i] - '0');
    }
    if (v == 0 || v > 65535)
        return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

// The text of element `name` searched from `from` in [0, end): "<name" followed by '>'
// or a space (attributes), then content up to "</name". Content with a '<' of its own
// is not taken: the address and port come from inside the element only.
bool Element(const char* buf, size_t end, const char* name, size_t from, size_t* start, size_t* stop)
{
    const std::string open = std::string("<") + name;
    const std::string close = std::string("</") + name;
    for (size_t at = Find(buf, end, open.c_str(), from); at != std::string::npos;
         at = Find(buf, end, open.c_str(), at + 1)) {
        const size_t after = at + open.size();
        if (after >= end)
            return false;
        if (buf[after] != '>' && buf[after] != ' ' && buf[after] != '\t')
            continue;
        const size_t gt = Find(buf, end, ">", after);
        // A self-closed element holds nothing.
        if (gt == std::string::npos || buf[gt - 1] == '/')
            return false;
        const size_t lt = Find(buf, end, "<", gt + 1);
        if (lt == std::string::npos || Find(buf, end, close.c_str(), lt) != lt)
            return false;
        // The closing tag names this element, not a longer one ("</RemoteIPv6>").
        const size_t tail = lt + close.size();
        if (tail >= end || (buf[tail] != '>' && buf[tail] != ' ' && buf[tail] != '\t'))
            return false;
        *start = gt + 1;
        *stop = lt;
        return true;
    }
    return false;
}

// Next line [*start, *stop) ending in "\r\n" at or after `from`; false when no complete
// line is left.
bool Line(const char* buf, size_t len, size_t from, size_t* start, size_t* stop)
{
    const size_t crlf = Find(buf, len, "\r\n", from);
    if (crlf == std::string::npos)
        return false;
    *start = from;
    *stop = crlf;
    return true;
}

bool StartsWith(const char* p, size_t n, const char* prefix)
{
    const size_t k = strlen(prefix);
    return n >= k && memcmp(p, prefix, k) == 0;
}

bool StartsWithNoCase(const char* p, size_t n, const char* prefix)
{
    const size_t k = strlen(prefix);
    if (n < k)
        return false;
    for (size_t i = 0; i < k; ++i) {
        char a = p[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// The value of a "Location" header line, leading blanks skipped; false for other lines.
bool LocationValue(const char* p, size_t n, size_t* vstart)
{
    if (!StartsWithNoCase(p, n, "location"))
        return false;
    size_t i = 8;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    if (i >= n || p[i] != ':')
        return false;
    ++i;
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    *vstart = i;
    return true;
}

} // namespace

bool kv_resolve_text_ok(const std::string& text, size_t max)
{
    if (text.empty() || text.size() > max)
        return false;
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7F)
            return false;
    return true;
}

bool kv_resolve_id_request(int loginType, const std::string& devId, const std::string& host, std::string* out)
{
    if (!kv_resolve_text_ok(devId, kvresolve::kIdMax) || !kv_resolve_text_ok(host, kvresolve::kHostMax))
        return false;
    if (loginType == 1)
        // The '?' after the ID is part of the request as servers know it.
        *out = "GET /queryinfo.php?DevID=" + devId + "? HTTP/1.1\r\n";
    else if (loginType == 11)
        *out = "GET /get_info?dev_id=" + devId + " HTTP/1.1\r\n";
    else
        return false;
    *out += "Accept: */*\r\nAccept-Language: zh-cn\r\nHost: " + host + "\r\n\r\n";
    return true;
}

bool kv_resolve_dir_request(const std::string& devId, std::string* out)
{
    if (!kv_resolve_text_ok(devId, kvresolve::kIdMax))
        return false;
    *out = "DIRGETSVRINFO BMSP/0.3\r\nID:" + devId + "\r\n\r\n\r\n";
    return true;
}

bool kv_resolve_redirect_request(const std::string& host, std::string* out)
{
    if (!kv_resolve_text_ok(host, kvresolve::kHostMax))
        return false;
    *out = "GET / HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nHost: " + host + "\r\n\r\n";
    return true;
}

bool kv_resolve_id_reply_complete(const char* buf, size_t len)
{
    const size_t doc = Find(buf, len, "<response");
    return doc != std::string::npos && Find(buf, len, "</response>", doc) != std::string::npos;
}

bool kv_resolve_parse_id_reply(const char* buf, size_t len, std::string* addr, uint16_t* port)
{
    if (!buf)
        return false;
    const size_t doc = Find(buf, len, "<response");
    if (doc == std::string::npos)
        return false;
    const size_t end = Find(buf, len, "</response>", doc);
    if (end == std::string::npos)
        return false;
    size_t a0, a1, p0, p1;
    if (!Element(buf, end, "RemoteIP", doc, &a0, &a1) || !HostCharsOk(buf + a0, a1 - a0))
        return false;
    // The port element usually follows the address; a document that gives it first is
    // read as well.
    if (!Element(buf, end, "MediaPort", a1, &p0, &p1) && !Element(buf, end, "MediaPort", doc, &p0, &p1))
        return false;
    uint16_t v;
    if (!PortOk(buf + p0, p1 - p0, &v))
        return false;
    addr->assign(buf + a0, a1 - a0);
    *port = v;
    return true;
}

namespace {

// Both directory lines, as offsets of their values; false until both are complete.
bool DirLines(const char* buf, size_t len, size_t* a0, size_t* a1, size_t* p0, size_t* p1)
{
    bool haveAddr = false, havePort = false;
    size_t s, e;
    for (size_t at = 0; (!haveAddr || !havePort) && Line(buf, len, at, &s, &e); at = e + 2) {
        if (!haveAddr && StartsWith(buf + s, e - s, "IP: ")) {
            *a0 = s + 4;
            *a1 = e;
            haveAddr = true;
        } else if (!havePort && StartsWith(buf + s, e - s, "STREAM_PORT: ")) {
            *p0 = s + 13;
            *p1 = e;
            havePort = true;
        }
    }
    return haveAddr && havePort;
}

// The value of the first Location line of the header block, or false when the block
// has ended (or the data has) without one.
bool LocationLine(const char* buf, size_t len, size_t* v0, size_t* v1, bool* blockEnded)
{
    *blockEnded = false;
    size_t s, e;
    bool first = true;
    for (size_t at = 0; Line(buf, len, at, &s, &e); at = e + 2) {
        if (e == s && !first) {
            *blockEnded = true;
            return false;
        }
        size_t v;
        if (!first && LocationValue(buf + s, e - s, &v)) {
            *v0 = s + v;
            *v1 = e;
            return true;
        }
        first = false; // the status line is no header
    }
    return false;
}

} // namespace

bool kv_resolve_dir_reply_complete(const char* buf, size_t len)
{
    size_t a0, a1, p0, p1;
    return buf && DirLines(buf, len, &a0, &a1, &p0, &p1);
}

bool kv_resolve_parse_dir_reply(const char* buf, size_t len, std::string* addr, uint16_t* port)
{
    size_t a0, a1, p0, p1;
    if (!buf || !DirLines(buf, len, &a0, &a1, &p0, &p1))
        return false;
    uint16_t v;
    if (!HostCharsOk(buf + a0, a1 - a0) || !PortOk(buf + p0, p1 - p0, &v))
        return false;
    addr->assign(buf + a0, a1 - a0);
    *port = v;
    return true;
}

bool kv_resolve_redirect_reply_complete(const char* buf, size_t len)
{
    size_t v0, v1;
    bool ended;
    return buf && (LocationLine(buf, len, &v0, &v1, &ended) || ended);
}

bool kv_resolve_parse_redirect_reply(const char* buf, size_t len, std::string* host)
{
    size_t v0, v1;
    bool ended;
    if (!buf || !LocationLine(buf, len, &v0, &v1, &ended))
        return false;
    const char* v = buf + v0;
    size_t n = v1 - v0;
    // Only plain HTTP: the session cannot follow an https URL.
    if (!StartsWithNoCase(v, n, "http://"))
        return false;
    v += 7;
    n -= 7;
    // The authority runs to the path, query or fragment; a user part before '@' is not
    // the host.
    size_t auth = 0;
    while (auth < n && v[auth] != '/' && v[auth] != '?' && v[auth] != '#')
        ++auth;
    size_t h0 = 0;
    for (size_t i = 0; i < auth; ++i)
        if (v[i] == '@')
            h0 = i + 1;
    size_t h1;
    if (h0 < auth && v[h0] == '[') {
        // A bracketed IPv6 literal: the host is inside the brackets.
        const char* close = static_cast<const char*>(memchr(v + h0, ']', auth - h0));
        if (!close)
            return false;
        h1 = static_cast<size_t>(close - v);
        ++h0;
        // Only a port may follow the brackets.
        if (h1 + 1 < auth && v[h1 + 1] != ':')
            return false;
    } else {
        h1 = h0;
        while (h1 < auth && v[h1] != ':')
            ++h1;
    }
    if (!HostCharsOk(v + h0, h1 - h0))
        return false;
    host->assign(v + h0, h1 - h0);
    return true;
}
