// The one way into a private network namespace and the one safety check.
//
// A test that broadcasts or multicasts runs in a fresh namespace pair that
// tests/netns/kvnetns.sh makes and always removes: NAME-dev (198.51.100.1 on kv0) and
// NAME-cli (198.51.100.2 on kv0), optionally a second subnet 203.0.113.0/24 on kv1
// (device side .1 in NAME-dev, or apart in NAME-dev2). The test program runs itself
// again inside one side with KVNETNS=NAME (see KV_IN_PRIVATE_NETNS in netns_test.h).
#pragma once
#include <string>
#include <vector>

namespace kvtest {

// The safety check of the test peers (tests/sim/kvsim/safety.py): true only in a
// network namespace other than the machine's initial one.
bool InPrivateNetns();

// The pair this process runs in (KVNETNS), or null outside one. Never returns when
// KVNETNS is set in the machine's own namespace: a broadcasting test must not go on.
const char* NetnsPair();

struct NetnsOptions {
    bool secondSubnet = false; // kv1 on 203.0.113.0/24 as well
    bool apart = false;        // the second subnet's device side in NAME-dev2
    const char* side = "cli";  // where the program runs: "cli" or "dev"
};

// Runs argv in a fresh pair; returns its exit status, or -1 when no pair could be made
// (not root, no iproute2). Its output (both streams) goes to *output.
int RunInNetns(const NetnsOptions& o, const std::vector<std::string>& argv, std::string* output);

// The command prefix that runs a program in one side ("dev", "cli", "dev2") of the
// pair this process runs in.
std::vector<std::string> InNetnsSide(const char* side);
// Drops percent % of the packets on that side's veths (0: none); false on failure.
bool SetNetnsLoss(const char* side, int percent);

// A shell command with its output dropped; its exit status.
int Sh(const std::string& cmd);
// This program's path.
std::string SelfExe();

} // namespace kvtest
