#include "sim_log.h"

#include <cstdlib>
#include <fstream>

namespace kvtest {

namespace {

// Where the value of "key": starts, or npos.
size_t ValueAt(const std::string& line, const std::string& key, size_t from)
{
    const std::string k = "\"" + key + "\":";
    size_t p = line.find(k, from);
    if (p == std::string::npos)
        return p;
    p += k.size();
    while (p < line.size() && line[p] == ' ')
        ++p;
    return p;
}

} // namespace

std::vector<std::string> ReadSimLog(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        if (nl > start)
            lines.push_back(all.substr(start, nl - start));
    return lines;
}

std::string JsonStr(const std::string& line, const std::string& key, size_t from)
{
    size_t p = ValueAt(line, key, from);
    if (p == std::string::npos || p >= line.size() || line[p] != '"')
        return "";
    ++p;
    return line.substr(p, line.find('"', p) - p);
}

long long JsonInt(const std::string& line, const std::string& key, long long dflt, size_t from)
{
    const size_t p = ValueAt(line, key, from);
    if (p == std::string::npos || p >= line.size() || line[p] == '"' || line[p] == 'n')
        return dflt;
    return strtoll(line.c_str() + p, nullptr, 10);
}

bool JsonFlag(const std::string& line, const std::string& key)
{
    const size_t p = ValueAt(line, key, 0);
    return p != std::string::npos && line.compare(p, 4, "true") == 0;
}

std::string JsonField(const std::string& line, const std::string& key)
{
    const size_t p = ValueAt(line, key, 0);
    if (p == std::string::npos || p >= line.size())
        return "";
    if (line[p] == '"')
        return JsonStr(line, key);
    return line.substr(p, line.find_first_of(",}", p) - p);
}

std::string PeerHost(const std::string& line)
{
    const std::string peer = JsonStr(line, "peer");
    return peer.substr(0, peer.find(':'));
}

double JsonDouble(const std::string& line, const std::string& key)
{
    const size_t p = ValueAt(line, key, 0);
    return p == std::string::npos ? 0 : strtod(line.c_str() + p, nullptr);
}

std::vector<uint8_t> Unhex(const std::string& h)
{
    auto v = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::vector<uint8_t> out;
    out.reserve(h.size() / 2);
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(v(h[i]) << 4 | v(h[i + 1])));
    return out;
}

std::vector<uint8_t> JsonHex(const std::string& line, const std::string& key)
{
    return Unhex(JsonStr(line, key));
}

SimLogEntry ParseSimLogLine(const std::string& line)
{
    SimLogEntry e;
    e.line = line;
    e.proto = JsonStr(line, "proto");
    e.peer = JsonStr(line, "peer");
    e.event = JsonStr(line, "event");
    e.error = JsonStr(line, "error");
    e.dst = JsonStr(line, "dst");
    e.conn = static_cast<int>(JsonInt(line, "conn"));
    e.partial = JsonFlag(line, "partial");
    e.probe = JsonFlag(line, "probe");
    e.scrambled = JsonFlag(line, "scrambled");
    const size_t head = line.find("\"head\":{");
    e.hasHead = head != std::string::npos;
    if (e.hasHead) {
        e.flags = static_cast<unsigned>(JsonInt(line, "flags", 0, head));
        e.ack = static_cast<unsigned>(JsonInt(line, "ack", 0, head));
        e.type = static_cast<unsigned>(JsonInt(line, "type", 0, head));
        e.subtype = static_cast<unsigned>(JsonInt(line, "subtype", 0, head));
        e.size = static_cast<unsigned>(JsonInt(line, "size", 0, head));
        e.seq = static_cast<unsigned>(JsonInt(line, "seq", 0, head));
    }
    e.raw = JsonHex(line, "raw");
    e.ext = JsonHex(line, "ext");
    e.body = JsonHex(line, "body");
    e.time = JsonDouble(line, "time");
    return e;
}

std::vector<SimLogEntry> ReadSimLogEntries(const std::string& path)
{
    std::vector<SimLogEntry> out;
    for (const std::string& l : ReadSimLog(path))
        out.push_back(ParseSimLogLine(l));
    return out;
}

} // namespace kvtest
