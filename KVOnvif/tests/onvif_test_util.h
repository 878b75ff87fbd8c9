/* Helpers of the ONVIF tests and benchmarks: the Python peers of peers/ as child
 * processes (the test kit's), and the device service peer's control channel. */
#ifndef KVONVIF_TEST_UTIL_H
#define KVONVIF_TEST_UTIL_H

#include <string>
#include <vector>

#include "peer_process.h"

namespace kvonviftest {

/* A Python peer from KVONVIF_PEERS_DIR. Start() waits for its "READY" line (returning
 * the rest of that line); later stdout lines are collected. */
class PeerProcess : public kvtest::PeerProcess {
public:
    bool Start(const std::string& script, const std::vector<std::string>& args,
               std::string* ready_line = nullptr, int timeout_ms = 10000);
};

/* The device service peer's control channel: POST JSON to /control, returns the reply. */
bool HttpPostJson(int port, const std::string& path, const std::string& json, std::string* reply);

} // namespace kvonviftest

#endif
