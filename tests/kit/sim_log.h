// The one reader of the simulator's received-message log (tests/sim/kvsim/log.py): one
// compact JSON object per line. Keys are unique enough in a line to be found by name;
// the head's fields are read inside its "head" object.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

// The complete lines of the log (a line still being written is left out).
std::vector<std::string> ReadSimLog(const std::string& path);

// One field of a line: text (without quotes), number, flag, hex bytes. `from` starts
// the search at an offset (for instance the "head" object's).
std::string JsonStr(const std::string& line, const std::string& key, size_t from = 0);
long long JsonInt(const std::string& line, const std::string& key, long long dflt = -1, size_t from = 0);
bool JsonFlag(const std::string& line, const std::string& key);
// The value's text whatever its kind: a string without its quotes, else up to , or }.
std::string JsonField(const std::string& line, const std::string& key);
// The address part of the line's "peer" ("host:port").
std::string PeerHost(const std::string& line);
double JsonDouble(const std::string& line, const std::string& key);
std::vector<uint8_t> JsonHex(const std::string& line, const std::string& key);
std::vector<uint8_t> Unhex(const std::string& hex);

// One logged line with its fields read: a received message (its head decoded, bodies
// as bytes), a cut message (partial) or a handler's event.
struct SimLogEntry {
    std::string line;
    std::string proto, peer, event, error, dst;
    int conn = -1;
    bool partial = false, probe = false, scrambled = false;
    bool hasHead = false;
    unsigned flags = 0, ack = 0, type = 0, subtype = 0, size = 0, seq = 0;
    std::vector<uint8_t> raw, ext, body;
    double time = 0;

    // The address part of "peer" ("host:port").
    std::string PeerHost() const { return peer.substr(0, peer.find(':')); }
};
SimLogEntry ParseSimLogLine(const std::string& line);
std::vector<SimLogEntry> ReadSimLogEntries(const std::string& path);

} // namespace kvtest
